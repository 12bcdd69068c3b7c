#pragma once
// Collects a URL, a mode and an optional configuration, and asks its registry
// for a session. An actor; made by StreamSessionBuilderFactory::make().
#include <memory>
#include <string>

#include "Medley/Sources/Stream/StreamSessionConfiguration.h"
#include "Medley/Sources/Stream/StreamSessionMode.h"
#include "Medley/Sources/Stream/StreamSession.h"
#include "Platform/Concurrency/Actor.h"

namespace medley {

class StreamSessionBuilderFactory;

class StreamSessionBuilder : public platform::Actor, public std::enable_shared_from_this<StreamSessionBuilder> {
 public:
  StreamSessionBuilder(std::shared_ptr<StreamSessionBuilderFactory> factory, std::string uri);
  virtual ~StreamSessionBuilder() = default;

  const std::shared_ptr<StreamSessionBuilderFactory>& factory() const { return factory_; }
  const std::string& uri() const { return uri_; }
  platform::Async<StreamSessionMode> mode();
  platform::Async<std::shared_ptr<const StreamSessionConfiguration>> configuration();

  // Both return the builder, for chaining.
  virtual platform::Async<std::shared_ptr<StreamSessionBuilder>> setMode(StreamSessionMode mode);
  virtual platform::Async<std::shared_ptr<StreamSessionBuilder>> setConfiguration(
      std::shared_ptr<const StreamSessionConfiguration> configuration);
  // The registry's session for the URL, mode and configuration; its errors pass through.
  virtual platform::Async<std::shared_ptr<StreamSession>> build();

 private:
  const std::shared_ptr<StreamSessionBuilderFactory> factory_;
  const std::string uri_;
  StreamSessionMode mode_ = StreamSessionMode::publish;
  std::shared_ptr<const StreamSessionConfiguration> configuration_;
};

}  // namespace medley
