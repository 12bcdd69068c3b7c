// Time-outs, aborted connects and acknowledgements on virtual time, with the
// bytes still going through real loopback sockets.
#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"

using namespace rtmptest;
using namespace rtmpmedley;
using platform::milliseconds;
using platform::seconds;
using Kind = RTMPConnection::Error::Kind;

namespace {

class TimingTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<RTMPConnection> connection = makeConnection(rt);

  template <class T>
  T get(Async<T> work) {
    auto task = platform::spawn(rt->globalQueue(), std::move(work));
    EXPECT_TRUE(pumpUntil(rt, [&] { return task.isFinished(); }));
    return task.result();
  }
  platform::TaskHandle<RTMPResponse> start(Async<RTMPResponse> work) {
    return platform::spawn(rt->globalQueue(), std::move(work));
  }
  RTMPConnection::Snapshot state() { return get(connection->snapshot()); }
  // Every task of the virtual runtime runs to its end before the runtime goes.
  void TearDown() override {
    try {
      get(connection->close());
    } catch (...) {
    }
    connection.reset();
    pumpFor(rt, milliseconds(100));
  }
};

}  // namespace

TEST_F(TimingTest, SilentServerTimesTheConnectOutAndTheNextConnectIsLeftAlone) {
  ScriptedRTMPPeer peer(
      [](PeerSession& s, int index) {
        if (index == 0) {
          EXPECT_TRUE(s.readC0C1());
          EXPECT_TRUE(s.waitForClose(seconds(20)));  // silent until the client gives up
          return;
        }
        s.handshakeAndAccept();
        s.waitForClose(seconds(20));
      },
      2);
  auto connect = start(connection->connect(peer.url()));
  ASSERT_TRUE(pumpUntil(rt, [&] { return state().readyState == RTMPConnection::ReadyState::versionSent; }));
  rt->advance(seconds(15) - 1);
  pumpFor(rt, milliseconds(30));
  EXPECT_FALSE(connect.isFinished());
  rt->advance(1);
  ASSERT_TRUE(pumpUntil(rt, [&] { return connect.isFinished(); }));
  ASSERT_TRUE(connectionError(connect));
  EXPECT_EQ(connectionError(connect)->kind(), Kind::connectionTimedOut);
  EXPECT_TRUE(peer.waitForScripts(1));
  EXPECT_EQ(state().operations, 0u);

  // A new connect's wait is its own: no earlier timer ends it.
  auto second = start(connection->connect(peer.url()));
  ASSERT_TRUE(pumpUntil(rt, [&] { return second.isFinished(); }));
  EXPECT_EQ(second.result().status->code, "NetConnection.Connect.Success");
  rt->advance(seconds(40));
  pumpFor(rt, milliseconds(20));
  EXPECT_TRUE(connection->isConnected());
}

TEST_F(TimingTest, UnansweredCallTimesOutAndItsLateAnswerIsIgnored) {
  std::atomic<bool> answerLate{false};
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    auto first = s.readCommand();
    ASSERT_TRUE(first);
    ASSERT_TRUE(eventually([&] { return answerLate.load(); }));
    s.sendStatus("_result", first->transactionId, "NetStream.Late", "status");
    if (auto second = s.readCommand()) s.sendResult(second->transactionId, {AMFValue("fine")});
    s.waitForClose(seconds(20));
  });
  auto statuses = Collected<RTMPStatus>(rt->globalQueue(), get(connection->status()));
  get(connection->connect(peer.url()));
  auto call = start(connection->call("FCPublish", {AMFValue("key")}));
  pumpFor(rt, milliseconds(20));
  rt->advance(milliseconds(9999));
  pumpFor(rt, milliseconds(20));
  EXPECT_FALSE(call.isFinished());
  rt->advance(milliseconds(1));
  ASSERT_TRUE(pumpUntil(rt, [&] { return call.isFinished(); }));
  EXPECT_EQ(connectionError(call)->kind(), Kind::requestTimedOut);
  EXPECT_EQ(state().operations, 0u);

  answerLate = true;
  // The late answer resumes nothing; its status is still reported.
  ASSERT_TRUE(pumpUntil(rt, [&] { return statuses.values().size() == 2; }));
  EXPECT_EQ(statuses.values().back().code, "NetStream.Late");
  EXPECT_EQ(get(connection->call("next")).arguments, AMFList{AMFValue("fine")});
}

