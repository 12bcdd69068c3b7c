#pragma once
// The byte transport under an RTMP connection: one TCP (or TLS over TCP)
// connection, opened with a time-out. Received bytes come out as one
// asynchronous sequence of blocks of at most 255 bytes; outgoing buffers are
// queued and written one after another, in the order handed over within their
// lane (control buffers overtake queued media between buffers); a message's
// chunks are written straight from its payload. Three byte counters and the
// time the sent one last grew feed the network monitor (RTMPOutputAccount
// says what counts as sent and as waiting). Any failure closes the socket: the owner sees
// the error of connect() or the end of the received sequence, never an error
// from send().
// Beyond the shape of chunked messages it knows nothing of RTMP.
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "Medley/Sources/Extension/Data.h"
#include "Medley/Sources/Network/NetworkMonitor.h"
#include "Medley/Sources/Network/NetworkTransportReporter.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Net/TcpConnection.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPOutputAccount.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocketWritePool.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPTransport.h"

namespace rtmpmedley {

class RTMPSocket final : public platform::Actor,
                         public RTMPTransport,
                         public std::enable_shared_from_this<RTMPSocket> {
 public:
  // Any level but none asks for TLS.
  enum class SecurityLevel { none, sslv2, sslv3, tlsv1, negotiatedSSL };

  using Error = RTMPTransportError;

  static constexpr int kDefaultTimeout = 15;
  // Bytes asked for by one receive.
  static constexpr size_t kWindowSizeC = 255;
  // Unsent bytes left to the kernel; what is beyond them shows in queueBytesOut.
  static constexpr size_t kUnsentLowWater = 128 * 1024;
  static constexpr uint64_t kPeerReadSlack = RTMPOutputAccount::kPeerReadSlack;

  // `timeout` in seconds bounds connect() (0 or less: no bound).
  RTMPSocket(platform::QualityOfService qualityOfService, SecurityLevel securityLevel,
             std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(), int timeout = kDefaultTimeout);
  ~RTMPSocket() override;

  // Returns once the connection is ready; throws Error. A socket may be
  // connected again after close(); the counters start from zero.
  platform::Async<void> connect(std::string host, int port) override;
  // The received blocks of the current connection, until the peer finishes,
  // the connection fails or it is closed. Blocks that arrive before the call
  // wait in the sequence. One reader per connection.
  platform::Async<platform::AsyncStream<medley::Data>> recv() override;
  // Queues the bytes for writing and returns at once; dropped while not
  // connected. Any thread; calls from one thread are written in call order
  // within a lane.
  void send(medley::Data bytes, RTMPSendLane lane = RTMPSendLane::media) override;
  // A message's chunks, written where the payload lies when it has an owner
  // (copied once otherwise), without an allocation once the pool has grown.
  void send(RTMPChunkedMessage chunks, RTMPSendLane lane = RTMPSendLane::media) override;
  using RTMPTransport::send;
  // Closes the connection, fails a waiting connect() with the error and ends
  // the received sequence. Nothing happens without a connection.
  platform::Async<void> close(std::optional<platform::TcpError> error = std::nullopt) override;
  // Closes with a reset: the queued bytes and what the kernel still holds are dropped.
  platform::Async<void> abort() override;

  platform::Async<bool> connected() override;
  bool isSecure() const override { return secure_; }
  void peerRead(uint64_t bytes, uint64_t window) override;
  std::optional<OutputProgress> outputProgress() const override;
  // Buffers handed to the transport, each written with one write request; any thread.
  uint64_t sendCount() const { return sendCount_.load(std::memory_order_relaxed); }
  int timeout() const { return timeout_; }

  platform::Async<std::shared_ptr<medley::NetworkMonitor>> makeNetworkMonitor() override;
  platform::Async<medley::NetworkTransportReport> makeNetworkTransportReport() override;

 private:
  // Lets the tests report the connection's events as the connection would.
  friend struct RTMPSocketEvents;

  void stateDidChange(platform::TcpConnection::State state, const std::optional<platform::TcpError>& error);
  void viabilityDidChange(bool viable);
  void endOfStream();
  void closeNow(std::optional<platform::TcpError> error, bool reset = false);
  static platform::Async<void> expire(std::weak_ptr<RTMPSocket> weak, uint64_t serial, platform::Nanos after);

  const platform::QualityOfService qualityOfService_;
  const bool secure_;
  const int timeout_;
  bool connected_ = false;
  std::shared_ptr<platform::TcpConnection> connection_;
  // Counters of the last connection once it is gone.
  platform::TcpConnection::Counters lastCounters_;
  // What the peer took of the current (or last) connection's output.
  RTMPOutputAccount account_;
  // What the peer's program said it read, and its window (0: it never said),
  // and when what that allows last grew.
  std::mutex peerMutex_;
  uint64_t peerRead_ = 0;
  uint64_t peerWindow_ = 0;
  platform::Nanos peerAllowedAt_ = 0;
  std::optional<platform::Continuation<void>> continuation_;
  uint64_t continuationSerial_ = 0;
  platform::TaskHandle<void> timeoutTask_;
  std::optional<platform::AsyncStream<medley::Data>> received_;
  std::optional<platform::AsyncStreamWriter<medley::Data>> receivedWriter_;

  // Read by send() on any thread.
  mutable std::mutex sendMutex_;
  std::shared_ptr<platform::TcpConnection> sendTarget_;
  const std::shared_ptr<RTMPSocketWritePool> writes_ = RTMPSocketWritePool::make();
  std::atomic<uint64_t> sendCount_{0};
};

}  // namespace rtmpmedley
