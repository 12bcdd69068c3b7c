#pragma once
// An RTMP connection and its one stream behind the session interface, an
// actor. connect() connects to the URL's application, retrying a failed
// attempt after 1, 2, 4, ... seconds, then publishes (as "live") or plays the
// URL's stream name; the ready state goes connecting, open, closing, closed,
// and every change is yielded to the ready-state sequence. After an open, the
// server's "NetConnection.Connect.Closed" makes the state closed and calls the
// disconnect callback.
//
//   auto session = std::make_shared<RTMPSession>(RTMPURL("rtmp://host/live/key"), StreamSessionMode::publish);
//   co_await session->connect([] { /* the server hung up */ });
//   auto stream = co_await session->stream();   // append media, or add outputs when playing
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "Medley/Sources/Stream/StreamSession.h"
#include "Medley/Sources/Stream/StreamSessionConfiguration.h"
#include "Medley/Sources/Stream/StreamSessionMode.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/Task.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Session/RTMPURL.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace rtmpmedley {

class RTMPSession final : public platform::Actor,
                          public medley::StreamSession,
                          public std::enable_shared_from_this<RTMPSession> {
 public:
  class Error : public std::runtime_error {
   public:
    enum class Kind {
      // The URL names no application or no stream after it.
      noStreamName,
    };
    explicit Error(Kind kind);
    Kind kind() const { return kind_; }

   private:
    Kind kind_;
  };

  // `makeTransport` empty: TCP or TLS sockets. The configuration is kept, not used.
  RTMPSession(RTMPURL uri, medley::StreamSessionMode mode,
              std::shared_ptr<const medley::StreamSessionConfiguration> configuration = nullptr,
              std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(),
              RTMPTransportFactory makeTransport = {});
  ~RTMPSession() override;

  // The connection values of a session in this mode.
  static RTMPConnection::Settings connectionSettings(medley::StreamSessionMode mode);

  const RTMPURL& uri() const { return uri_; }
  medley::StreamSessionMode mode() const { return mode_; }

  // StreamSession.
  platform::Async<platform::AsyncStream<medley::StreamSessionReadyState>> readyState() override;
  platform::Async<std::shared_ptr<medley::StreamConvertible>> stream() override;
  platform::Async<void> setMaxRetryCount(int count) override;
  // Throws Error at once for a URL without a stream name, the last connect
  // error once the retries are spent, and a publish or play failure (after
  // closing the connection). Returns at once when already connected.
  platform::Async<void> connect(std::function<void()> disconnected) override;
  // NetworkConnection.
  platform::Async<bool> connected() override;
  // Nothing when not connected.
  platform::Async<void> close() override;

  // The same stream and connection, as what they are.
  platform::Async<std::shared_ptr<RTMPStream>> rtmpStream();
  platform::Async<std::shared_ptr<RTMPConnection>> connection();
  platform::Async<medley::StreamSessionReadyState> currentReadyState();
  platform::Async<int> retryCount();

 private:
  std::shared_ptr<RTMPConnection> connectionHere();
  std::shared_ptr<RTMPStream> streamHere();
  void setReadyState(medley::StreamSessionReadyState state);
  void cancelWatch();
  static platform::Async<void> watch(std::weak_ptr<RTMPSession> weak, platform::AsyncStream<RTMPStatus> statuses,
                                     std::function<void()> disconnected);

  medley::StreamSessionReadyState readyState_ = medley::StreamSessionReadyState::closed;
  platform::AsyncStream<medley::StreamSessionReadyState> readyStateStream_;
  platform::AsyncStreamWriter<medley::StreamSessionReadyState> readyStateWriter_;
  const RTMPURL uri_;
  const medley::StreamSessionMode mode_;
  const std::shared_ptr<const medley::StreamSessionConfiguration> configuration_;
  const RTMPTransportFactory makeTransport_;
  int retryCount_ = 0;
  int maxRetryCount_ = kDefaultMaxRetryCount;
  std::shared_ptr<RTMPConnection> connection_;
  std::shared_ptr<RTMPStream> stream_;
  std::optional<platform::TaskHandle<void>> disconnectedTask_;
};

}  // namespace rtmpmedley
