#include "Platform/Net/TcpConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <numeric>
#include <thread>

#include "Eventually.h"
#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Net/TestCertificates.h"

namespace platform {
namespace {

using State = TcpConnection::State;
using testing::ScopedEnv;
using testing::TestCertificates;

// Everything a connection reported, in order, for the test thread to wait on.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<State> states;
  std::optional<TcpError> error;
  std::vector<uint8_t> received;
  size_t largestBlock = 0;
  bool endOfStream = false;
  size_t callbacks = 0;
  bool onWrongQueue = false;

  template <typename P>
  bool waitFor(P predicate, Nanos timeout = seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::nanoseconds(timeout), [&] { return predicate(*this); });
  }
  bool waitForState(State s, Nanos timeout = seconds(10)) {
    return waitFor([s](Events& e) { return !e.states.empty() && e.states.back() == s; }, timeout);
  }
  template <typename F>
  void record(F f) {
    {
      std::lock_guard lock(mutex);
      ++callbacks;
      f(*this);
    }
    changed.notify_all();
  }
};

class TcpConnectionTest : public ::testing::Test {
 protected:
  std::shared_ptr<TcpConnection> open(const std::string& host, int port, TcpConnection::Options options = {}) {
    auto c = TcpConnection::make(host, port, options, queue_);
    std::weak_ptr<Events> weak = events_;
    auto q = queue_;
    c->setStateHandler([weak, q](State s, const std::optional<TcpError>& e) {
      if (auto ev = weak.lock()) ev->record([&](Events& x) {
          x.onWrongQueue |= !q->isCurrent();
          x.states.push_back(s);
          if (e) x.error = e;
        });
    });
    c->setReceiveHandler([weak, q](std::span<const uint8_t> block) {
      if (auto ev = weak.lock()) ev->record([&](Events& x) {
          x.onWrongQueue |= !q->isCurrent();
          x.received.insert(x.received.end(), block.begin(), block.end());
          x.largestBlock = std::max(x.largestBlock, block.size());
        });
    });
    c->setEndOfStreamHandler([weak] {
      if (auto ev = weak.lock()) ev->record([](Events& x) { x.endOfStream = true; });
    });
    c->start();
    return c;
  }

  // A ready connection to a loopback peer that this side accepted; the
  // connection is null when either end failed (the test has then failed).
  struct Connected {
    std::shared_ptr<TcpListener> listener;
    std::unique_ptr<TcpStream> peer;
    std::shared_ptr<TcpConnection> connection;
  };
  Connected connectToPeer(TcpConnection::Options options = {}) {
    Connected c{TcpListener::make(), nullptr, nullptr};
    std::thread server([&] { c.peer = c.listener->accept(seconds(10)); });
    auto connection = open("127.0.0.1", c.listener->port(), options);
    const bool ready = events_->waitForState(State::ready);
    server.join();
    EXPECT_TRUE(ready);
    EXPECT_TRUE(c.peer);
    if (ready && c.peer) c.connection = std::move(connection);
    return c;
  }

  std::vector<State> states() {
    std::lock_guard lock(events_->mutex);
    return events_->states;
  }
  TcpError lastError() {
    std::lock_guard lock(events_->mutex);
    return events_->error.value_or(TcpError{});
  }

  std::shared_ptr<SerialQueue> queue_ = SerialQueue::make("com.quarzadel.tests.tcp");
  std::shared_ptr<Events> events_ = std::make_shared<Events>();
};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 31);
  return bytes;
}

