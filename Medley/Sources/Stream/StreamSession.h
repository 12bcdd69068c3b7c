#pragma once
// A connection and its stream behind one object for one URL. Conformers are
// actors, made by a StreamSessionFactory from a URL, a mode and an optional
// configuration.
#include <functional>
#include <memory>

#include "Medley/Sources/Network/NetworkConnection.h"
#include "Medley/Sources/Stream/StreamConvertible.h"
#include "Medley/Sources/Stream/StreamSessionReadyState.h"
#include "Platform/Concurrency/AsyncStream.h"

namespace medley {

class StreamSession : public NetworkConnection {
 public:
  // Retries of a failed connection attempt unless set otherwise.
  static constexpr int kDefaultMaxRetryCount = 3;

  // Every ready-state change, in order.
  virtual platform::Async<platform::AsyncStream<StreamSessionReadyState>> readyState() = 0;
  // The session's stream: attach outputs or append media through it.
  virtual platform::Async<std::shared_ptr<StreamConvertible>> stream() = 0;
  // How often a failed connection attempt is tried again.
  virtual platform::Async<void> setMaxRetryCount(int count) = 0;
  // Connects, then publishes or plays; `disconnected` runs when the server
  // later closes the connection.
  virtual platform::Async<void> connect(std::function<void()> disconnected) = 0;
};

}  // namespace medley
