// Chunks written from the payload where it lies: a real connection carries
// them unchanged over TCP and TLS, whichever way each message was handed over.
#include <gtest/gtest.h>

#include <thread>

#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::pattern;

class ChunkWriteOverSocketTest : public rtmptest::RealTimeTest<>, public ::testing::WithParamInterface<bool> {};

TEST_P(ChunkWriteOverSocketTest, MessagesArriveAsTheirChunksWhicheverWayTheyAreHandedOver) {
  const bool tls = GetParam();
  platform::testing::ScopedEnv env;
  platform::TcpListener::Options options;
  if (tls) {
    const auto& certs = platform::testing::TestCertificates::shared();
    ASSERT_TRUE(certs.ok);
    env.set("SSL_CERT_FILE", certs.caFile.string());
    options.certificateFile = certs.nameOnlyCert;
    options.privateKeyFile = certs.nameOnlyKey;
  }
  auto listener = platform::TcpListener::make(options);

  // Large pieces in place, a copied message, a raw buffer, chunks too small to
  // gather, and one message of many write requests (and TLS blocks).
  RTMPChunkBuffer out;
  Bytes expected;
  auto socket = std::make_shared<RTMPSocket>(
      platform::QualityOfService::userInitiated,
      tls ? RTMPSocket::SecurityLevel::negotiatedSSL : RTMPSocket::SecurityLevel::none, rt);
  Bytes received;
  std::thread server([&] {
    auto stream = listener->accept(platform::seconds(10));
    ASSERT_TRUE(stream);
    received = stream->readToEnd(platform::seconds(20));
  });
  wait(socket->connect(tls ? "localhost" : "127.0.0.1", listener->port()));

  auto send = [&](uint32_t chunkSize, std::shared_ptr<const RTMPMessage> message, bool owned) {
    out.setChunkSize(chunkSize);
    const auto bytes = out.putMessage(RTMPChunkType::zero, 5, *message);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    if (owned)
      socket->send(out.chunk(RTMPChunkType::zero, 5, std::move(message)));
    else
      socket->send(out.chunk(RTMPChunkType::zero, 5, *message));
  };
  auto big = std::make_shared<RTMPVideoMessage>(1, 0xFFFFFF + 1, pattern(3'000'000, 9));
  std::weak_ptr<RTMPVideoMessage> bigWeak = big;
  send(8192, std::make_shared<RTMPVideoMessage>(1, 1, pattern(20000, 1)), true);
  send(8192, std::make_shared<RTMPVideoMessage>(1, 2, pattern(20000, 2)), false);
  const Bytes raw = pattern(777, 3);
  socket->send(medley::Data(raw));
  expected.insert(expected.end(), raw.begin(), raw.end());
  send(128, std::make_shared<RTMPVideoMessage>(1, 3, pattern(5000, 4)), true);
  send(4096, std::move(big), true);
  send(4096, std::make_shared<RTMPVideoMessage>(1, 4, pattern(1, 5)), true);

  // Every byte is counted once, as out or as still waiting. Which of the two is
  // left to the accounting: once the connection is idle, a peer whose kernel
  // sent no window update after its reader caught up keeps counting as unread.
  medley::NetworkTransportReport report;
  ASSERT_TRUE(rtmptest::eventually([&] {
    const auto progress = socket->outputProgress();
    if (!progress || progress->written != expected.size()) return false;  // all in the kernel's hands
    report = wait(socket->makeNetworkTransportReport());
    return report.totalBytesOut + report.queueBytesOut == static_cast<int64_t>(expected.size()) &&
           report.totalBytesOut > 0;
  })) << "out " << report.totalBytesOut << ", waiting " << report.queueBytesOut << " of " << expected.size();
  EXPECT_TRUE(rtmptest::eventually([&] { return bigWeak.expired(); }));
  wait(socket->close());
  server.join();
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

INSTANTIATE_TEST_SUITE_P(Transports, ChunkWriteOverSocketTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "tls" : "tcp"; });