TEST_F(TcpConnectionTest, SendsArriveInOrderAndTheCountersAddUp) {
  auto listener = TcpListener::make();
  std::vector<uint8_t> expected;
  std::vector<size_t> sizes;
  for (int i = 0; i < 200; ++i) {
    auto chunk = pattern(1 + (i * 373) % 5000, static_cast<uint8_t>(i));
    sizes.push_back(chunk.size());
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  std::vector<uint8_t> serverGot(expected.size());
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->readExactly(serverGot.data(), serverGot.size(), seconds(10)));
  });
  auto connection = open("127.0.0.1", listener->port());
  std::vector<int> completed;  // on queue_ only
  std::promise<void> allDone;
  // The first sends are made before the connection is ready; they wait for it.
  for (int i = 0, offset = 0; i < 200; offset += sizes[i++])
    connection->send({expected.begin() + offset, expected.begin() + offset + sizes[i]},
                     [&, i](const std::optional<TcpError>& e) {
                       EXPECT_FALSE(e.has_value());
                       completed.push_back(i);
                       if (completed.size() == 200) allDone.set_value();
                     });
  ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  server.join();
  std::vector<int> inOrder(200);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  EXPECT_EQ(completed, inOrder);
  EXPECT_EQ(serverGot, expected);
  EXPECT_EQ(connection->counters().totalBytesOut, expected.size());
  EXPECT_EQ(connection->counters().queuedBytesOut, 0u);
  EXPECT_EQ(states(), (std::vector<State>{State::preparing, State::ready}));
}

using qztest::eventually;

// Until the counters stop moving: a peer that does not read has filled what the kernel takes.
bool settles(const TcpConnection& connection) {
  auto last = connection.counters().totalBytesOut;
  auto since = std::chrono::steady_clock::now();
  return eventually([&] {
    const auto now = connection.counters().totalBytesOut;
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    }
    return now > 0 && std::chrono::steady_clock::now() - since > std::chrono::milliseconds(200);
  });
}

TEST_F(TcpConnectionTest, PriorityBuffersOvertakeQueuedOnesBetweenBuffersAndTheBacklogStaysInTheQueue) {
  constexpr size_t kBuffer = 100000;
  constexpr int kBuffers = 40;
  auto listener = TcpListener::make();
  std::atomic<bool> reading{false};
  std::vector<uint8_t> serverGot(kBuffer * (kBuffers + 1) + 16);
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    ASSERT_TRUE(eventually([&] { return reading.load(); }));
    EXPECT_TRUE(s->readExactly(serverGot.data(), serverGot.size(), seconds(10)));
  });
  auto connection = open("127.0.0.1", listener->port());
  ASSERT_TRUE(events_->waitForState(State::ready));
  std::vector<uint8_t> media;
  for (int i = 1; i <= kBuffers; ++i) {
    connection->send(std::vector<uint8_t>(kBuffer, static_cast<uint8_t>(i)));
    media.insert(media.end(), kBuffer, static_cast<uint8_t>(i));
  }
  ASSERT_TRUE(settles(*connection));
  // The kernel holds little unsent: the backlog is counted where the owner sees it.
  const auto stalled = connection->counters();
  EXPECT_LT(stalled.totalBytesOut, 1'500'000u);
  EXPECT_EQ(stalled.queuedBytesOut, media.size() - stalled.totalBytesOut);

  std::vector<int> completed;  // on queue_ only
  connection->send(std::vector<uint8_t>(8, 0xEE), [&](const auto&) { completed.push_back(-1); },
                   TcpConnection::Lane::priority);
  connection->send(std::vector<uint8_t>(8, 0xEF), [&](const auto&) { completed.push_back(-2); },
                   TcpConnection::Lane::priority);
  connection->send(std::vector<uint8_t>(kBuffer, kBuffers + 1), [&](const auto&) { completed.push_back(1); });
  media.insert(media.end(), kBuffer, static_cast<uint8_t>(kBuffers + 1));
  reading = true;
  server.join();

  const auto control = std::find(serverGot.begin(), serverGot.end(), 0xEE) - serverGot.begin();
  ASSERT_LE(static_cast<size_t>(control) + 16, serverGot.size());
  // At a buffer boundary, after at most the buffer that was being written, in lane order.
  EXPECT_EQ(control % kBuffer, 0u);
  EXPECT_LE(static_cast<size_t>(control), stalled.totalBytesOut + kBuffer);
  std::vector<uint8_t> controls(serverGot.begin() + control, serverGot.begin() + control + 16);
  std::vector<uint8_t> expectedControls(8, 0xEE);
  expectedControls.insert(expectedControls.end(), 8, 0xEF);
  EXPECT_EQ(controls, expectedControls);
  serverGot.erase(serverGot.begin() + control, serverGot.begin() + control + 16);
  EXPECT_EQ(serverGot, media);
  ASSERT_TRUE(eventually([&] {
    bool all = false;
    queue_->sync([&] { all = completed.size() == 3; });
    return all;
  }));
  EXPECT_EQ(completed, (std::vector<int>{-1, -2, 1}));
  EXPECT_EQ(connection->counters().queuedBytesOut, 0u);
  EXPECT_EQ(connection->counters().totalBytesOut, serverGot.size() + 16);
}

