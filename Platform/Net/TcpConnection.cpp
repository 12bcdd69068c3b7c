#include "Platform/Net/TcpConnection.h"

#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// The one network thread every connection runs on; it lives until the process ends.
// Never destroyed: the thread is not the runtime's, so nothing stops it before
// static objects go, and it runs the context until the process has ended.
class NetworkThread {
 public:
  static asio::io_context& context() {
    static auto* shared = new NetworkThread();
    return shared->io_;
  }

 private:
  NetworkThread() : guard_(asio::make_work_guard(io_)) {
    std::thread([this] {
      for (;;) {
        try {
          io_.run();
          return;
        } catch (...) {
          // A handler threw: keep serving the other connections.
        }
      }
    }).detach();
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

bool isPathError(const asio::error_code& ec) {
  return ec == asio::error::network_unreachable || ec == asio::error::host_unreachable ||
         ec == asio::error::network_down || ec == asio::error::timed_out;
}

TcpError makeError(const asio::error_code& ec, const std::string& where) {
  TcpError e;
  e.code = ec.value();
  const auto& cat = ec.category();
  if (ec == asio::error::connection_refused) {
    e.kind = TcpError::Kind::refused;
  } else if (cat == asio::error::get_netdb_category() || cat == asio::error::get_addrinfo_category() ||
             ec == asio::error::host_not_found || ec == asio::error::host_not_found_try_again) {
    e.kind = TcpError::Kind::hostNotFound;
  } else if (ec == asio::error::network_unreachable || ec == asio::error::host_unreachable ||
             ec == asio::error::network_down) {
    e.kind = TcpError::Kind::unreachable;
  } else if (ec == asio::error::timed_out) {
    e.kind = TcpError::Kind::timedOut;
  } else if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
             ec == asio::error::connection_aborted || ec == asio::error::eof) {
    e.kind = TcpError::Kind::reset;
  } else if (cat == asio::error::get_ssl_category() || cat == asio::ssl::error::get_stream_category()) {
    e.kind = TcpError::Kind::tls;
  } else {
    e.kind = TcpError::Kind::other;
  }
  e.message = ec.message() + " (" + where + ")";
  return e;
}

// A run of pieces handed to one gather write.
struct PieceView {
  using value_type = asio::const_buffer;
  using const_iterator = const asio::const_buffer*;
  const asio::const_buffer* first = nullptr;
  size_t count = 0;
  const_iterator begin() const { return first; }
  const_iterator end() const { return first + count; }
};

// Pieces asked of a gather source at once (what one writev takes).
constexpr size_t kGatherPieces = 64;
// Bytes gathered into one block before TLS encrypts them.
constexpr size_t kTlsGatherBlock = 64 * 1024;

// A first-in first-out queue that keeps its storage, so that a steady flow
// of writes allocates nothing once it has grown.
template <class T>
class WriteQueue {
 public:
  bool empty() const { return count_ == 0; }
  T& front() { return items_[head_]; }
  void pop_front() {
    items_[head_] = T{};
    head_ = (head_ + 1) % items_.size();
    --count_;
  }
  void push_back(T item) {
    if (count_ == items_.size()) grow();
    items_[(head_ + count_) % items_.size()] = std::move(item);
    ++count_;
  }
  template <class F>
  void forEach(F f) {
    for (size_t i = 0; i < count_; ++i) f(items_[(head_ + i) % items_.size()]);
  }
  void clear() {
    while (!empty()) pop_front();
    head_ = 0;
  }

 private:
  void grow() {
    std::vector<T> next(std::max<size_t>(16, 2 * items_.size()));
    for (size_t i = 0; i < count_; ++i) next[i] = std::move(items_[(head_ + i) % items_.size()]);
    items_.swap(next);
    head_ = 0;
  }

  std::vector<T> items_;
  size_t head_ = 0;
  size_t count_ = 0;
};

TcpError error(TcpError::Kind kind, std::string message) {
  TcpError e;
  e.kind = kind;
  e.message = std::move(message);
  return e;
}

}  // namespace

std::string describe(const TcpError& error) { return error.message; }

const char* tcpStateName(TcpConnection::State state) {
  switch (state) {
    case TcpConnection::State::setup: return "setup";
    case TcpConnection::State::preparing: return "preparing";
    case TcpConnection::State::ready: return "ready";
    case TcpConnection::State::waiting: return "waiting";
    case TcpConnection::State::failed: return "failed";
    case TcpConnection::State::cancelled: return "cancelled";
  }
  return "unknown";
}

