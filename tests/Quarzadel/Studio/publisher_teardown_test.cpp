// How the publisher ends an attempt on the wire, through real RTMP connections
// to the scripted server on virtual time: a live period that ends while the
// host still wants to be live resets its transport without a word to the
// server; a stop closes the stream, then ends the transport in order.
#include <gtest/gtest.h>

#include <algorithm>

#include "Quarzadel/Studio/FakePublisherTransport.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "peers/ScriptedRTMPTransport.h"

namespace quarzadel {
namespace {

using rtmptest::ScriptedRTMPServer;
using rtmptest::ScriptedSession;

bool sent(const ScriptedSession& session, const std::string& command) {
  const auto names = session.commandNames();
  return std::find(names.begin(), names.end(), command) != names.end();
}

TEST(PublisherTeardown, AGivenUpAttemptIsResetWhileAStopEndsInOrder) {
  auto runtime = platform::VirtualRuntime::make();
  ScriptedRTMPServer server(runtime);
  server.onCommand = [](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
    ScriptedRTMPServer::answerLikeAServer(s, c);
    if (c.commandName == "publish") s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", c.streamId);
    if (c.commandName == "closeStream")
      s.sendStatus("onStatus", 0, "NetStream.Unpublish.Success", "status", "", c.streamId);
  };
  auto env = testing::scriptedEnvironment(runtime, rtmpPublisherConnections(runtime, server.factory()));
  auto publisher = RTMPPublisher::make(env);
  publisher->start("rtmp://ingest.test/live", "key", {});
  runtime->runUntilIdle();
  ASSERT_TRUE(publisher->state().isLive());
  ASSERT_EQ(server.sessionCount(), 1u);

  // The server ends the live period but leaves the transport up.
  auto first = server.session(0);
  first->sendStatus("onStatus", 0, "NetConnection.Connect.IdleTimeOut", "status");
  runtime->runUntilIdle();
  EXPECT_TRUE(first->abortedByClient());
  EXPECT_FALSE(first->closedByClient());
  EXPECT_FALSE(sent(*first, "closeStream"));

  runtime->advance(platform::milliseconds(500));
  runtime->runUntilIdle();
  ASSERT_EQ(server.sessionCount(), 2u);
  ASSERT_TRUE(publisher->state().isLive());

  bool stopped = false;
  platform::spawnDetached(runtime->mainQueue(), [](std::shared_ptr<RTMPPublisher> p, bool* done) -> platform::Async<void> {
    co_await p->stop();
    *done = true;
  }, publisher, &stopped);
  for (int i = 0; i < 300 && !stopped; ++i) runtime->advance(platform::milliseconds(10));
  ASSERT_TRUE(stopped);
  auto second = server.session(1);
  EXPECT_TRUE(sent(*second, "closeStream"));
  EXPECT_TRUE(second->closedByClient());
  EXPECT_FALSE(second->abortedByClient());
}

}  // namespace
}  // namespace quarzadel
