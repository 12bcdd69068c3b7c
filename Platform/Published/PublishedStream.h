#pragma once
// A publisher read as an asynchronous sequence. The subscription lasts until
// the reader drops the stream (or its task is cancelled); when the publisher's
// source goes away the stream finishes.
#include <memory>

#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Published/Publisher.h"

namespace platform {

template <class T>
AsyncStream<T> asyncStream(const Publisher<T>& publisher, BufferingPolicy policy = BufferingPolicy::unbounded()) {
  auto made = AsyncStream<T>::make(policy);
  auto writer = made.second;
  auto subscription = std::make_shared<Subscription>(publisher.sink([writer](const T& v) { writer.yield(v); }));
  writer.onTermination([subscription](StreamTermination) { subscription->cancel(); });
  return std::move(made.first);
}

}  // namespace platform