struct TcpConnection::Impl : std::enable_shared_from_this<Impl> {
  using tcp = asio::ip::tcp;

  struct PendingWrite {
    std::vector<uint8_t> bytes;
    // Written in place of `bytes` when set.
    GatherPtr gather;
    size_t length = 0;
    SendCompletion completion;
    Lane lane = Lane::normal;
    // Bytes the sending thread already wrote; the network thread writes the rest.
    size_t written = 0;
  };

  Impl(std::string h, int p, Options o, std::shared_ptr<SerialQueue> q)
      : host(std::move(h)),
        port(p),
        options(std::move(o)),
        queue(std::move(q)),
        io(NetworkThread::context()),
        resolver(io),
        timer(io) {
    if (options.maxReceiveBlock == 0) options.maxReceiveBlock = 1;
  }

  const std::string host;
  const int port;
  Options options;
  const std::shared_ptr<SerialQueue> queue;
  asio::io_context& io;

  // Any thread.
  std::atomic<bool> started{false};
  std::atomic<bool> cancelled{false};
  std::atomic<bool> resetOnClose{false};
  std::atomic<State> state{State::setup};
  // Guards the handlers, counters and remote, and the write state below: a
  // sender writes at once only while it holds this lock and finds nothing
  // queued or being written, and the network thread takes it to start a write.
  mutable std::mutex mutex;
  StateHandler stateHandler;
  ReceiveHandler receiveHandler;
  EndOfStreamHandler endOfStreamHandler;
  ViabilityHandler viabilityHandler;
  Counters counters;
  std::string remote;
  // The open socket's descriptor for the unacknowledged count and the senders'
  // own writes; -1 once closed.
  int descriptor = -1;
  // Ready over plain TCP and not closed: senders may write themselves.
  bool sendersWrite = false;
  bool socketClosed = false;
  // A write started (by the network thread, or by a sender that left the rest
  // to it) and not ended; its end starts the next queued one.
  bool writing = false;
  // Filled by the senders and emptied by the network thread.
  WriteQueue<PendingWrite> writes;
  WriteQueue<PendingWrite> priorityWrites;
  // The buffer being written while `writing`; its bytes stay until the write ends.
  PendingWrite inFlight;

  // Network thread only.
  tcp::resolver resolver;
  asio::steady_timer timer;
  std::unique_ptr<asio::ssl::context> tlsContext;
  std::unique_ptr<asio::ssl::stream<tcp::socket>> tls;
  std::unique_ptr<tcp::socket> plain;
  bool closed = false;
  bool ready = false;
  std::optional<TcpError> failure;
  std::vector<uint8_t> abandoned;
  GatherPtr abandonedGather;
  // Progress of a gather write, and what its next write request reads.
  size_t gatherOffset = 0;
  std::array<std::span<const uint8_t>, kGatherPieces> pieces;
  std::array<asio::const_buffer, kGatherPieces> iov;
  std::vector<uint8_t> staging;
  std::vector<uint8_t> readBuffer;

  std::string where() const { return host + ":" + std::to_string(port); }

  tcp::socket* socket() {
    if (tls) return &tls->next_layer();
    return plain.get();
  }

  // Runs `job` on the delivery queue unless the connection was cancelled by then.
  template <typename F>
  void deliver(F job) {
    queue->async([self = shared_from_this(), job = std::move(job)]() mutable {
      if (!self->cancelled.load()) job(*self);
    });
  }

  void report(State s, std::optional<TcpError> err = std::nullopt) {
    if (cancelled.load()) return;
    state.store(s);
    deliver([s, err = std::move(err)](Impl& self) {
      StateHandler handler;
      {
        std::lock_guard lock(self.mutex);
        handler = self.stateHandler;
      }
      if (handler) handler(s, err);
    });
  }

  // --- network thread ---

