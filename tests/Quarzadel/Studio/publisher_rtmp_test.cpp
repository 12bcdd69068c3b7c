// The attempt loop over the RTMP connection and stream, against the scripted
// server on virtual time: a login before going live, a server that hangs up
// on the publish, a closing status that comes with the publish's answer.
#include <gtest/gtest.h>

#include <algorithm>

#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "Quarzadel/Studio/FakePublisherTransport.h"
#include "peers/ScriptedRTMPTransport.h"

namespace quarzadel {
namespace {

using platform::seconds;
using rtmptest::ScriptedRTMPServer;
using rtmptest::ScriptedSession;
using State = RTMPPublisher::State;

void refuse(ScriptedSession& s, const std::string& description) {
  s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", "error", description);
}

struct PublisherOverRTMP : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  ScriptedRTMPServer server{runtime};
  std::shared_ptr<RTMPPublisher> publisher;
  std::vector<State> states;
  platform::ScopedSystemLogCapture logs;
  // What the server does on "publish", by session index; answers it by default.
  std::function<void(ScriptedSession&, const rtmpmedley::RTMPCommandMessage&)> onPublish =
      [](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
        s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", c.streamId);
      };

  void SetUp() override {
    // The login of the adobe kind: user name asked for, then a challenge,
    // then any answer is taken.
    server.onCommand = [this](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
      if (c.commandName == "publish") return onPublish(s, c);
      if (c.commandName != "connect") return ScriptedRTMPServer::answerLikeAServer(s, c);
      const std::string app = *c.commandObject->at("app").string();
      if (app.find("authmod=adobe") == std::string::npos)
        return refuse(s, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ");
      if (app.find("response=") == std::string::npos)
        return refuse(s, "[ AccessManager.Reject ] : [ authmod=adobe ] : "
                         "?reason=needauth&user=u&salt=c2FsdA==&challenge=Y2g=&opaque=b3A=");
      s.acceptConnect();
    };
    auto env = testing::scriptedEnvironment(runtime, rtmpPublisherConnections(runtime, server.factory()));
    publisher = RTMPPublisher::make(env);
    publisher->onState = [this](const State& s) { states.push_back(s); };
    publisher->start("rtmp://u:p@ingest.test/live", "key", {});
    runtime->runUntilIdle();
  }
  void TearDown() override {
    platform::spawnDetached(runtime->mainQueue(), [](auto p) { return p->stop(); }, publisher);
    runtime->advance(seconds(30));
    runtime->runUntilIdle();
  }
  int logCount(const std::string& prefix) {
    const auto all = logs.sink().messages();
    auto starts = [&](const std::string& m) { return m.starts_with(prefix); };
    return static_cast<int>(std::count_if(all.begin(), all.end(), starts));
  }
  size_t connects() const { return server.sessionCount(); }
};

TEST_F(PublisherOverRTMP, ALoggedInAttemptStaysLiveAndItsLoginStepsAreClosed) {
  const State live = State::live(platform::Date(std::chrono::seconds(1'800'000'000)));
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), live}));
  runtime->advance(seconds(5));
  runtime->runUntilIdle();
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), live}));
  EXPECT_EQ(logCount("Publish interrupted"), 0);
  // One login: three connects, the first two closed by the client, the last one publishing.
  ASSERT_EQ(connects(), 3u);
  EXPECT_TRUE(server.session(0)->closedByClient() && server.session(1)->closedByClient());
  EXPECT_FALSE(server.session(2)->closedByClient());
  EXPECT_EQ(server.session(2)->commandNames(), (std::vector<std::string>{"connect", "createStream", "publish"}));

  // A closing status that comes with the answer to the publish is the
  // attempt's own: it ends the live period as soon as it begins.
  onPublish = [](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
    s.sendStatus("onStatus", 0, "NetConnection.Connect.IdleTimeOut", "status");
    s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", c.streamId);
  };
  server.session(2)->hangUp();
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Publish interrupted: Connection closed"), 1);
  runtime->advance(platform::milliseconds(500));
  runtime->runUntilIdle();
  EXPECT_EQ(connects(), 6u);
  EXPECT_EQ(logCount("Publish interrupted: Connection closed (NetConnection.Connect.IdleTimeOut)"), 1);
}

TEST_F(PublisherOverRTMP, AServerThatHangsUpOnThePublishFailsTheAttemptAtOnceAsAClosedConnection) {
  // From the second attempt on.
  runtime->runUntilIdle();
  onPublish = [](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage&) { s.hangUp(); };
  server.session(2)->hangUp();
  runtime->runUntilIdle();
  runtime->advance(platform::milliseconds(500));
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Publish attempt 1 failed after 0.00 s: NetConnection.Connect.Closed"), 1);
  runtime->advance(platform::milliseconds(500));
  runtime->runUntilIdle();
  EXPECT_EQ(publisher->state(), State::reconnecting(2, "NetConnection.Connect.Closed"));
}

}  // namespace
}  // namespace quarzadel