TEST_F(TcpConnectionTest, AFailureDuringAWriteFailsItAndEveryQueuedOneAndEmptiesTheQueue) {
  auto listener = TcpListener::make();
  std::atomic<bool> reset{false};
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    ASSERT_TRUE(eventually([&] { return reset.load(); }));
    s->abort();
  });
  auto connection = open("127.0.0.1", listener->port());
  ASSERT_TRUE(events_->waitForState(State::ready));
  std::vector<std::string> failed;  // on queue_ only
  auto record = [&](std::string name) {
    return [&failed, name](const std::optional<TcpError>& e) { failed.push_back(e ? name : name + " written"); };
  };
  // The first one is being written when the peer goes: the kernel took only part of it.
  connection->send(std::vector<uint8_t>(4'000'000, 1), record("large"));
  connection->send(std::vector<uint8_t>(1000, 2), record("media"));
  connection->send(std::vector<uint8_t>(10, 3), record("control"), TcpConnection::Lane::priority);
  reset = true;
  server.join();
  ASSERT_TRUE(events_->waitForState(State::failed));
  ASSERT_TRUE(eventually([&] {
    bool all = false;
    queue_->sync([&] { all = failed.size() == 3; });
    return all;
  }));
  EXPECT_EQ(failed, (std::vector<std::string>{"large", "control", "media"}));
  EXPECT_EQ(connection->counters().queuedBytesOut, 0u);
  connection->cancel();
  queue_->sync([] {});
  EXPECT_EQ(connection->counters().queuedBytesOut, 0u);
  EXPECT_EQ(connection->counters().totalBytesOut, 0u);
}

TEST_F(TcpConnectionTest, ReceivedBlocksNeverExceedTheMaximumAndEndOfStreamComesLast) {
  auto listener = TcpListener::make();
  const auto payload = pattern(100000, 7);
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->write(payload));
    s->shutdownWrite();
    // Half-closed: the client may still talk to us.
    char reply[5] = {};
    EXPECT_TRUE(s->readExactly(reply, 5, seconds(10)));
    EXPECT_EQ(std::string(reply, 5), "thank");
  });
  TcpConnection::Options options;
  options.maxReceiveBlock = 255;
  auto connection = open("127.0.0.1", listener->port(), options);
  ASSERT_TRUE(events_->waitFor([](Events& e) { return e.endOfStream; }));
  connection->send({'t', 'h', 'a', 'n', 'k'});
  server.join();

  std::lock_guard lock(events_->mutex);
  EXPECT_EQ(events_->received, payload);
  EXPECT_LE(events_->largestBlock, 255u);
  EXPECT_FALSE(events_->onWrongQueue);
  EXPECT_EQ(connection->totalBytesIn(), payload.size());
}

TEST_F(TcpConnectionTest, RefusedAndInvalidPortsFailWithoutBeingReady) {
  for (int port : {0, -1, 65536}) {
    events_ = std::make_shared<Events>();
    auto connection = open("127.0.0.1", port);
    ASSERT_TRUE(events_->waitForState(State::failed)) << port;
    EXPECT_EQ(lastError().kind, TcpError::Kind::invalidArgument);
  }
  events_ = std::make_shared<Events>();
  uint16_t closedPort = TcpListener::make()->port();
  auto connection = open("127.0.0.1", closedPort);
  ASSERT_TRUE(events_->waitForState(State::failed));
  EXPECT_EQ(states(), (std::vector<State>{State::preparing, State::failed}));
  EXPECT_EQ(lastError().kind, TcpError::Kind::refused) << lastError().message;
  EXPECT_NE(lastError().message.find(std::to_string(closedPort)), std::string::npos);

  // Later sends report the failure and count nothing.
  std::promise<std::optional<TcpError>> sent;
  connection->send({1, 2, 3}, [&](const std::optional<TcpError>& e) { sent.set_value(e); });
  auto future = sent.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(future.get().has_value());
  EXPECT_EQ(connection->queuedBytesOut() + connection->totalBytesOut(), 0u);
}