  void begin() {
    if (closed) return;
    if (options.connectTimeout > 0) {
      timer.expires_after(std::chrono::nanoseconds(options.connectTimeout));
      timer.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || self->closed || self->ready) return;
        self->fail(error(TcpError::Kind::timedOut, "The connection timed out after " +
                                                       std::to_string(toSeconds(self->options.connectTimeout)) +
                                                       " s (" + self->where() + ")"));
      });
    }
    try {
      if (options.tls) {
        tlsContext = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        tlsContext->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                                asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                                asio::ssl::context::no_tlsv1_1);
        // Reads SSL_CERT_FILE / SSL_CERT_DIR when set, else the system store.
        tlsContext->set_default_verify_paths();
        tlsContext->set_verify_mode(options.verifyPeer ? asio::ssl::verify_peer : asio::ssl::verify_none);
        tls = std::make_unique<asio::ssl::stream<tcp::socket>>(io, *tlsContext);
        configureTls(tls->native_handle());
      } else {
        plain = std::make_unique<tcp::socket>(io);
      }
    } catch (const std::system_error& e) {
      fail(makeError(e.code(), where()));
      return;
    }
    resolver.async_resolve(host, std::to_string(port), tcp::resolver::numeric_service,
                           [self = shared_from_this()](const asio::error_code& ec, tcp::resolver::results_type results) {
                             self->resolved(ec, std::move(results));
                           });
  }

  void configureTls(SSL* ssl) {
    const std::string name = options.serverName.empty() ? host : options.serverName;
    asio::error_code ec;
    asio::ip::make_address(name, ec);
    const bool isAddress = !ec;
    if (!isAddress) SSL_set_tlsext_host_name(ssl, name.c_str());
    if (options.verifyPeer) {
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (isAddress)
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
      else
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    }
  }

  void resolved(const asio::error_code& ec, tcp::resolver::results_type results) {
    if (closed) return;
    if (ec) {
      TcpError e = makeError(ec, where());
      if (e.kind == TcpError::Kind::other) e.kind = TcpError::Kind::hostNotFound;
      fail(std::move(e));
      return;
    }
    asio::async_connect(*socket(), results,
                        [self = shared_from_this()](const asio::error_code& ec, const tcp::endpoint& endpoint) {
                          self->connected(ec, endpoint);
                        });
  }

  void connected(const asio::error_code& ec, const tcp::endpoint& endpoint) {
    if (closed) return;
    if (ec) {
      TcpError e = makeError(ec, where());
      // No route: the path is unavailable rather than the peer refusing.
      const State s = e.kind == TcpError::Kind::unreachable ? State::waiting : State::failed;
      fail(std::move(e), s);
      return;
    }
    asio::error_code ignored;
    socket()->set_option(tcp::no_delay(options.noDelay), ignored);
    if (options.unsentLowWater > 0) {
      // Best effort: without it the backlog hides in the kernel but nothing breaks.
      const int lowWater = static_cast<int>(std::min<size_t>(options.unsentLowWater, INT32_MAX));
      ::setsockopt(socket()->native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    }
    {
      std::lock_guard lock(mutex);
      remote = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
      descriptor = socket()->native_handle();
    }
    if (!tls) {
      becomeReady();
      return;
    }
    tls->async_handshake(asio::ssl::stream_base::client, [self = shared_from_this()](const asio::error_code& ec) {
      self->handshaken(ec);
    });
  }

  void handshaken(const asio::error_code& ec) {
    if (closed) return;
    if (ec) {
      TcpError e = makeError(ec, where());
      e.kind = TcpError::Kind::tls;
      long verify = SSL_get_verify_result(tls->native_handle());
      if (verify != X509_V_OK)
        e.message = std::string("TLS certificate verification failed: ") +
                    X509_verify_cert_error_string(verify) + " (" + where() + ")";
      fail(std::move(e));
      return;
    }
    becomeReady();
  }

  void becomeReady() {
    ready = true;
    timer.cancel();
    readBuffer.resize(std::max<size_t>(options.maxReceiveBlock, 64 * 1024));
    if (!tls) {
      // TLS keeps its stream's state on this thread.
      std::lock_guard lock(mutex);
      sendersWrite = true;
    }
    report(State::ready);
    readNext();
    pumpWrites();
  }

  void readNext() {
    if (closed) return;
    auto handler = [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->didRead(ec, n); };
    if (tls)
      tls->async_read_some(asio::buffer(readBuffer), std::move(handler));
    else
      plain->async_read_some(asio::buffer(readBuffer), std::move(handler));
  }

  void didRead(const asio::error_code& ec, size_t n) {
    if (closed) return;
    if (n > 0) {
      {
        std::lock_guard lock(mutex);
        counters.totalBytesIn += n;
      }
      // The buffer is not read into again before this job asked for the next read.
      deliver([n, ec](Impl& self) {
        ReceiveHandler handler;
        {
          std::lock_guard lock(self.mutex);
          handler = self.receiveHandler;
        }
        const size_t block = self.options.maxReceiveBlock;
        for (size_t offset = 0; offset < n && handler && !self.cancelled.load(); offset += block)
          handler(std::span<const uint8_t>(self.readBuffer.data() + offset, std::min(block, n - offset)));
        asio::post(self.io, [s = self.shared_from_this(), ec] {
          if (ec)
            s->readFailed(ec);
          else
            s->readNext();
        });
      });
      return;
    }
    if (ec) readFailed(ec);
  }

  void readFailed(const asio::error_code& ec) {
    if (closed) return;
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
      // The peer finished sending; writing may go on until the owner closes.
      deliver([](Impl& self) {
        EndOfStreamHandler handler;
        {
          std::lock_guard lock(self.mutex);
          handler = self.endOfStreamHandler;
        }
        if (handler) handler();
      });
      return;
    }
    fail(makeError(ec, where()), State::failed, isPathError(ec));
  }

  // --- any thread ---

  // Writes at once when nothing is queued or being written (and lets the
  // network thread finish what the kernel did not take), else queues the
  // write, waking the network thread only when no write of its will start it.
  void submit(PendingWrite write) {
    enum class Then { nothing, resume, pump, refuse } then = Then::nothing;
    {
      std::lock_guard lock(mutex);
      if (socketClosed) {
        then = Then::refuse;
      } else if (!sendersWrite || cancelled.load() || writing || !writes.empty() || !priorityWrites.empty()) {
        counters.queuedBytesOut += write.length;
        if (!writing) then = Then::pump;
        (write.lane == Lane::priority ? priorityWrites : writes).push_back(std::move(write));
      } else if (writeNow(write)) {
        counters.totalBytesOut += write.length;
        if (write.completion) deliver([c = std::move(write.completion)](Impl&) { c(std::nullopt); });
      } else {
        // The rest, or the error, is the network thread's.
        counters.queuedBytesOut += write.length;
        inFlight = std::move(write);
        writing = true;
        then = Then::resume;
      }
    }
    // A gather source written at once is released here, after the lock.
    switch (then) {
      case Then::nothing: return;
      case Then::resume: asio::post(io, [self = shared_from_this()] { self->resumeWrite(); }); return;
      case Then::pump: asio::post(io, [self = shared_from_this()] { self->pumpWrites(); }); return;
      case Then::refuse:
        // Counted nowhere; the completion learns of the failure.
        if (write.completion)
          asio::post(io, [self = shared_from_this(), c = std::move(write.completion)] {
            if (self->failure) self->deliver([c, f = *self->failure](Impl&) { c(f); });
          });
        return;
    }
  }

  // Writes without waiting, under the lock and on the open plain socket; true
  // when all of it was written. Stops at the first short write (the kernel is
  // full) or error, with `written` telling how far it came.
  bool writeNow(PendingWrite& write) {
    constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
    std::array<std::span<const uint8_t>, kGatherPieces> spans;
    std::array<iovec, kGatherPieces> vectors;
    while (write.written < write.length) {
      size_t count = 1;
      size_t want = write.length - write.written;
      if (write.gather) {
        count = write.gather->pieces(write.written, spans);
        // A source that gives fewer bytes than it announced ends its write.
        if (count == 0) return true;
        want = 0;
        for (size_t i = 0; i < count; ++i) {
          vectors[i] = {const_cast<uint8_t*>(spans[i].data()), spans[i].size()};
          want += spans[i].size();
        }
      } else {
        vectors[0] = {write.bytes.data() + write.written, want};
      }
      msghdr message{};
      message.msg_iov = vectors.data();
      message.msg_iovlen = count;
      const ssize_t n = ::sendmsg(descriptor, &message, kFlags);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      write.written += static_cast<size_t>(n);
      if (static_cast<size_t>(n) < want) return write.written >= write.length;
    }
    return true;
  }

  // --- network thread ---

  // Finishes the write a sender began.
  void resumeWrite() {
    if (!closed && cancelled.load()) cancelOnNetworkThread();
    if (closed) {
      // Dropped with the connection; no write of it is under way.
      abandoned = {};
      abandonedGather.reset();
      return;
    }
    startInFlight();
  }

  void pumpWrites() {
    bool started = false;
    {
      std::lock_guard lock(mutex);
      started = takeNextWrite();
    }
    if (started) startInFlight();
  }

  // Under the lock: makes the next queued buffer the one in flight, if a write may start.
  bool takeNextWrite() {
    if (closed || !ready || cancelled.load() || writing) return false;
    auto& next = priorityWrites.empty() ? writes : priorityWrites;
    if (next.empty()) return false;
    inFlight = std::move(next.front());
    next.pop_front();
    writing = true;
    return true;
  }

  // Writes the buffer in flight from where its writing stopped.
  void startInFlight() {
    if (inFlight.gather) {
      gatherOffset = inFlight.written;
      writeGathered();
      return;
    }
    auto handler = [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->didWrite(ec, n); };
    const auto rest = asio::buffer(inFlight.bytes) + inFlight.written;
    if (tls)
      asio::async_write(*tls, rest, std::move(handler));
    else
      asio::async_write(*plain, rest, std::move(handler));
  }

  // One write request of the gather write in flight: the next pieces as they
  // lie, or over TLS the next block of them gathered.
  void writeGathered() {
    const Gather& gather = *inFlight.gather;
    auto handler = [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->didWriteGathered(ec, n); };
    if (tls) {
      const size_t want = std::min(kTlsGatherBlock, inFlight.length - gatherOffset);
      staging.resize(want);
      size_t filled = 0;
      while (filled < want) {
        const size_t count = gather.pieces(gatherOffset + filled, pieces);
        if (count == 0) break;
        for (size_t i = 0; i < count && filled < want; ++i) {
          const size_t n = std::min(pieces[i].size(), want - filled);
          std::memcpy(staging.data() + filled, pieces[i].data(), n);
          filled += n;
        }
      }
      asio::async_write(*tls, asio::buffer(staging.data(), filled), std::move(handler));
      return;
    }
    const size_t count = gather.pieces(gatherOffset, pieces);
    for (size_t i = 0; i < count; ++i) iov[i] = asio::const_buffer(pieces[i].data(), pieces[i].size());
    asio::async_write(*plain, PieceView{iov.data(), count}, std::move(handler));
  }

  void didWriteGathered(const asio::error_code& ec, size_t n) {
    if (!closed && !ec && inFlight.gather) {
      gatherOffset += n;
      // A source that gives fewer bytes than it announced ends its write.
      if (gatherOffset < inFlight.length && n > 0) {
        writeGathered();
        return;
      }
    }
    didWrite(ec, n);
  }

  void didWrite(const asio::error_code& ec, size_t) {
    // A failure reports this write first, then the queued ones.
    if (!closed && ec) fail(makeError(ec, where()), State::failed, isPathError(ec));
    PendingWrite done;
    bool next = false;
    {
      std::lock_guard lock(mutex);
      done = std::move(inFlight);
      inFlight = {};
      if (!closed) {
        counters.totalBytesOut += done.length;
        counters.queuedBytesOut -= done.length;
        // Before a sender may write again, so that completions keep the order of the writes.
        if (done.completion) deliver([c = std::move(done.completion)](Impl&) { c(std::nullopt); });
      }
      writing = false;
      next = takeNextWrite();
    }
    abandoned = {};
    abandonedGather.reset();
    if (next) startInFlight();
  }

  void closeSocket() {
    closed = true;
    resolver.cancel();
    timer.cancel();
    asio::error_code ignored;
    // Under the lock: a reader of the counters never asks a reused descriptor.
    std::lock_guard lock(mutex);
    descriptor = -1;
    sendersWrite = false;
    socketClosed = true;
    auto* s = socket();
    if (!s) return;
    // A zero linger time makes close() send a reset and discard unsent bytes.
    if (resetOnClose.load() && s->is_open()) s->set_option(asio::socket_base::linger(true, 0), ignored);
    s->close(ignored);
  }

  // Ends the connection with an error; pending writes fail with it.
  void fail(TcpError e, State s = State::failed, bool pathLost = false) {
    if (closed) return;
    closeSocket();
    failure = e;
    if (ready && pathLost) {
      deliver([](Impl& self) {
        ViabilityHandler handler;
        {
          std::lock_guard lock(self.mutex);
          handler = self.viabilityHandler;
        }
        if (handler) handler(false);
      });
    }
    report(s, e);
    dropWrites(true);
  }

  void dropWrites(bool complete) {
    // Emptied under the lock, let go of after it: releasing a source may run its owner's code.
    WriteQueue<PendingWrite> droppedWrites, droppedPriorityWrites;
    std::lock_guard lock(mutex);
    uint64_t dropped = 0;
    auto drop = [&](PendingWrite& w) {
      dropped += w.length;
      if (complete && w.completion && failure) deliver([c = std::move(w.completion), f = *failure](Impl&) { c(f); });
      w.completion = nullptr;
    };
    if (writing) {
      drop(inFlight);
      // The write still under way reads these bytes until it ends (moving keeps them in place).
      if (!inFlight.bytes.empty()) abandoned = std::move(inFlight.bytes);
      abandonedGather = std::move(inFlight.gather);
      inFlight = {};
    }
    priorityWrites.forEach(drop);
    writes.forEach(drop);
    std::swap(writes, droppedWrites);
    std::swap(priorityWrites, droppedPriorityWrites);
    counters.queuedBytesOut -= dropped;
  }

  void cancelOnNetworkThread() {
    if (closed) {
      dropWrites(false);
      return;
    }
    closeSocket();
    dropWrites(false);
  }
};

