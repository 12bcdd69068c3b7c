#pragma once
// A TCP or TLS-over-TCP client connection. All socket work runs on one shared
// network thread; every event (state, received bytes, end of stream, viability,
// send completions) is delivered on the SerialQueue given at creation, in order.
//
// Lifecycle: make() -> set handlers -> start() -> preparing -> ready, or
// failed(error) / waiting(error). After cancel() (or the last reference going
// away) the socket is closed and no handler starts again; call cancel() on the
// delivery queue for a hard guarantee against a handler that was already
// starting on another thread. Handlers should capture their owner weakly.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Net/TcpKernelView.h"
#include "Platform/Time/HostClock.h"

namespace platform {

struct TcpError {
  enum class Kind {
    invalidArgument,  // bad port or host text
    hostNotFound,
    refused,
    unreachable,      // no route to the network or host
    timedOut,
    tls,              // handshake or certificate verification failed
    reset,            // the peer reset or the connection broke
    other,
  };
  Kind kind = Kind::other;
  int code = 0;         // errno or the library's code, 0 when none
  std::string message;  // readable, e.g. "Connection refused (127.0.0.1:1935)"
};

std::string describe(const TcpError& error);

class TcpConnection {
 public:
  struct Options {
    bool tls = false;
    // The TLS name to verify and to send as SNI; empty means the host.
    std::string serverName;
    // Only for tests against self-made certificates without a CA: off skips checks.
    bool verifyPeer = true;
    // Bounds resolve, connect and TLS handshake together; 0 means no bound.
    Nanos connectTimeout = seconds(15);
    // Received bytes are delivered in blocks of at most this many bytes (>= 1).
    size_t maxReceiveBlock = 65536;
    bool noDelay = true;
    // Unsent bytes the kernel may hold (TCP_NOTSENT_LOWAT); the rest waits in
    // this connection's queue, where queuedBytesOut shows it, and a stalled
    // peer shows there within moments instead of after megabytes. 0 leaves the
    // system's setting.
    size_t unsentLowWater = 128 * 1024;
  };

  // Bytes written where they lie instead of being handed over in one owned
  // buffer: the source gives them as pieces (a gather write). The connection
  // reads them in sendGathered() itself (under its lock: pieces() must not call
  // into the connection) and then on its network thread, until the write has
  // ended or was dropped, then calls release() once, from whichever thread lets
  // go of it; the source may be reused or freed from then on.
  class Gather {
   public:
    virtual size_t size() const = 0;
    // The bytes from `offset` on as pieces, at most out.size() of them;
    // answers how many were written.
    virtual size_t pieces(size_t offset, std::span<std::span<const uint8_t>> out) const = 0;
    virtual void release() = 0;

   protected:
    ~Gather() = default;
  };
  struct GatherRelease {
    void operator()(Gather* gather) const { gather->release(); }
  };
  using GatherPtr = std::unique_ptr<Gather, GatherRelease>;

  // Which queue a send joins. Priority buffers are written before any queued
  // normal one, but a buffer already being written is finished first.
  enum class Lane { normal, priority };

  enum class State { setup, preparing, ready, waiting, failed, cancelled };

  using StateHandler = std::function<void(State, const std::optional<TcpError>&)>;
  using ReceiveHandler = std::function<void(std::span<const uint8_t> block)>;
  // The peer closed its sending side cleanly; no more bytes will arrive.
  using EndOfStreamHandler = std::function<void()>;
  // False when the path to the peer was lost (reported before the failed state).
  using ViabilityHandler = std::function<void(bool viable)>;
  // Runs after the bytes were written to the socket, or with the error that ended
  // the connection before they were.
  using SendCompletion = std::function<void(const std::optional<TcpError>&)>;

  struct Counters {
    uint64_t queuedBytesOut = 0;  // handed to send() and not yet taken by the kernel
    uint64_t totalBytesIn = 0;
    uint64_t totalBytesOut = 0;
    // Bytes the kernel holds, written but not yet sent or not yet acknowledged
    // by the peer's TCP (on the wire: TLS records included); empty before the
    // connection and after it. The receiving kernel acknowledges into its own
    // buffer, so its counts say nothing of whether the peer's program reads.
    std::optional<TcpKernelView> kernel;
  };

  static std::shared_ptr<TcpConnection> make(std::string host, int port, Options options,
                                             std::shared_ptr<SerialQueue> queue);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Set before start(); later changes apply to later events.
  void setStateHandler(StateHandler handler);
  void setReceiveHandler(ReceiveHandler handler);
  void setEndOfStreamHandler(EndOfStreamHandler handler);
  void setViabilityHandler(ViabilityHandler handler);

  // Resolves, connects (and handshakes); reports preparing, then ready or failed.
  // Only the first call has an effect.
  void start();
  // Queues bytes for writing, in call order within their lane. Bytes sent
  // before ready wait for it. After cancel or failure the bytes are dropped
  // (the completion reports the failure; after cancel nothing runs). On a
  // ready plain connection with nothing queued or being written, the calling
  // thread writes what the kernel takes at once, without waking the network
  // thread; the rest follows from there.
  void send(std::vector<uint8_t> bytes, SendCompletion completion = {}, Lane lane = Lane::normal);
  // The same for bytes that stay where they are. Over TLS the pieces are
  // gathered into blocks before they are encrypted, so that small pieces do
  // not each become a record.
  void sendGathered(GatherPtr gather, SendCompletion completion = {}, Lane lane = Lane::normal);
  // Closes the connection; no handler or completion runs afterwards.
  void cancel();
  // The same, but the peer sees a reset instead of an orderly end behind what
  // the kernel still holds: nothing more of this connection is sent, so a
  // server that waits for its end learns of it at once.
  void abort();

  State state() const;
  const std::string& host() const;
  int port() const;
  // "address:port" of the peer once connected, else empty.
  std::string remoteAddress() const;

  // Readable from any thread; the snapshot is consistent (a finished write moves
  // its bytes from queued to total out in one step). Asks the kernel for the
  // unacknowledged count, a system call.
  Counters counters() const;
  // The same without asking the kernel (no system call): kernel is empty.
  Counters queueCounters() const;
  uint64_t queuedBytesOut() const { return counters().queuedBytesOut; }
  uint64_t totalBytesIn() const { return counters().totalBytesIn; }
  uint64_t totalBytesOut() const { return counters().totalBytesOut; }

  struct Impl;

 private:
  explicit TcpConnection(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

const char* tcpStateName(TcpConnection::State state);

}  // namespace platform