TEST_F(TimingTest, CloseGivesUpAConnectUnderWayInTheHandshakeOrStillConnecting) {
  ScriptedRTMPPeer silent([](PeerSession& s, int) { EXPECT_TRUE(s.waitForClose(seconds(20))); }, 2);
  auto statuses = Collected<RTMPStatus>(rt->globalQueue(), get(connection->status()));

  // In the handshake.
  auto connect = start(connection->connect(silent.url()));
  ASSERT_TRUE(pumpUntil(rt, [&] { return state().readyState == RTMPConnection::ReadyState::versionSent; }));
  get(connection->close());
  ASSERT_TRUE(pumpUntil(rt, [&] { return connect.isFinished(); }));
  auto error = connectionError(connect);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->response()->status->code, "NetConnection.Connect.Failed");
  EXPECT_TRUE(silent.waitForScripts(1));

  // Before the socket is ready: a TLS handshake the server never answers.
  connect = start(connection->connect(silent.url("live", "rtmps")));
  ASSERT_TRUE(pumpUntil(rt, [&] { return silent.accepted() == 2; }));
  pumpFor(rt, milliseconds(20));
  EXPECT_EQ(state().readyState, RTMPConnection::ReadyState::uninitialized);
  get(connection->close());
  ASSERT_TRUE(pumpUntil(rt, [&] { return connect.isFinished(); }));
  EXPECT_EQ(connectionError(connect)->kind(), Kind::requestFailed);
  EXPECT_TRUE(silent.waitForScripts(2));

  // A failed connect reports through its error, not on the status sequence.
  EXPECT_TRUE(statuses.values().empty());
  EXPECT_FALSE(state().hasSocket && connection->isConnected());
  EXPECT_THROW(get(connection->close()), RTMPConnection::Error);
  rt->advance(seconds(30));
  pumpFor(rt, milliseconds(20));
  EXPECT_TRUE(statuses.values().empty());
}

TEST_F(TimingTest, AcknowledgesEachWindowOnceAndPassesMonitorEventsToStreams) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    s.send(RTMPChunkType::zero, 2, RTMPWindowAcknowledgementSizeMessage(0, 0, 250000));
    s.waitForClose(seconds(30));
  });
  auto stream = std::make_shared<FakeStream>(rt);
  get(connection->addStream(stream));
  get(connection->connect(peer.url()));
  // Once connected, a new window size is echoed back.
  ASSERT_TRUE(pumpUntil(rt, [&] { return state().windowSizeS == 250000; }));

  auto report = [](int64_t in) {
    medley::NetworkMonitorReport r;
    r.totalBytesIn = in;
    return medley::NetworkMonitorEvent::status(r);
  };
  for (int64_t in : {249999, 250000, 260000, 499999, 1000000, 1000001})
    get(connection->dispatch(report(in)));
  get(connection->dispatch(medley::NetworkMonitorEvent::reset()));
  EXPECT_EQ(state().sequence, 3);

  auto session = peer.session(0);
  ASSERT_TRUE(pumpUntil(rt, [&] {
    int acks = 0;
    for (const auto& r : session->records()) acks += r.message->type() == RTMPMessageType::ack;
    return acks == 3;
  }));
  std::vector<std::pair<uint32_t, RTMPChunkType>> acks;
  bool echoed = false;
  for (const auto& r : session->records()) {
    if (auto ack = std::dynamic_pointer_cast<RTMPAcknowledgementMessage>(r.message))
      acks.emplace_back(ack->sequence, r.chunkType);
    if (auto window = std::dynamic_pointer_cast<RTMPWindowAcknowledgementSizeMessage>(r.message))
      echoed = window->size == 250000 && r.chunkStreamId == 2;
  }
  EXPECT_TRUE(echoed);
  // Four windows had passed at 1000000 bytes: one acknowledgement per event catches up.
  EXPECT_EQ(acks, (std::vector<std::pair<uint32_t, RTMPChunkType>>{
                      {250000, RTMPChunkType::zero}, {1000000, RTMPChunkType::one}, {1000001, RTMPChunkType::one}}));

  // The running monitor: one event a second, to every stream, until close.
  ASSERT_TRUE(pumpUntil(rt, [&] { return stream->calls().size() == 9; })) << stream->calls().size();
  rt->advance(seconds(1));
  ASSERT_TRUE(pumpUntil(rt, [&] { return stream->calls().size() == 10; }));
  EXPECT_EQ(stream->calls().back(), "event");
  get(connection->close());
  const size_t calls = stream->calls().size();
  rt->advance(seconds(5));
  pumpFor(rt, milliseconds(20));
  EXPECT_EQ(stream->calls().size(), calls);
}
