// The connection reading a server's chunk stream: a stream that lost its
// framing ends the connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "peers/ScriptedRTMPPeer.h"

using namespace rtmptest;
using namespace rtmpmedley;
using platform::blockingWait;

namespace {

class ReceivedChunksTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ThreadRuntime> rt = std::make_shared<platform::ThreadRuntime>(2);
  std::shared_ptr<RTMPConnection> connection = RTMPConnection::make(rt);

  template <class T>
  T wait(platform::Async<T> work) {
    return blockingWait(std::move(work), rt->globalQueue());
  }
  void TearDown() override {
    try {
      wait(connection->close());
    } catch (...) {
    }
  }
};

}  // namespace

TEST_F(ReceivedChunksTest, AStreamThatLostItsFramingEndsTheConnection) {
  std::atomic<bool> closed{false};
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    if (!s.handshakeAndAccept()) return;
    // A continuation on a chunk stream that never had a header.
    s.sendRaw({0xC9, 1, 2, 3, 4, 5, 6, 7, 8});
    closed = s.waitForClose(platform::seconds(5));
  });
  wait(connection->connect(peer.url()));
  ASSERT_TRUE(peer.waitForScripts(1));
  EXPECT_TRUE(closed);
  EXPECT_FALSE(connection->isConnected());
}