TcpConnection::TcpConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

TcpConnection::~TcpConnection() { cancel(); }

std::shared_ptr<TcpConnection> TcpConnection::make(std::string host, int port, Options options,
                                                   std::shared_ptr<SerialQueue> queue) {
  auto impl = std::make_shared<Impl>(std::move(host), port, std::move(options), std::move(queue));
  return std::shared_ptr<TcpConnection>(new TcpConnection(std::move(impl)));
}

void TcpConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->stateHandler = std::move(handler);
}

void TcpConnection::setReceiveHandler(ReceiveHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->receiveHandler = std::move(handler);
}

void TcpConnection::setEndOfStreamHandler(EndOfStreamHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->endOfStreamHandler = std::move(handler);
}

void TcpConnection::setViabilityHandler(ViabilityHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->viabilityHandler = std::move(handler);
}

void TcpConnection::start() {
  if (impl_->started.exchange(true) || impl_->cancelled.load()) return;
  if (impl_->port < 1 || impl_->port > 65535 || impl_->host.empty()) {
    // Nothing was opened: fail on the network thread so pending sends see it.
    asio::post(impl_->io, [impl = impl_] {
      impl->fail(error(TcpError::Kind::invalidArgument,
                       "Invalid host or port (" + impl->where() + ")"));
    });
    return;
  }
  impl_->report(State::preparing);
  asio::post(impl_->io, [impl = impl_] { impl->begin(); });
}

