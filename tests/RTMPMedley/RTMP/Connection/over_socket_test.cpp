// What needs a real socket under the connection: the server's bytes cut into
// the socket's 255-byte reads, one write per message.
#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmptest;
using namespace rtmpmedley;

namespace {

class OverSocketTest : public RealTimeTest<3> {
 protected:
  std::shared_ptr<RTMPConnection> connection = makeConnection(rt);

  void TearDown() override {
    try {
      wait(connection->close());
    } catch (...) {
    }
  }
};

template <class M>
std::vector<std::shared_ptr<M>> messagesOf(const PeerSession& session) {
  std::vector<std::shared_ptr<M>> out;
  for (const auto& m : session.received())
    if (auto typed = std::dynamic_pointer_cast<M>(m)) out.push_back(typed);
  return out;
}

}  // namespace

TEST_F(OverSocketTest, ChunksBehindTheHandshakeAreReadPingsAnsweredAndEachMessageIsOneWrite) {
  constexpr int kMessages = 100;
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    // S0, S1, S2 and a ping in one write, read by the client 255 bytes at a time.
    RTMPChunkBuffer writer;
    const auto ping = writer.putMessage(
        RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::ping, 0x1234567));
    ASSERT_TRUE(s.handshake(std::vector<uint8_t>(ping.begin(), ping.end())));
    ASSERT_TRUE(s.readCommand());
    s.acceptConnect();
    s.waitForClose();
  });
  wait(connection->connect(peer.url()));
  ASSERT_TRUE(eventually([&] { return messagesOf<RTMPUserControlMessage>(*peer.session(0)).size() == 1; }));
  EXPECT_EQ(messagesOf<RTMPUserControlMessage>(*peer.session(0))[0]->value, 0x1234567);

  auto socket = wait(connection->socket());
  ASSERT_TRUE(socket);
  const uint64_t writesBefore = socket->sendCount();
  for (int i = 0; i < kMessages; ++i) {
    const RTMPVideoMessage message(1, static_cast<uint32_t>(i), Data(20000, uint8_t(i)));
    ASSERT_EQ(connection->send(i == 0 ? RTMPChunkType::zero : RTMPChunkType::one, RTMPChunkStreamId::video, message),
              20000);
  }
  // Three chunks each, one write each.
  EXPECT_EQ(socket->sendCount() - writesBefore, static_cast<uint64_t>(kMessages));
  ASSERT_TRUE(eventually([&] { return messagesOf<RTMPVideoMessage>(*peer.session(0)).size() == kMessages; }));
}
