#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Eventually.h"
#include "Logwell/LWLogger.h"
#include "Logwell/SocketAppender.h"
#include "Platform/Net/TcpListener.h"

namespace logwell {
namespace {

using namespace std::chrono_literals;

using qztest::eventually;

struct Connected {
  std::unique_ptr<platform::TcpListener> listener = platform::TcpListener::make();
  std::shared_ptr<SocketAppender> appender = std::make_shared<SocketAppender>();
  std::unique_ptr<platform::TcpStream> peer;

  void open() {
    appender->connect("127.0.0.1", listener->port());
    peer = listener->accept(platform::seconds(5));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(eventually([&] { return appender->socket()->connected(); }));
  }
};

TEST(SocketAppenderTest, RecordsFromManyThreadsArriveWholeAndInOrderPerThread) {
  Connected c;
  LWLogger logger("test.socket");
  logger.setAppender(c.appender);
  // Written with nothing to send it on. Writes take their turn on the output
  // queue, so it is dropped unless the connection opened before its turn.
  logger.error({"before the connection"}, "f", "fn", 1);
  c.open();

  constexpr int kThreads = 4, kPerThread = 100;
  const std::string bulk(3000, 'x');  // large records are written in several parts
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) logger.info({"t" + std::to_string(t), "n" + std::to_string(i), bulk}, "/src/Appender.cpp", "run()", i);
    });
  for (auto& th : threads) th.join();

  std::vector<int> next(kThreads, 0);
  for (int received = 0; received < kThreads * kPerThread; ++received) {
    std::string wire = c.peer->readUntil("\r\n\r\n", platform::seconds(10), 1 << 20);
    ASSERT_FALSE(wire.empty()) << "after " << received << " records";
    auto record = LWLogRecord::parse(wire.substr(0, wire.size() - 4));
    ASSERT_TRUE(record);
    if (received == 0 && record->message == "before the connection") {
      --received;
      continue;
    }
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(record->message.c_str(), "t%d n%d", &t, &n), 2) << record->message.substr(0, 40);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(n, next[t]++);
    EXPECT_EQ(record->message.size(), ("t" + std::to_string(t) + " n" + std::to_string(n) + " ").size() + bulk.size());
  }
}

TEST(SocketAppenderTest, PeerBytesAreKeptAndItsEndClosesTheConnection) {
  Connected c;
  c.open();
  std::string hello(100000, 'h');
  ASSERT_TRUE(c.peer->write(hello));
  EXPECT_TRUE(eventually([&] { return c.appender->socket()->inputBuffer().size() == hello.size(); }));
  c.peer->shutdownWrite();
  EXPECT_TRUE(eventually([&] { return !c.appender->socket()->connected(); }));
  // Writes after the end go nowhere and do not fail.
  LWLogger logger("test.socket.end");
  logger.setAppender(c.appender);
  logger.error({"after"}, "f", "fn", 1);
  c.appender->close();  // closing twice is harmless
}

TEST(SocketAppenderTest, OpeningIsBoundedByTheTimeOut) {
  // A TLS opening against a peer that never answers the handshake.
  auto listener = platform::TcpListener::make();
  auto socket = NetSocket::make();
  socket->setSecurityLevel(NetSocket::SecurityLevel::tls);
  socket->setTimeout(1);
  auto started = std::chrono::steady_clock::now();
  socket->connect("127.0.0.1", listener->port());
  auto peer = listener->accept(platform::seconds(5));
  ASSERT_TRUE(peer);
  char buffer[4096];
  long n;
  // The client hello arrives, then the client gives up and closes.
  while ((n = peer->read(buffer, sizeof buffer, platform::seconds(8))) > 0) {
  }
  EXPECT_EQ(n, 0) << "the opening was never abandoned";
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  EXPECT_FALSE(socket->connected());
}

TEST(SocketAppenderTest, ASecondConnectWaitsForTheFirstConnectionToEnd) {
  Connected c;
  c.open();
  auto second = platform::TcpListener::make();
  c.appender->connect("127.0.0.1", second->port());
  EXPECT_FALSE(second->accept(platform::milliseconds(300)));
  c.appender->close();
  auto peer = second->accept(platform::seconds(5));
  ASSERT_TRUE(peer);
  EXPECT_TRUE(eventually([&] { return c.appender->socket()->connected(); }));
  LWLogger logger("test.socket.second");
  logger.setAppender(c.appender);
  logger.warn({"on the second"}, "f", "fn", 2);
  std::string wire = peer->readUntil("\r\n\r\n", platform::seconds(5));
  auto record = LWLogRecord::parse(wire.substr(0, wire.size() - 4));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->message, "on the second");
}

}  // namespace
}  // namespace logwell
