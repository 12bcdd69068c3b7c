// The socket under the connection, against local peers on real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ConnectionTestSupport.h"
#include "Logwell/ScopedLogCapture.h"
#include "Platform/Net/TcpListener.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

using namespace rtmptest;
using rtmpmedley::RTMPSocket;
using platform::seconds;
using SocketError = RTMPSocket::Error;
using Report = medley::NetworkTransportReport;

namespace {

std::shared_ptr<RTMPSocket> makeSocket(std::shared_ptr<platform::Runtime> rt, bool tls = false) {
  return std::make_shared<RTMPSocket>(platform::QualityOfService::userInitiated,
                                      tls ? RTMPSocket::SecurityLevel::tlsv1 : RTMPSocket::SecurityLevel::none,
                                      std::move(rt));
}

using SocketTest = RealTimeTest<>;

}  // namespace

namespace rtmpmedley {

// What the connection reports that a local peer cannot make it report.
struct RTMPSocketEvents {
  static Async<void> viabilityChanged(std::shared_ptr<RTMPSocket> socket, bool viable) {
    co_await socket->hop();
    socket->viabilityDidChange(viable);
  }
};

}  // namespace rtmpmedley

using rtmpmedley::RTMPSocketEvents;

TEST(SocketTimingTest, AHandshakeThatNeverEndsTimesOutAndClosesTheConnection) {
  auto rt = platform::VirtualRuntime::make();
  auto listener = platform::TcpListener::make();
  std::atomic<bool> accepted{false}, closedByClient{false};
  std::thread server([&] {
    auto stream = listener->accept(seconds(10));
    ASSERT_TRUE(stream);
    accepted = true;
    const auto begin = std::chrono::steady_clock::now();
    stream->readToEnd(seconds(20));
    closedByClient = std::chrono::steady_clock::now() - begin < std::chrono::seconds(15);
  });
  auto socket = makeSocket(rt, true);
  auto connect = platform::spawn(rt->globalQueue(), socket->connect("127.0.0.1", listener->port()));
  // Runs the network's jobs too; virtual time stands still.
  auto pump = [&](auto done, platform::Nanos timeout) { return eventually([&] { rt->runUntilIdle(); return done(); }, timeout); };
  // The TLS handshake has begun (and will never end) before time moves.
  ASSERT_TRUE(pump([&] { return accepted.load(); }, seconds(10)));
  pump([] { return false; }, platform::milliseconds(20));
  rt->advance(seconds(15) - 1);
  pump([] { return false; }, platform::milliseconds(20));
  EXPECT_FALSE(connect.isFinished());
  rt->advance(1);
  ASSERT_TRUE(pump([&] { return connect.isFinished(); }, seconds(10)));
  EXPECT_EQ(errorOf<SocketError>(connect)->kind(), SocketError::Kind::connectionTimedOut);
  server.join();
  EXPECT_TRUE(closedByClient);
  socket.reset();
  pump([] { return false; }, platform::milliseconds(50));
}