TEST_F(TcpConnectionTest, PeerResetFailsTheConnection) {
  auto listener = TcpListener::make();
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    char byte;
    EXPECT_TRUE(s->readExactly(&byte, 1, seconds(10)));
    s->abort();
  });
  auto connection = open("127.0.0.1", listener->port());
  connection->send({42});
  server.join();
  ASSERT_TRUE(events_->waitForState(State::failed));
  EXPECT_EQ(lastError().kind, TcpError::Kind::reset) << lastError().message;
}

// A loopback port that drops connection attempts: a listener whose accept queue
// is full and never drained ignores further SYNs, so connects hang until the
// client gives up. Verified with a probe, since it depends on the kernel.
class BlackholedPort {
 public:
  BlackholedPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 0) != 0) return;
    socklen_t length = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    for (int i = 0; i < 8 && !ok_; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0) ok_ = true;  // this attempt hangs: the port is dropping SYNs
    }
  }
  ~BlackholedPort() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
  bool ok_ = false;
};

TEST_F(TcpConnectionTest, ConnectGivesUpAfterItsTimeOut) {
  BlackholedPort blackhole;
  if (!blackhole.ok()) GTEST_SKIP() << "this kernel answers connects to a full accept queue";
  TcpConnection::Options options;
  options.connectTimeout = milliseconds(300);
  Nanos started = monotonicNow();
  auto connection = open("127.0.0.1", blackhole.port(), options);
  ASSERT_TRUE(events_->waitForState(State::failed, seconds(5)));
  Nanos took = monotonicNow() - started;
  EXPECT_EQ(lastError().kind, TcpError::Kind::timedOut) << lastError().message;
  EXPECT_GE(took, milliseconds(250));
  EXPECT_LT(took, seconds(3));
}

TEST_F(TcpConnectionTest, TheTimeOutAlsoBoundsATlsHandshakeThatNeverEnds) {
  auto listener = TcpListener::make();  // plain TCP: accepts and stays silent
  std::unique_ptr<TcpStream> held;
  std::thread server([&] { held = listener->accept(seconds(10)); });
  TcpConnection::Options options;
  options.tls = true;
  options.connectTimeout = milliseconds(300);
  auto connection = open("localhost", listener->port(), options);
  ASSERT_TRUE(events_->waitForState(State::failed, seconds(5)));
  EXPECT_EQ(lastError().kind, TcpError::Kind::timedOut);
  server.join();
}

class TcpTlsTest : public TcpConnectionTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certs().ok) << "openssl could not make test certificates in " << certs().dir;
    env_.set("SSL_CERT_FILE", certs().caFile.string());
    env_.unset("SSL_CERT_DIR");
  }
  static const TestCertificates& certs() { return TestCertificates::shared(); }

  std::unique_ptr<TcpListener> tlsListener(bool nameOnly = false) {
    TcpListener::Options o;
    o.certificateFile = nameOnly ? certs().nameOnlyCert : certs().serverCert;
    o.privateKeyFile = nameOnly ? certs().nameOnlyKey : certs().serverKey;
    return TcpListener::make(o);
  }

  // Connects and expects the handshake to fail on the client's side.
  void expectRejected(const std::string& host, TcpConnection::Options options, bool nameOnly = false) {
    auto listener = tlsListener(nameOnly);
    std::thread server([&] { listener->accept(seconds(5)); });
    options.tls = true;
    auto connection = open(host, listener->port(), options);
    ASSERT_TRUE(events_->waitForState(State::failed));
    EXPECT_EQ(lastError().kind, TcpError::Kind::tls) << lastError().message;
    const auto seen = states();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), State::ready), 0);
    server.join();
  }

  ScopedEnv env_;
};

