#pragma once
// The registry of session factories, keyed by URL scheme, and the maker of
// session builders. An actor; one process-wide instance, or one per test.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Medley/Sources/Stream/StreamSessionFactory.h"
#include "Platform/Concurrency/Actor.h"

namespace medley {

class StreamSessionBuilder;

class StreamSessionBuilderFactory : public platform::Actor,
                                    public std::enable_shared_from_this<StreamSessionBuilderFactory> {
 public:
  class Error : public std::runtime_error {
   public:
    enum class Kind {
      // No URL was given.
      illegalArgument,
      // No registered factory serves the URL's scheme.
      notFound,
    };
    explicit Error(Kind kind);
    Kind kind() const { return kind_; }

   private:
    Kind kind_;
  };

  explicit StreamSessionBuilderFactory(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  virtual ~StreamSessionBuilderFactory() = default;

  static const std::shared_ptr<StreamSessionBuilderFactory>& shared();

  // A builder for the URL: mode publish, no configuration. Throws
  // illegalArgument without a URL; the scheme is not looked at yet.
  virtual platform::Async<std::shared_ptr<StreamSessionBuilder>> make(std::optional<std::string> uri);
  // Appends the factory unless one with the same scheme set is registered.
  virtual platform::Async<void> registerFactory(std::shared_ptr<StreamSessionFactory> factory);
  // A session from the first registered factory that serves the URL's scheme.
  virtual platform::Async<std::shared_ptr<StreamSession>> build(
      std::optional<std::string> uri, StreamSessionMode mode,
      std::shared_ptr<const StreamSessionConfiguration> configuration);

  // The scheme of a URL text; "" when it has none.
  static std::string scheme(const std::string& uri);

 private:
  std::vector<std::shared_ptr<StreamSessionFactory>> factories_;
};

}  // namespace medley
