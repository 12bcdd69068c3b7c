// What needs a real socket under the connection: the server's bytes cut into
// the socket's 255-byte reads, one write per message, and answers to the
// server that overtake the media queued behind a slow reader.
#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmptest;
using namespace rtmpmedley;
using Event = RTMPUserControlMessage::Event;

using OverSocketTest = RealTimeTest<3>;

TEST_F(OverSocketTest, PingsAreAnsweredFromBehindTheHandshakeAndAheadOfMegabytesOfQueuedMedia) {
  constexpr int kMessages = 64;
  constexpr size_t kMessageSize = 64 * 1024;
  constexpr int32_t kFirstPing = 0x1234567, kPing = 0x5EED;
  auto connection = RTMPConnection::make(rt);

  std::atomic<bool> mediaQueued{false};
  std::chrono::steady_clock::time_point pingAt, pongAt;
  int videosBeforePong = -1;
  std::atomic<int> videos{0};
  bool intact = true;
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    // S0, S1, S2 and a ping in one write.
    RTMPChunkBuffer writer;
    const auto ping = writer.putMessage(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, Event::ping, kFirstPing));
    if (!s.handshake(std::vector<uint8_t>(ping.begin(), ping.end())) || !s.readCommand()) return;
    s.acceptConnect();
    if (!eventually([&] { return mediaQueued.load(); })) return;
    // About 1.6 MB/s: the 4 MB queued would take 2.5 s in order.
    while (auto r = s.readMessage()) {
      if (auto video = std::dynamic_pointer_cast<RTMPVideoMessage>(r->message)) {
        // Whole and in order: nothing was put inside another message's chunks.
        intact &= video->payload() == Data(kMessageSize, static_cast<uint8_t>(videos.load()));
        if (++videos == 4) {
          pingAt = std::chrono::steady_clock::now();
          s.send(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, Event::ping, kPing));
        }
        if (videosBeforePong < 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
      } else if (auto user = std::dynamic_pointer_cast<RTMPUserControlMessage>(r->message)) {
        if (user->event == Event::pong && user->value == kPing && videosBeforePong < 0) {
          pongAt = std::chrono::steady_clock::now();
          videosBeforePong = videos;
        }
      }
      if (videos == kMessages) break;
    }
    s.waitForClose();
  });

  wait(connection->connect(peer.url()));
  auto socket = wait(connection->socket());
  ASSERT_TRUE(socket);
  const uint64_t writesBefore = socket->sendCount();
  for (int i = 0; i < kMessages; ++i)
    ASSERT_EQ(connection->send(i == 0 ? RTMPChunkType::zero : RTMPChunkType::one, RTMPChunkStreamId::video,
                               RTMPVideoMessage(1, static_cast<uint32_t>(i), Data(kMessageSize, uint8_t(i)))),
              static_cast<int64_t>(kMessageSize));
  // Eight chunks each, one write each.
  EXPECT_EQ(socket->sendCount() - writesBefore, static_cast<uint64_t>(kMessages));
  mediaQueued = true;
  ASSERT_TRUE(eventually([&] { return videos == kMessages; }, platform::seconds(15)));
  wait(connection->close());
  ASSERT_TRUE(peer.waitForScripts(1));

  ASSERT_GE(videosBeforePong, 4);
  EXPECT_LT(pongAt - pingAt, std::chrono::seconds(1));
  EXPECT_LT(videosBeforePong, kMessages / 2);
  EXPECT_TRUE(intact);
  int firstPongs = 0;
  for (const auto& m : peer.session(0)->received())
    if (auto user = std::dynamic_pointer_cast<RTMPUserControlMessage>(m))
      firstPongs += user->event == Event::pong && user->value == kFirstPing;
  EXPECT_EQ(firstPongs, 1);
}
