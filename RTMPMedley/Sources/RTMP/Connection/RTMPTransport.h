#pragma once
// What an RTMP connection needs of the byte transport under it: open, read the
// received blocks, queue outgoing buffers, close, and report the transport's
// figures to a network monitor. `RTMPSocket` is the real one; tests script one
// on virtual time.
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>

#include "Medley/Sources/Extension/Data.h"
#include "Medley/Sources/Network/NetworkTransportReporter.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Net/TcpConnection.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkedMessage.h"

namespace rtmpmedley {

// Where a queued buffer goes. Control buffers (ping answers, acknowledgements,
// window sizes) overtake queued media at the next buffer boundary, never inside
// a buffer already being written. Anything whose meaning depends on its place
// in the byte stream (a chunk-size change, an abort) stays in the media lane.
enum class RTMPSendLane : uint8_t { media, control };

class RTMPTransportError : public std::exception {
 public:
  enum class Kind {
    // Closed while connect() waited; carries the error that closed it, if any.
    connectionNotEstablished,
    // connect() on a connected transport.
    invalidState,
    // The peer finished sending.
    endOfStream,
    // The connection was not ready within the time-out.
    connectionTimedOut,
  };
  explicit RTMPTransportError(Kind kind, std::optional<platform::TcpError> networkError = std::nullopt);
  Kind kind() const { return kind_; }
  const std::optional<platform::TcpError>& networkError() const { return networkError_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Kind kind_;
  std::optional<platform::TcpError> networkError_;
  std::string message_;
};

class RTMPTransport : public medley::NetworkTransportReporter {
 public:
  using Error = RTMPTransportError;

  // Bytes handed to send() on the current connection, and how many of them
  // the transport has passed on (to the kernel); what lies between waits here.
  struct OutputProgress {
    uint64_t handed = 0;
    uint64_t written = 0;
  };

  ~RTMPTransport() override = default;

  // Returns once the connection is ready; throws Error. A transport may be
  // connected again after close().
  virtual platform::Async<void> connect(std::string host, int port) = 0;
  // The received blocks of the current connection, until the peer finishes,
  // the connection fails or it is closed. One reader per connection.
  virtual platform::Async<platform::AsyncStream<medley::Data>> recv() = 0;
  // Queues the bytes and returns at once; dropped while not connected. Any
  // thread; calls from one thread are written in call order within a lane.
  virtual void send(medley::Data bytes, RTMPSendLane lane = RTMPSendLane::media) = 0;
  void send(std::span<const uint8_t> bytes, RTMPSendLane lane = RTMPSendLane::media) {
    send(medley::Data(bytes.begin(), bytes.end()), lane);
  }
  // Queues one message's chunks. Without an owner the payload is valid only
  // during the call and is copied; with one the transport may write it where
  // it lies. This one copies them into one buffer.
  virtual void send(RTMPChunkedMessage chunks, RTMPSendLane lane = RTMPSendLane::media) {
    if (chunks.empty()) return;
    medley::Data bytes(chunks.size());
    chunks.copyTo(bytes.data());
    send(std::move(bytes), lane);
  }
  // Closes the connection, fails a waiting connect() and ends the received sequence.
  virtual platform::Async<void> close(std::optional<platform::TcpError> error = std::nullopt) = 0;
  // Closes as close() does, but drops what is still queued and lets the peer
  // see a reset rather than an orderly end that waits behind the backlog.
  virtual platform::Async<void> abort() { return close(); }
  virtual platform::Async<bool> connected() = 0;
  virtual bool isSecure() const = 0;
  // The peer's program says it has read `bytes` of this connection's byte
  // stream, counted from its first byte, and will say so again at the latest
  // `window` bytes later. Only that tells a peer that stopped reading from a
  // receiving kernel that still takes bytes into its buffer. Any thread.
  virtual void peerRead(uint64_t bytes, uint64_t window) { (void)bytes, (void)window; }
  // Any thread, without a system call; none while not connected or when the transport cannot tell.
  virtual std::optional<OutputProgress> outputProgress() const { return std::nullopt; }
};

}  // namespace rtmpmedley