TEST_F(TcpTlsTest, VerifiedServerCarriesDataBothWays) {
  for (const std::string host : {"localhost", "127.0.0.1"}) {
    events_ = std::make_shared<Events>();
    auto listener = tlsListener();
    std::thread server([&] {
      auto s = listener->accept(seconds(10));
      ASSERT_TRUE(s);
      char ping[4];
      ASSERT_TRUE(s->readExactly(ping, 4, seconds(10)));
      EXPECT_EQ(std::string(ping, 4), "ping");
      s->write(std::string_view("pong"));
      EXPECT_EQ(s->readToEnd(seconds(10)), (std::vector<uint8_t>{'b', 'y', 'e'}));
    });
    TcpConnection::Options options;
    options.tls = true;
    auto connection = open(host, listener->port(), options);
    connection->send({'p', 'i', 'n', 'g'});
    ASSERT_TRUE(events_->waitFor([](Events& e) { return e.received.size() >= 4; })) << host << ": " << lastError().message;
    {
      std::lock_guard lock(events_->mutex);
      EXPECT_EQ(std::string(events_->received.begin(), events_->received.end()), "pong");
    }
    EXPECT_EQ(connection->totalBytesIn(), 4u);  // payload bytes, not TLS records
    // Once ready and idle, too.
    std::promise<void> written;
    connection->send({'b', 'y', 'e'}, [&](const auto&) { written.set_value(); });
    ASSERT_EQ(written.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(connection->totalBytesOut(), 7u);
    connection->cancel();
    server.join();
  }
}

TEST_F(TcpTlsTest, WrongHostNameOrUntrustedAuthorityIsRejected) {
  expectRejected("127.0.0.1", {}, /*nameOnly=*/true);  // the certificate names "localhost" only
  EXPECT_NE(lastError().message.find("verif"), std::string::npos) << lastError().message;
  events_ = std::make_shared<Events>();
  TcpConnection::Options other;
  other.serverName = "wrong.example";
  expectRejected("localhost", other);
  events_ = std::make_shared<Events>();
  env_.set("SSL_CERT_FILE", certs().otherCaFile.string());
  expectRejected("localhost", {});
}

TEST_F(TcpConnectionTest, CancelStopsEveryCallback) {
  auto listener = TcpListener::make();
  std::atomic<bool> stop{false};
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    ASSERT_TRUE(s);
    const auto chunk = pattern(4096, 1);
    while (!stop && s->write(chunk)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  TcpConnection::Options options;
  options.maxReceiveBlock = 255;
  auto connection = open("127.0.0.1", listener->port(), options);
  ASSERT_TRUE(events_->waitFor([](Events& e) { return e.received.size() > 20000; }));

  bool sendCompleted = false;
  queue_->sync([&] { connection->cancel(); });
  connection->send({1, 2, 3}, [&](const std::optional<TcpError>&) { sendCompleted = true; });
  auto callbacks = [&] {
    std::lock_guard lock(events_->mutex);
    return events_->callbacks;
  };
  const size_t before = callbacks();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  queue_->sync([] {});
  EXPECT_EQ(callbacks(), before);
  EXPECT_FALSE(sendCompleted);
  EXPECT_EQ(connection->state(), State::cancelled);
  EXPECT_EQ(connection->queuedBytesOut(), 0u);
  stop = true;
  server.join();
}

// A peer that has stopped reading while megabytes wait: cancel() ends in order
// behind what the kernel still holds (the peer reads it, then the end), abort()
// resets (once the peer has read what had reached it, its next read fails).
TEST_F(TcpConnectionTest, AbortResetsThePeerWhereCancelEndsBehindTheBacklog) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "abort" : "cancel");
    events_ = std::make_shared<Events>();
    auto link = connectToPeer();
  auto& peer = link.peer;
  auto& connection = link.connection;
    ASSERT_TRUE(connection);
    for (int i = 0; i < 64; ++i) connection->send(pattern(65536, static_cast<uint8_t>(i)));
    ASSERT_TRUE(settles(*connection));
    const uint64_t taken = connection->counters().totalBytesOut;
    reset ? connection->abort() : connection->cancel();
    EXPECT_EQ(connection->state(), State::cancelled);

    uint64_t read = 0;
    long n = 0;
    std::vector<uint8_t> buffer(65536);
    while ((n = peer->read(buffer.data(), buffer.size(), seconds(5))) > 0) read += static_cast<uint64_t>(n);
    if (reset) {
      EXPECT_EQ(n, -1) << "no reset, " << read << " bytes read";
    } else {
      // Everything the kernel took (a write cut short counts only in part).
      EXPECT_EQ(n, 0) << "no orderly end";
      EXPECT_GE(read, taken);
    }
  }
}

