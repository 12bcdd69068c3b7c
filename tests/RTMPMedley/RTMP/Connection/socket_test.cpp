#include <gtest/gtest.h>

#include <thread>

#include "ConnectionTestSupport.h"
#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"

using namespace rtmptest;
using rtmpmedley::RTMPSocket;
using platform::blockingWait;
using platform::seconds;
using SocketError = RTMPSocket::Error;

namespace {

std::vector<uint8_t> pattern() {
  std::vector<uint8_t> b(1000);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

class SocketTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ThreadRuntime> rt = std::make_shared<platform::ThreadRuntime>(2);

  std::shared_ptr<RTMPSocket> makeSocket(bool tls = false) {
    return std::make_shared<RTMPSocket>(
        platform::QualityOfService::userInitiated,
        tls ? RTMPSocket::SecurityLevel::negotiatedSSL : RTMPSocket::SecurityLevel::none, rt);
  }
  template <class T>
  T wait(Async<T> work) {
    return blockingWait(std::move(work), rt->globalQueue());
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
  EXPECT_EQ(fromClient, medley::Data(5000, 7));
  ASSERT_TRUE(eventually([&] { return wait(socket->makeNetworkTransportReport()).totalBytesOut == 5000; }));
  EXPECT_EQ(wait(socket->makeNetworkTransportReport()), (medley::NetworkTransportReport{0, 1000, 5000}));

  wait(socket->close());
  server.join();
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

TEST_F(SocketTest, VerifiesTheServerNameOverTls) {
  const auto& certs = platform::testing::TestCertificates::shared();
  ASSERT_TRUE(certs.ok);
  platform::testing::ScopedEnv env;
  env.set("SSL_CERT_FILE", certs.caFile.string());
  platform::TcpListener::Options options;
  options.certificateFile = certs.nameOnlyCert;
  options.privateKeyFile = certs.nameOnlyKey;
  auto listener = platform::TcpListener::make(options);
  std::thread server([&] {
    auto good = listener->accept(seconds(10));
    ASSERT_TRUE(good);
    good->write(std::string("hi"));
    listener->accept(seconds(3));  // the second client gives up in its TLS handshake
  });
  auto socket = makeSocket(true);
  wait(socket->connect("localhost", listener->port()));
  auto received = wait(socket->recv());
  auto first = wait([](platform::AsyncStream<medley::Data> s) -> Async<std::optional<medley::Data>> {
    co_return co_await s.next();
  }(received));
  EXPECT_EQ(first, medley::Data({'h', 'i'}));
  wait(socket->close());

  // The certificate names localhost only.
  auto wrongName = connectError(makeSocket(true), "127.0.0.1", listener->port());
  ASSERT_TRUE(wrongName && wrongName->networkError());
  EXPECT_EQ(wrongName->networkError()->kind, platform::TcpError::Kind::tls);
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
