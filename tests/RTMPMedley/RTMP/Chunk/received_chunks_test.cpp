// The connection reading a server's chunk stream: chunk sizes applied where
// they arrive, and a stream that lost its framing ends the connection.
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

// Chunks of `message` at `chunkSize`, appended to `out`.
void append(std::vector<uint8_t>& out, RTMPChunkBuffer& writer, uint16_t chunkStreamId, const RTMPMessage& message) {
  const auto bytes = writer.putMessage(RTMPChunkType::zero, chunkStreamId, message);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

RTMPCommandMessage result(int64_t transactionId, AMFList arguments) {
  return RTMPCommandMessage(0, 0, RTMPObjectEncoding::amf0, "_result", transactionId, std::nullopt,
                            std::move(arguments));
}

}  // namespace

TEST_F(ReceivedChunksTest, ChunkSizeChangesAndRepliesAtTheNewSizesInOneWrite) {
  const std::string large(6000, 'a'), medium(3000, 'b');
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    auto connect = s.handshakeAndAccept();
    auto first = s.readCommand();
    auto second = s.readCommand();
    if (!connect || !first || !second) return;
    // The two calls race to the connection; answer each by its name.
    if (first->commandName != "first") std::swap(first, second);
    // One write: two size changes, each followed at once by an answer cut at
    // that size and larger than the size before it.
    RTMPChunkBuffer writer;
    writer.setChunkSize(4096);
    std::vector<uint8_t> block;
    append(block, writer, 2, RTMPSetChunkSizeMessage(0, 0, 8000));
    writer.setChunkSize(8000);
    append(block, writer, 3, result(first->transactionId, {AMFValue(large)}));
    append(block, writer, 2, RTMPSetChunkSizeMessage(0, 0, 1000));
    writer.setChunkSize(1000);
    append(block, writer, 3, result(second->transactionId, {AMFValue(medium)}));
    s.sendRaw(block);
    s.waitForClose();
  });
  wait(connection->connect(peer.url()));
  auto call = [](std::shared_ptr<RTMPConnection> c, std::string name) { return c->call(std::move(name)); };
  auto first = platform::spawn(rt->globalQueue(), call, connection, std::string("first"));
  auto second = platform::spawn(rt->globalQueue(), call, connection, std::string("second"));
  const auto a = wait(first.value());
  const auto b = wait(second.value());
  ASSERT_EQ(a.arguments.size(), 1u);
  ASSERT_TRUE(a.arguments[0].string());
  EXPECT_EQ(*a.arguments[0].string(), large);
  ASSERT_EQ(b.arguments.size(), 1u);
  ASSERT_TRUE(b.arguments[0].string());
  EXPECT_EQ(*b.arguments[0].string(), medium);
  EXPECT_EQ(wait(connection->snapshot()).chunkSizeC, 1000u);
}

TEST_F(ReceivedChunksTest, AStreamThatLostItsFramingEndsTheConnection) {
  std::atomic<bool> closed{false};
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    if (!s.handshakeAndAccept()) return;
    // Once connected, a command is answered by a continuation on a chunk
    // stream that never had a header.
    if (!s.readCommand()) return;
    s.sendRaw({0xC9, 1, 2, 3, 4, 5, 6, 7, 8});
    closed = s.waitForClose(platform::seconds(5));
  });
  wait(connection->connect(peer.url()));
  EXPECT_THROW(wait(connection->call("getStreamLength")), RTMPConnection::Error);
  ASSERT_TRUE(peer.waitForScripts(1));
  EXPECT_TRUE(closed);
  EXPECT_FALSE(connection->isConnected());
}
