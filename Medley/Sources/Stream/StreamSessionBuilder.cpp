#include "Medley/Sources/Stream/StreamSessionBuilder.h"

#include "Medley/Sources/Stream/StreamSessionBuilderFactory.h"

namespace medley {

using platform::Async;

StreamSessionBuilder::StreamSessionBuilder(std::shared_ptr<StreamSessionBuilderFactory> factory, std::string uri)
    : Actor("StreamSessionBuilder", factory->queue()->runtime()), factory_(std::move(factory)), uri_(std::move(uri)) {}

Async<StreamSessionMode> StreamSessionBuilder::mode() {
  co_await hop();
  co_return mode_;
}

Async<std::shared_ptr<const StreamSessionConfiguration>> StreamSessionBuilder::configuration() {
  co_await hop();
  co_return configuration_;
}

Async<std::shared_ptr<StreamSessionBuilder>> StreamSessionBuilder::setMode(StreamSessionMode mode) {
  co_await hop();
  mode_ = mode;
  co_return shared_from_this();
}

Async<std::shared_ptr<StreamSessionBuilder>> StreamSessionBuilder::setConfiguration(
    std::shared_ptr<const StreamSessionConfiguration> configuration) {
  co_await hop();
  configuration_ = std::move(configuration);
  co_return shared_from_this();
}

Async<std::shared_ptr<StreamSession>> StreamSessionBuilder::build() {
  co_await hop();
  const auto mode = mode_;
  auto configuration = configuration_;
  co_return co_await factory_->build(uri_, mode, std::move(configuration));
}

}  // namespace medley