void TcpConnection::send(std::vector<uint8_t> bytes, SendCompletion completion, Lane lane) {
  if (impl_->cancelled.load()) return;
  const size_t length = bytes.size();
  impl_->submit(Impl::PendingWrite{std::move(bytes), nullptr, length, std::move(completion), lane});
}

void TcpConnection::sendGathered(GatherPtr gather, SendCompletion completion, Lane lane) {
  if (!gather || impl_->cancelled.load()) return;
  const size_t length = gather->size();
  impl_->submit(Impl::PendingWrite{{}, std::move(gather), length, std::move(completion), lane});
}

void TcpConnection::cancel() {
  if (impl_->cancelled.exchange(true)) return;
  impl_->state.store(State::cancelled);
  {
    // Let go of the owner's captures at once.
    std::lock_guard lock(impl_->mutex);
    impl_->stateHandler = nullptr;
    impl_->receiveHandler = nullptr;
    impl_->endOfStreamHandler = nullptr;
    impl_->viabilityHandler = nullptr;
  }
  asio::post(impl_->io, [impl = impl_] { impl->cancelOnNetworkThread(); });
}

void TcpConnection::abort() {
  impl_->resetOnClose.store(true);
  cancel();
}

TcpConnection::State TcpConnection::state() const { return impl_->state.load(); }
const std::string& TcpConnection::host() const { return impl_->host; }
int TcpConnection::port() const { return impl_->port; }

std::string TcpConnection::remoteAddress() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->remote;
}

TcpConnection::Counters TcpConnection::queueCounters() const {
  std::lock_guard lock(impl_->mutex);
  Counters out = impl_->counters;
  out.kernel.reset();
  return out;
}

TcpConnection::Counters TcpConnection::counters() const {
  std::lock_guard lock(impl_->mutex);
  Counters out = impl_->counters;
  out.kernel = readTcpKernelView(impl_->descriptor);
  return out;
}

}  // namespace platform