TEST_F(TcpConnectionTest, DroppingTheLastReferenceClosesTheConnection) {
  auto listener = TcpListener::make();
  std::promise<std::vector<uint8_t>> serverRead;
  std::thread server([&] {
    auto s = listener->accept(seconds(10));
    serverRead.set_value(s ? s->readToEnd(seconds(10)) : std::vector<uint8_t>{});
  });
  auto connection = open("127.0.0.1", listener->port());
  ASSERT_TRUE(events_->waitForState(State::ready));
  connection->send({'b', 'y', 'e'});
  std::promise<void> written;
  connection->send({}, [&](const auto&) { written.set_value(); });
  ASSERT_EQ(written.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  connection.reset();
  auto f = serverRead.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(f.get(), (std::vector<uint8_t>{'b', 'y', 'e'}));
  server.join();
}

// Bytes that stay with the test, handed over in pieces of `pieceSize`; counts
// its releases so that a test sees each one let go of exactly once.
class PiecesGather final : public TcpConnection::Gather {
 public:
  static TcpConnection::GatherPtr make(std::vector<uint8_t> bytes, size_t pieceSize, std::atomic<int>& releases) {
    return TcpConnection::GatherPtr(new PiecesGather(std::move(bytes), pieceSize, releases));
  }
  size_t size() const override { return bytes_.size(); }
  size_t pieces(size_t offset, std::span<std::span<const uint8_t>> out) const override {
    size_t count = 0;
    for (; count < out.size() && offset < bytes_.size(); ++count, offset += pieceSize_)
      out[count] = std::span<const uint8_t>(bytes_).subspan(offset, std::min(pieceSize_, bytes_.size() - offset));
    return count;
  }
  void release() override {
    ++releases_;
    delete this;
  }

 private:
  PiecesGather(std::vector<uint8_t> bytes, size_t pieceSize, std::atomic<int>& releases)
      : bytes_(std::move(bytes)), pieceSize_(pieceSize), releases_(releases) {}
  ~PiecesGather() = default;
  std::vector<uint8_t> bytes_;
  size_t pieceSize_;
  std::atomic<int>& releases_;
};

// An idle ready connection writes on the sending thread; what the kernel does
// not take is finished on the network thread before anything queued behind it,
// priority ones first.
TEST_F(TcpConnectionTest, AWriteCutShortIsFinishedFirstThenPriorityThenQueuedOnes) {
  auto link = connectToPeer();
  auto& peer = link.peer;
  auto& connection = link.connection;
  ASSERT_TRUE(connection);

  std::vector<std::string> completed;  // on queue_ only
  auto record = [&](std::string name) {
    return [&completed, name](const std::optional<TcpError>& e) { completed.push_back(e ? "failed " + name : name); };
  };
  std::atomic<int> releases{0};
  const auto small = pattern(1000, 1);
  connection->send(small, record("small"));
  // Written before send() returned.
  auto counters = connection->counters();
  EXPECT_EQ(counters.totalBytesOut, small.size());
  EXPECT_EQ(counters.queuedBytesOut, 0u);

  // The peer does not read: the kernel takes only part of this one.
  const auto large = pattern(4'000'000, 2);
  connection->sendGathered(PiecesGather::make(large, 1000, releases), record("large"));
  counters = connection->counters();
  EXPECT_GT(counters.kernel ? counters.kernel->unacknowledged : 0u, 0u);
  EXPECT_EQ(counters.queuedBytesOut, large.size());
  EXPECT_EQ(counters.totalBytesOut, small.size());

  const auto media = pattern(5000, 3);
  const auto gathered = pattern(70000, 4);  // more pieces than one system call takes
  const auto control = pattern(10, 5);
  const auto gatheredControl = pattern(300, 6);
  connection->send(media, record("media"));
  connection->sendGathered(PiecesGather::make(gathered, 7, releases), record("gathered"));
  connection->send(control, record("control"), TcpConnection::Lane::priority);
  connection->sendGathered(PiecesGather::make(gatheredControl, 100, releases), record("gathered control"),
                           TcpConnection::Lane::priority);

  std::vector<uint8_t> expected;
  for (const auto* part : {&small, &large, &control, &gatheredControl, &media, &gathered})
    expected.insert(expected.end(), part->begin(), part->end());
  std::vector<uint8_t> got(expected.size());
  ASSERT_TRUE(peer->readExactly(got.data(), got.size(), seconds(10)));
  EXPECT_TRUE(got == expected);
  ASSERT_TRUE(eventually([&] {
    bool all = false;
    queue_->sync([&] { all = completed.size() == 6; });
    return all;
  }));
  EXPECT_EQ(completed, (std::vector<std::string>{"small", "large", "control", "gathered control", "media", "gathered"}));
  // A source is let go on the network thread just after its completion is posted.
  EXPECT_TRUE(eventually([&] { return releases.load() >= 3; }));
  EXPECT_EQ(releases.load(), 3);
  counters = connection->counters();
  EXPECT_EQ(counters.queuedBytesOut, 0u);
  EXPECT_EQ(counters.totalBytesOut, expected.size());
}

// A message as the concurrent senders frame it: sender, sequence number, length, then the bytes.
std::vector<uint8_t> framed(uint8_t sender, uint32_t sequence, size_t length) {
  std::vector<uint8_t> bytes = pattern(9 + length, static_cast<uint8_t>(sender * 50 + sequence));
  bytes[0] = sender;
  std::memcpy(bytes.data() + 1, &sequence, 4);
  const auto size = static_cast<uint32_t>(length);
  std::memcpy(bytes.data() + 5, &size, 4);
  return bytes;
}

TEST_F(TcpConnectionTest, ConcurrentSendersDeliverEveryByteOnceInTheirOwnOrderAndTheCountersStayConsistent) {
  constexpr int kSenders = 4;
  constexpr uint32_t kMessages = 150;
  TcpConnection::Options options;
  options.unsentLowWater = 4096;  // the kernel takes little: writes are cut short often
  auto link = connectToPeer(options);
  auto& peer = link.peer;
  auto& connection = link.connection;
  ASSERT_TRUE(connection);

  std::atomic<int> releases{0};
  std::atomic<int> gathers{0};
  std::atomic<uint64_t> handed{0};
  std::atomic<bool> sending{true};
  std::atomic<bool> consistent{true};
  // A finished write moves its bytes from queued to total in one step: neither
  // total nor total plus queued ever goes back.
  std::thread watcher([&] {
    uint64_t lastTotal = 0, lastSum = 0;
    while (sending) {
      const auto c = connection->queueCounters();
      if (c.totalBytesOut < lastTotal || c.totalBytesOut + c.queuedBytesOut < lastSum) consistent = false;
      lastTotal = c.totalBytesOut;
      lastSum = c.totalBytesOut + c.queuedBytesOut;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (uint32_t m = 0; m < kMessages; ++m) {
        auto bytes = framed(static_cast<uint8_t>(s), m, (m * 7919 + s * 104729) % 30000);
        handed += bytes.size();
        if (m % 3 == 0) {
          ++gathers;
          connection->sendGathered(PiecesGather::make(std::move(bytes), 1 + m % 700, releases));
        } else {
          connection->send(std::move(bytes));
        }
      }
    });
  }
  // The peer reads unevenly, so that the kernel is full at times.
  std::vector<uint32_t> next(kSenders, 0);
  bool intact = true;
  for (uint32_t read = 0; read < kSenders * kMessages && intact; ++read) {
    uint8_t header[9];
    if (!peer->readExactly(header, 9, seconds(10))) break;
    uint32_t sequence = 0, length = 0;
    std::memcpy(&sequence, header + 1, 4);
    std::memcpy(&length, header + 5, 4);
    std::vector<uint8_t> bytes(9 + length);
    std::memcpy(bytes.data(), header, 9);
    if (!peer->readExactly(bytes.data() + 9, length, seconds(10))) break;
    intact = header[0] < kSenders && sequence == next[header[0]]++ && bytes == framed(header[0], sequence, length);
    if (read % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (auto& t : senders) t.join();
  sending = false;
  watcher.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(next, std::vector<uint32_t>(kSenders, kMessages));
  EXPECT_TRUE(consistent.load());
  ASSERT_TRUE(eventually([&] { return connection->queueCounters().queuedBytesOut == 0; }));
  EXPECT_EQ(connection->totalBytesOut(), handed.load());
  // The last source is let go just after its bytes are counted.
  EXPECT_TRUE(eventually([&] { return releases.load() >= gathers.load(); }));
  EXPECT_EQ(releases.load(), gathers.load());
}

// Senders on other threads go on while the owner cancels: nothing they send
// after cancel() returned reaches the peer, and every source is let go of.
TEST_F(TcpConnectionTest, CancelFromAnotherThreadStopsEveryWriteOfTheSendersThatGoOn) {
  constexpr uint8_t kAfterCancel = 0xFF;
  auto link = connectToPeer();
  auto& peer = link.peer;
  auto& connection = link.connection;
  ASSERT_TRUE(connection);

  std::atomic<bool> cancelled{false};
  std::atomic<int> sendsAfterCancel{0};
  std::atomic<bool> stop{false};
  std::atomic<int> completions{0};
  std::atomic<int> releases{0};
  std::atomic<int> gathers{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < 3; ++s) {
    senders.emplace_back([&, s] {
      for (int m = 0; !stop; ++m) {
        const bool after = cancelled.load();
        sendsAfterCancel += after;
        std::vector<uint8_t> bytes(1000 + (m * 4099) % 60000, after ? kAfterCancel : static_cast<uint8_t>(s));
        if (m % 2) {
          ++gathers;
          connection->sendGathered(PiecesGather::make(std::move(bytes), 512, releases),
                                   [&](const auto&) { ++completions; });
        } else {
          connection->send(std::move(bytes), [&](const auto&) { ++completions; },
                           m % 5 ? TcpConnection::Lane::normal : TcpConnection::Lane::priority);
        }
      }
    });
  }
  // The peer does not read: writes are under way and queued when the owner cancels.
  EXPECT_TRUE(eventually([&] { return connection->queueCounters().queuedBytesOut > 4'000'000; }));
  queue_->sync([&] {
    connection->cancel();
    // No completion runs from here on.
    completions = 0;
  });
  cancelled = true;
  EXPECT_TRUE(eventually([&] { return connection->queueCounters().queuedBytesOut == 0; }));
  const uint64_t total = connection->totalBytesOut();
  EXPECT_TRUE(eventually([&] { return sendsAfterCancel > 100; }));
  stop = true;
  for (auto& t : senders) t.join();
  queue_->sync([] {});

  const auto got = peer->readToEnd(seconds(10));
  EXPECT_EQ(std::count(got.begin(), got.end(), kAfterCancel), 0);
  EXPECT_GE(got.size(), total);
  EXPECT_EQ(completions.load(), 0);
  EXPECT_EQ(connection->queueCounters().queuedBytesOut, 0u);
  EXPECT_EQ(connection->totalBytesOut(), total);
  connection.reset();
  EXPECT_TRUE(eventually([&] { return releases.load() == gathers.load(); }));
}

}  // namespace
}  // namespace platform