// A peer that falls behind shows as a growing queue within moments, and the
// monitor warns from the real socket's figures.
class SocketBacklogTest : public SocketTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketBacklogTest, APeerThatFallsBehindShowsInTheQueueAtOnceAndTheMonitorWarns) {
  // The peer reads in blocks of 16 KiB: freely, then at half the rate or not at all.
  enum class Pace { free, half, stopped };
  std::atomic<Pace> pace{Pace::free};
  std::atomic<size_t> bytesRead{0};
  auto listener = platform::TcpListener::make();
  std::jthread peer([&](std::stop_token stop) {
    auto stream = listener->accept(seconds(10));
    std::vector<uint8_t> buffer(16 * 1024);
    while (stream && !stop.stop_requested()) {
      if (pace == Pace::stopped) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      const long n = stream->read(buffer.data(), buffer.size(), platform::milliseconds(20));
      if (n == 0) return;
      if (n > 0) bytesRead += static_cast<size_t>(n);
      if (pace == Pace::half) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  auto socket = makeSocket(rt);
  wait(socket->connect("127.0.0.1", listener->port()));
  auto monitor = wait(socket->makeNetworkMonitor());
  Collected<medley::NetworkMonitorEvent> events(rt->globalQueue(), wait(monitor->event()));
  wait(monitor->startRunning());

  // A steady 1.6 MB/s, as an encoder makes it, from its own thread.
  std::jthread publisher([&](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      socket->send(medley::Data(16 * 1024, 1));
  });
  // Flowing: the kernel's buffers have grown to what this rate needs.
  ASSERT_TRUE(eventually([&] { return bytesRead > 2'000'000; }));
  pace = GetParam() ? Pace::stopped : Pace::half;
  const auto stalledAt = std::chrono::steady_clock::now();
  // Not a passing burst: what the kernel does not take shows, and keeps growing.
  ASSERT_TRUE(eventually([&] { return wait(socket->makeNetworkTransportReport()).queueBytesOut > 512 * 1024; }));
  EXPECT_LT(std::chrono::steady_clock::now() - stalledAt, std::chrono::seconds(2));
  // Three growing samples, a second apart, after the queue starts growing.
  ASSERT_TRUE(eventually([&] {
    const auto values = events.values();
    return std::any_of(values.begin(), values.end(), [](const auto& e) {
      return e.kind() == medley::NetworkMonitorEvent::Kind::publishInsufficientBWOccured;
    });
  }, seconds(6)));
  EXPECT_LT(std::chrono::steady_clock::now() - stalledAt, std::chrono::seconds(4));

  publisher.request_stop();
  publisher.join();
  wait(monitor->stopRunning());
  wait(socket->close());
}

INSTANTIATE_TEST_SUITE_P(StopsOrSlows, SocketBacklogTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Stops" : "ReadsSlowly"; });

// A peer whose program stops reading while its kernel still takes bytes into
// its buffer: what counts as sent stops at once when the peer tells how far it
// read, and when the buffer is full when it never does; the rest shows as queued.
class SocketPeerReadTest : public SocketTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketPeerReadTest, BytesThePeersProgramDidNotTakeCountAsQueuedNotSent) {
  const bool tells = GetParam();
  std::atomic<bool> reading{true};
  std::atomic<uint64_t> bytesRead{0};
  auto listener = platform::TcpListener::make();
  auto socket = makeSocket(rt);
  std::jthread peer([&](std::stop_token stop) {
    auto stream = listener->accept(seconds(10));
    std::vector<uint8_t> buffer(16 * 1024);
    while (stream && !stop.stop_requested()) {
      if (!reading) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      const long n = stream->read(buffer.data(), buffer.size(), platform::milliseconds(20));
      if (n == 0) return;
      if (n <= 0) continue;
      // What an RTMP server's acknowledgement says, every window read.
      const uint64_t before = bytesRead.fetch_add(static_cast<uint64_t>(n));
      if (tells && (before + static_cast<uint64_t>(n)) / 16384 != before / 16384) socket->peerRead(before + n, 16384);
    }
  });
  wait(socket->connect("127.0.0.1", listener->port()));
  std::atomic<uint64_t> handedOver{0};
  std::jthread publisher([&](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      socket->send(medley::Data(16 * 1024, 1));
      handedOver += 16 * 1024;
    }
  });
  auto report = [&] { return wait(socket->makeNetworkTransportReport()); };
  ASSERT_TRUE(eventually([&] { return bytesRead > 1'000'000; }));
  // Flowing: what counts as sent keeps up with what the peer read, and grew just now.
  report();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Report flowing = report();
  EXPECT_GE(flowing.totalBytesOut + 256 * 1024, static_cast<int64_t>(bytesRead.load()));
  EXPECT_LT(flowing.queueBytesOut, 256 * 1024);
  ASSERT_TRUE(flowing.outputAt);
  EXPECT_GE(*flowing.outputAt, rt->now() - platform::milliseconds(150));

  const platform::Nanos stoppedAt = rt->now();
  reading = false;
  // The next report comes well after the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // It stops: two reports half a second apart agree, and the queue grows meanwhile.
  Report first, second;
  ASSERT_TRUE(eventually([&] {
    first = report();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    second = report();
    return second.totalBytesOut == first.totalBytesOut && second.queueBytesOut > first.queueBytesOut;
  }, seconds(20)));
  EXPECT_EQ(second.outputAt, first.outputAt);
  if (tells) {
    // No more than the window and the slack beyond what the peer read, and
    // the output stopped about when the peer last told, not at a later report.
    EXPECT_LE(static_cast<uint64_t>(second.totalBytesOut), bytesRead + 16384 + RTMPSocket::kPeerReadSlack);
    EXPECT_LT(*second.outputAt, stoppedAt + platform::milliseconds(250));
  }
  EXPECT_GT(*second.outputAt, *flowing.outputAt - platform::milliseconds(1));
  // Everything handed over is either sent or queued.
  publisher.request_stop();
  publisher.join();
  const Report last = report();
  EXPECT_EQ(static_cast<uint64_t>(last.totalBytesOut + last.queueBytesOut), handedOver.load());
  EXPECT_GE(last.totalBytesOut, second.totalBytesOut);
  wait(socket->close());
}

INSTANTIATE_TEST_SUITE_P(PeerTellsOrNot, SocketPeerReadTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ItsProgramTells" : "OnlyItsKernel"; });

// A path to the peer that is lost closes the socket: the received sequence
// ends, and each change is one line with one blank between its words.
TEST_F(SocketTest, ALostPathClosesTheSocketAndEachChangeIsLoggedInPlainWords) {
  logwell::testing::ScopedLogCapture log(rtmpmedley::logger(), logwell::LWLogLevel::info);
  auto listener = platform::TcpListener::make();
  std::thread peer([&] {
    if (auto stream = listener->accept(seconds(10))) stream->readToEnd(seconds(10));
  });
  auto socket = makeSocket(rt);
  wait(socket->connect("127.0.0.1", listener->port()));
  Collected<medley::Data> received(rt->globalQueue(), wait(socket->recv()));
  wait(RTMPSocketEvents::viabilityChanged(socket, true));
  EXPECT_TRUE(wait(socket->connected()));
  wait(RTMPSocketEvents::viabilityChanged(socket, false));
  EXPECT_FALSE(wait(socket->connected()));
  EXPECT_TRUE(eventually([&] { return received.ended(); }));
  peer.join();
  std::vector<std::string> lines;
  for (const auto& line : log.lines(logwell::LWLogLevel::info))
    if (line.find("viability") != std::string::npos) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"Connection viability changed to true",
                                             "Connection viability changed to false"}));
}
