// The connection's answers to the server overtake the media it has queued,
// against a scripted server that reads slowly, on real time.
#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmptest;
using namespace rtmpmedley;
using platform::blockingWait;
using platform::seconds;

TEST(ControlLaneTest, APingIsAnsweredAheadOfMegabytesOfQueuedMedia) {
  constexpr int kMessages = 64;
  constexpr size_t kMessageSize = 64 * 1024;
  constexpr int32_t kPing = 0x5EED;
  auto rt = std::make_shared<platform::ThreadRuntime>(3);
  auto connection = makeConnection(rt);
  auto wait = [&](auto work) { return blockingWait(std::move(work), rt->globalQueue()); };

  std::atomic<bool> mediaQueued{false};
  std::chrono::steady_clock::time_point pingAt, pongAt;
  int videosBeforePong = -1;
  std::atomic<int> videos{0};
  bool intact = true;
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    if (!s.handshakeAndAccept()) return;
    if (!eventually([&] { return mediaQueued.load(); })) return;
    // About 1.6 MB/s: the 4 MB queued would take 2.5 s in order.
    while (auto r = s.readMessage()) {
      if (auto video = std::dynamic_pointer_cast<RTMPVideoMessage>(r->message)) {
        // Whole and in order: nothing was put inside another message's chunks.
        intact &= video->payload() == Data(kMessageSize, static_cast<uint8_t>(videos.load()));
        if (++videos == 4) {
          pingAt = std::chrono::steady_clock::now();
          s.send(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::ping, kPing));
        }
        if (videosBeforePong < 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
      } else if (auto user = std::dynamic_pointer_cast<RTMPUserControlMessage>(r->message)) {
        if (user->event == RTMPUserControlMessage::Event::pong && user->value == kPing && videosBeforePong < 0) {
          pongAt = std::chrono::steady_clock::now();
          videosBeforePong = videos;
        }
      }
      if (videos == kMessages) break;
    }
    s.waitForClose();
  });

  wait(connection->connect(peer.url()));
  wait([](std::shared_ptr<RTMPConnection> c) -> Async<void> {
    for (int i = 0; i < kMessages; ++i) {
      auto message = std::make_shared<RTMPVideoMessage>(1, static_cast<uint32_t>(i),
                                                        Data(kMessageSize, static_cast<uint8_t>(i)));
      co_await c->doOutput(i == 0 ? RTMPChunkType::zero : RTMPChunkType::one, RTMPChunkStreamId::video, message);
    }
  }(connection));
  mediaQueued = true;
  ASSERT_TRUE(eventually([&] { return peer.session(0) && videos == kMessages; }, seconds(15)));
  wait(connection->close());
  ASSERT_TRUE(peer.waitForScripts(1));

  ASSERT_GE(videosBeforePong, 4);
  EXPECT_LT(pongAt - pingAt, std::chrono::seconds(1));
  EXPECT_LT(videosBeforePong, kMessages / 2);
  EXPECT_TRUE(intact);
}
