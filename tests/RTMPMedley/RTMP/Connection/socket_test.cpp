#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "ConnectionTestSupport.h"
#include "Platform/Net/TcpListener.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"

using namespace rtmptest;
using rtmpmedley::RTMPSocket;
using platform::seconds;
using SocketError = RTMPSocket::Error;

namespace {

std::vector<uint8_t> pattern() {
  std::vector<uint8_t> b(1000);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

class SocketTest : public RealTimeTest<> {
 protected:
  std::shared_ptr<RTMPSocket> makeSocket(bool tls = false) {
    return std::make_shared<RTMPSocket>(
        platform::QualityOfService::userInitiated,
        tls ? RTMPSocket::SecurityLevel::negotiatedSSL : RTMPSocket::SecurityLevel::none, rt);
  }
  std::optional<SocketError> connectError(const std::shared_ptr<RTMPSocket>& socket, const std::string& host,
                                          int port) {
    try {
      wait(socket->connect(host, port));
    } catch (const SocketError& e) {
      return e;
    }
    return std::nullopt;
  }
};

}  // namespace

TEST_F(SocketTest, CarriesBytesBothWaysAndCountsThem) {
  auto listener = platform::TcpListener::make();
  std::vector<uint8_t> fromClient(5000);
  std::thread server([&] {
    auto stream = listener->accept(seconds(10));
    ASSERT_TRUE(stream);
    stream->write(pattern());
    ASSERT_TRUE(stream->readExactly(fromClient.data(), fromClient.size(), seconds(10)));
    stream->shutdownWrite();
    stream->readToEnd(seconds(10));
  });
  auto socket = makeSocket();
  socket->send(medley::Data(10, 1));  // not connected: dropped, not counted
  EXPECT_EQ(wait(socket->makeNetworkTransportReport()), (medley::NetworkTransportReport{0, 0, 0}));

  wait(socket->connect("127.0.0.1", listener->port()));
  EXPECT_TRUE(wait(socket->connected()));
  EXPECT_EQ(connectError(socket, "127.0.0.1", listener->port())->kind(), SocketError::Kind::invalidState);
  auto received = wait(socket->recv());
  socket->send(medley::Data(5000, 7));

  auto blocks = std::make_shared<std::vector<medley::Data>>();
  wait([](platform::AsyncStream<medley::Data> s, std::shared_ptr<std::vector<medley::Data>> out) -> Async<void> {
    while (auto block = co_await s.next()) out->push_back(std::move(*block));
  }(std::move(received), blocks));
  // The peer finished: the sequence ended after everything it sent.
  medley::Data all;
  for (const auto& b : *blocks) {
    EXPECT_LE(b.size(), RTMPSocket::kWindowSizeC);
    all.insert(all.end(), b.begin(), b.end());
  }
  EXPECT_EQ(all, pattern());
  ASSERT_TRUE(eventually([&] { return wait(socket->makeNetworkTransportReport()).totalBytesOut == 5000; }));
  EXPECT_EQ(wait(socket->makeNetworkTransportReport()), (medley::NetworkTransportReport{0, 1000, 5000}));

  wait(socket->close());
  server.join();
  EXPECT_EQ(fromClient, medley::Data(5000, 7));
  socket->send(medley::Data(10, 1));
  EXPECT_FALSE(wait(socket->connected()));
  EXPECT_EQ(wait(socket->makeNetworkTransportReport()), (medley::NetworkTransportReport{0, 1000, 5000}));
}

TEST_F(SocketTest, RefusedAndImpossibleConnectsFailWithoutConnecting) {
  uint16_t closedPort = 0;
  {
    auto listener = platform::TcpListener::make();
    closedPort = listener->port();
  }
  auto socket = makeSocket();
  auto refused = connectError(socket, "127.0.0.1", closedPort);
  ASSERT_TRUE(refused && refused->networkError());
  EXPECT_EQ(refused->kind(), SocketError::Kind::connectionNotEstablished);
  EXPECT_EQ(refused->networkError()->kind, platform::TcpError::Kind::refused);
  for (int port : {0, -1, 65536}) {
    auto invalid = connectError(socket, "127.0.0.1", port);
    ASSERT_TRUE(invalid) << port;
    EXPECT_EQ(invalid->networkError()->kind, platform::TcpError::Kind::invalidArgument);
  }
  // A failed socket can connect again.
  auto listener = platform::TcpListener::make();
  std::thread server([&] { auto s = listener->accept(seconds(10)); });
  wait(socket->connect("127.0.0.1", listener->port()));
  server.join();
}

TEST(SocketTimingTest, ConnectThatNeverBecomesReadyTimesOut) {
  auto rt = platform::VirtualRuntime::make();
  auto listener = platform::TcpListener::make();
  std::atomic<bool> closedByClient{false};
  std::atomic<bool> accepted{false};
  std::thread server([&] {
    auto stream = listener->accept(seconds(10));
    ASSERT_TRUE(stream);
    accepted = true;
    const auto begin = std::chrono::steady_clock::now();
    stream->readToEnd(seconds(20));
    closedByClient = std::chrono::steady_clock::now() - begin < std::chrono::seconds(15);
  });
  auto socket = std::make_shared<RTMPSocket>(platform::QualityOfService::userInitiated,
                                             RTMPSocket::SecurityLevel::tlsv1, rt);
  auto connect = platform::spawn(rt->globalQueue(), socket->connect("127.0.0.1", listener->port()));
  // The TLS handshake has begun (and will never end) before time moves.
  ASSERT_TRUE(pumpUntil(rt, [&] { return accepted.load(); }));
  pumpFor(rt, platform::milliseconds(20));
  rt->advance(seconds(15) - 1);
  pumpFor(rt, platform::milliseconds(20));
  EXPECT_FALSE(connect.isFinished());
  rt->advance(1);
  ASSERT_TRUE(pumpUntil(rt, [&] { return connect.isFinished(); }));
  try {
    connect.result();
    ADD_FAILURE() << "connected";
  } catch (const SocketError& e) {
    EXPECT_EQ(e.kind(), SocketError::Kind::connectionTimedOut);
  }
  server.join();
  EXPECT_TRUE(closedByClient);
  socket.reset();
  pumpFor(rt, platform::milliseconds(50));
}

namespace {

// A peer that reads what the socket sends at a pace the test sets: every read
// takes at most `block` bytes and is followed by `pause`; a stall stops reading.
class PacedReader {
 public:
  PacedReader(size_t block, std::chrono::milliseconds pause) : block_(block), pause_(pause) {
    thread_ = std::thread([this] { run(); });
  }
  ~PacedReader() {
    done_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_->port(); }
  void stall() { stalled_ = true; }
  void setPause(std::chrono::milliseconds pause) { pause_ = pause; }
  size_t bytesRead() const { return bytesRead_; }
  // When `marker` was first read, if it was.
  std::optional<std::chrono::steady_clock::time_point> markerSeen(uint8_t marker) const {
    std::lock_guard lock(mutex_);
    const auto it = std::find(received_.begin(), received_.end(), marker);
    if (it == received_.end()) return std::nullopt;
    return readAt_.lower_bound(static_cast<size_t>(it - received_.begin()) + 1)->second;
  }
  std::vector<uint8_t> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void run() {
    auto stream = listener_->accept(seconds(10));
    if (!stream) return;
    std::vector<uint8_t> buffer(block_);
    while (!done_) {
      if (stalled_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      const long n = stream->read(buffer.data(), buffer.size(), platform::milliseconds(20));
      if (n == 0) return;
      if (n < 0) continue;
      {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
        readAt_[received_.size()] = std::chrono::steady_clock::now();
      }
      bytesRead_ += static_cast<size_t>(n);
      std::this_thread::sleep_for(pause_.load());
    }
  }

  std::unique_ptr<platform::TcpListener> listener_ = platform::TcpListener::make();
  const size_t block_;
  std::atomic<std::chrono::milliseconds> pause_;
  std::atomic<bool> stalled_{false};
  std::atomic<bool> done_{false};
  std::atomic<size_t> bytesRead_{0};
  mutable std::mutex mutex_;
  std::vector<uint8_t> received_;
  // Bytes read so far -> when the read that reached that count ended.
  std::map<size_t, std::chrono::steady_clock::time_point> readAt_;
  std::thread thread_;
};

}  // namespace

// A peer that falls behind shows as a growing queue within moments, and the
// monitor warns from the real socket's figures.
class SocketBacklogTest : public SocketTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketBacklogTest, APeerThatFallsBehindShowsInTheQueueAtOnceAndTheMonitorWarns) {
  const bool stops = GetParam();
  PacedReader peer(16 * 1024, std::chrono::milliseconds(0));
  auto socket = makeSocket();
  wait(socket->connect("127.0.0.1", peer.port()));
  auto monitor = wait(socket->makeNetworkMonitor());
  auto events = wait(monitor->event());
  auto collected = std::make_shared<std::vector<medley::NetworkMonitorEvent>>();
  auto collectedMutex = std::make_shared<std::mutex>();
  auto collector = platform::spawn(
      rt->globalQueue(),
      [](platform::AsyncStream<medley::NetworkMonitorEvent> s, std::shared_ptr<std::vector<medley::NetworkMonitorEvent>> out,
         std::shared_ptr<std::mutex> m) -> Async<void> {
        while (auto event = co_await s.next()) {
          std::lock_guard lock(*m);
          out->push_back(*event);
        }
      }(std::move(events), collected, collectedMutex));
  wait(monitor->startRunning());

