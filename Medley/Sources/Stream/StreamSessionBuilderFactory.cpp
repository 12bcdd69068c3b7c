#include "Medley/Sources/Stream/StreamSessionBuilderFactory.h"

#include <cctype>

#include "Medley/Sources/Stream/StreamSessionBuilder.h"

namespace medley {

using platform::Async;

StreamSessionBuilderFactory::Error::Error(Kind kind)
    : std::runtime_error(kind == Kind::illegalArgument ? "StreamSessionBuilderFactory: no URL"
                                                       : "StreamSessionBuilderFactory: no factory serves the URL"),
      kind_(kind) {}

StreamSessionBuilderFactory::StreamSessionBuilderFactory(std::shared_ptr<platform::Runtime> runtime)
    : Actor("StreamSessionBuilderFactory", std::move(runtime)) {}

const std::shared_ptr<StreamSessionBuilderFactory>& StreamSessionBuilderFactory::shared() {
  static const auto instance = std::make_shared<StreamSessionBuilderFactory>();
  return instance;
}

Async<std::shared_ptr<StreamSessionBuilder>> StreamSessionBuilderFactory::make(std::optional<std::string> uri) {
  co_await hop();
  if (!uri) throw Error(Error::Kind::illegalArgument);
  co_return std::make_shared<StreamSessionBuilder>(shared_from_this(), std::move(*uri));
}

Async<void> StreamSessionBuilderFactory::registerFactory(std::shared_ptr<StreamSessionFactory> factory) {
  co_await hop();
  if (!factory) co_return;
  const auto protocols = factory->supportedProtocols();
  for (const auto& registered : factories_)
    if (registered->supportedProtocols() == protocols) co_return;
  factories_.push_back(std::move(factory));
}

Async<std::shared_ptr<StreamSession>> StreamSessionBuilderFactory::build(
    std::optional<std::string> uri, StreamSessionMode mode,
    std::shared_ptr<const StreamSessionConfiguration> configuration) {
  co_await hop();
  if (!uri) throw Error(Error::Kind::illegalArgument);
  const auto wanted = scheme(*uri);
  for (const auto& factory : factories_)
    if (factory->supportedProtocols().count(wanted)) co_return factory->make(*uri, mode, std::move(configuration));
  throw Error(Error::Kind::notFound);
}

std::string StreamSessionBuilderFactory::scheme(const std::string& uri) {
  // A scheme is a letter, then letters, digits, '+', '-' or '.', before the first ':'.
  const auto colon = uri.find(':');
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(uri[0]))) return {};
  for (size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(uri[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  std::string out = uri.substr(0, colon);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace medley