  // A steady 1.6 MB/s, as an encoder makes it, from its own thread.
  std::atomic<bool> publishing{true};
  std::thread publisher([&] {
    while (publishing) {
      socket->send(medley::Data(16 * 1024, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  auto report = [&] { return wait(socket->makeNetworkTransportReport()); };
  // Flowing: the kernel's buffers have grown to what this rate needs.
  ASSERT_TRUE(eventually([&] { return peer.bytesRead() > 2'000'000; }));
  // Stops reading, or reads at half the rate.
  if (stops)
    peer.stall();
  else
    peer.setPause(std::chrono::milliseconds(20));
  const auto stalledAt = std::chrono::steady_clock::now();
  // Not a passing burst: what the kernel does not take shows, and keeps growing.
  ASSERT_TRUE(eventually([&] { return report().queueBytesOut > 512 * 1024; }));
  EXPECT_LT(std::chrono::steady_clock::now() - stalledAt, std::chrono::seconds(2));

  auto warned = [&] {
    std::lock_guard lock(*collectedMutex);
    return std::any_of(collected->begin(), collected->end(), [](const auto& e) {
      return e.kind() == medley::NetworkMonitorEvent::Kind::publishInsufficientBWOccured;
    });
  };
  // Three growing samples, a second apart, after the queue starts growing.
  ASSERT_TRUE(eventually(warned, seconds(6)));
  EXPECT_LT(std::chrono::steady_clock::now() - stalledAt, std::chrono::seconds(4));

  publishing = false;
  publisher.join();
  wait(monitor->stopRunning());
  wait(socket->close());
  collector.result();
}

INSTANTIATE_TEST_SUITE_P(StopsOrSlows, SocketBacklogTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Stops" : "ReadsSlowly"; });

TEST_F(SocketTest, AControlBufferOvertakesMegabytesOfMediaQueuedBehindASlowReader) {
  // About 1.6 MB/s: the 4 MB queued below would take 2.5 s to drain in order.
  PacedReader peer(16 * 1024, std::chrono::milliseconds(10));
  auto socket = makeSocket();
  wait(socket->connect("127.0.0.1", peer.port()));
  constexpr size_t kMessage = 64 * 1024;
  medley::Data media;
  for (uint8_t i = 1; i <= 64; ++i) {
    socket->send(medley::Data(kMessage, i));
    media.insert(media.end(), kMessage, i);
  }
  ASSERT_TRUE(eventually([&] { return peer.bytesRead() > 256 * 1024; }));
  EXPECT_GT(wait(socket->makeNetworkTransportReport()).queueBytesOut, 3'000'000);
  const auto sentAt = std::chrono::steady_clock::now();
  socket->send(medley::Data(6, 0xEE), rtmpmedley::RTMPSendLane::control);
  ASSERT_TRUE(eventually([&] { return peer.markerSeen(0xEE).has_value(); }));
  // The message being written, then what the kernel and the peer hold: well under a second.
  EXPECT_LT(*peer.markerSeen(0xEE) - sentAt, std::chrono::milliseconds(1000));

  peer.setPause(std::chrono::milliseconds(0));
  ASSERT_TRUE(eventually([&] { return peer.bytesRead() == media.size() + 6; }));
  auto received = peer.received();
  const auto at = std::find(received.begin(), received.end(), 0xEE) - received.begin();
  EXPECT_EQ(at % kMessage, 0u);  // between two messages, never inside one
  received.erase(received.begin() + at, received.begin() + at + 6);
  EXPECT_EQ(received, media);
  wait(socket->close());
}
