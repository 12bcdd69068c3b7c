// The session against the scripted server, on virtual time: retries and their
// waits, the ready-state sequence, publish and playback, the disconnect watch.
#include <gtest/gtest.h>

#include "Medley/Sources/Stream/StreamSessionBuilder.h"
#include "Medley/Sources/Stream/StreamSessionBuilderFactory.h"
#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Session/RTMPSession.h"
#include "RTMPMedley/Sources/RTMP/Session/RTMPSessionFactory.h"

using namespace rtmptest;
using namespace rtmpmedley;
using medley::StreamSessionMode;
using State = medley::StreamSessionReadyState;
using States = std::vector<State>;
using Strings = std::vector<std::string>;
using Outcome = ScriptedSession::ConnectOutcome;

namespace {

class SessionTest : public ::testing::Test, protected rtmptest::VirtualTimeDriver {
 protected:
  ScriptedRTMPServer server{rt};
  // Command name to the status code and level the server answers it with.
  std::map<std::string, std::pair<std::string, std::string>> answers = {
      {"publish", {"NetStream.Publish.Start", "status"}},
      {"play", {"NetStream.Play.Start", "status"}},
      {"closeStream", {"NetStream.Unpublish.Success", "status"}}};

  void SetUp() override {
    server.onCommand = [this](ScriptedSession& s, const RTMPCommandMessage& c) {
      ScriptedRTMPServer::answerLikeAServer(s, c);
      if (c.commandName == "releaseStream" || c.commandName == "FCPublish" || c.commandName == "deleteStream")
        s.sendResult(c.transactionId);
      if (auto it = answers.find(c.commandName); it != answers.end())
        s.sendStatus("onStatus", 0, it->second.first, it->second.second, "", c.streamId);
    };
  }
  std::shared_ptr<RTMPSession> make(const std::string& url = "rtmp://ingest.test/live/key") {
    sessions_.push_back(
        std::make_shared<RTMPSession>(RTMPURL(url), StreamSessionMode::publish, nullptr, rt, server.factory()));
    return sessions_.back();
  }
  Collected<State> states(const std::shared_ptr<RTMPSession>& session) {
    return Collected<State>(rt->globalQueue(), run(session->readyState()));
  }
  void TearDown() override {
    // A close that waits for an answer the script leaves out ends with the request time-out.
    for (auto& s : sessions_) (void)start(s->close());
    advance(platform::seconds(10));
    sessions_.clear();
    rt->runUntilIdle();
  }

 private:
  std::vector<std::shared_ptr<RTMPSession>> sessions_;
};

}  // namespace

TEST_F(SessionTest, RefusedConnectsAreRetriedAfterOneTwoAndFourSecondsThenClosedWithTheLastErrorOrOpen) {
  // Sessions in turn: four refusals; one with no retries allowed; one cancelled in its wait; one refused once,
  // then let in.
  server.connectOutcome = [](int index) { return index < 7 ? Outcome::refuse : Outcome::ready; };
  auto session = make();
  auto seen = states(session);
  auto connect = start(session->connect([] {}));
  for (const auto& [wait, attempts] : std::vector<std::pair<platform::Nanos, size_t>>{
           {platform::seconds(1), 2}, {platform::seconds(2), 3}, {platform::seconds(4), 4}}) {
    SCOPED_TRACE(attempts);
    advance(wait - platform::milliseconds(1));
    EXPECT_EQ(server.sessionCount(), attempts - 1);
    EXPECT_EQ(run(session->retryCount()), static_cast<int>(attempts - 2));
    advance(platform::milliseconds(1));
    EXPECT_EQ(server.sessionCount(), attempts);
  }
  EXPECT_EQ(errorOf<RTMPConnection::Error>(connect).value().kind(), RTMPConnection::Error::Kind::socketErrorOccurred);
  EXPECT_EQ(seen.values(), (States{State::connecting, State::connecting, State::connecting, State::connecting,
                                   State::closed}));
  advance(platform::seconds(60));
  EXPECT_EQ(server.sessionCount(), 4u);

  auto once = make();
  run(once->setMaxRetryCount(0));
  EXPECT_TRUE(errorOf<RTMPConnection::Error>(start(once->connect([] {}))));
  EXPECT_EQ(server.sessionCount(), 5u);

  auto cancelled = make();
  connect = start(cancelled->connect([] {}));
  advance(platform::milliseconds(500));
  connect.cancel();
  rt->runUntilIdle();
  EXPECT_TRUE(errorOf<platform::CancellationError>(connect));
  EXPECT_EQ(run(cancelled->currentReadyState()), State::closed);
  advance(platform::seconds(10));
  EXPECT_EQ(server.sessionCount(), 6u);

  auto retried = make();
  auto retriedStates = states(retried);
  connect = start(retried->connect([] {}));
  advance(platform::seconds(1));
  ASSERT_EQ(server.sessionCount(), 8u);
  const auto names = server.last()->commandNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "publish"), 1);
  EXPECT_EQ(retriedStates.values(), (States{State::connecting, State::connecting, State::open}));
}

TEST_F(SessionTest, APublishSessionAnnouncesItsNameAndPublishesLiveAndTheFactorysPlaybackSessionPlays) {
  auto session = make("rtmp://ingest.test/live/key?x=1");
  auto seen = states(session);
  run(session->connect([] {}));
  auto s = server.last();
  EXPECT_EQ(s->commandNames(), (Strings{"connect", "releaseStream", "FCPublish", "createStream", "publish"}));
  auto commands = s->commands();
  EXPECT_EQ(*commands[0]->commandObject->at("flashVer").string(), "FMLE/3.0 (compatible; FMSc/1.0)");
  for (int i : {1, 2}) EXPECT_EQ(commands[i]->arguments, AMFList{AMFValue("key?x=1")});
  EXPECT_EQ(commands[4]->arguments, (AMFList{AMFValue("key?x=1"), AMFValue("live")}));
  // The session's connection waits 3 s for an answer, not the application's 10 s.
  EXPECT_EQ(run(run(session->rtmpStream())->snapshot()).requestTimeout, 3000u);
  // Connected already: nothing is sent and nothing changes.
  const auto before = s->records().size();
  run(session->connect([] {}));
  EXPECT_EQ(s->records().size(), before);
  EXPECT_EQ(seen.values(), (States{State::connecting, State::open}));

  answers["closeStream"] = {"NetStream.Play.Stop", "status"};
  auto registry = std::make_shared<medley::StreamSessionBuilderFactory>(rt);
  run(registry->registerFactory(std::make_shared<RTMPSessionFactory>(rt, server.factory())));
  auto builder = run(registry->make("rtmps://ingest.test/live/key"));
  run(builder->setMode(StreamSessionMode::playback));
  auto player = std::dynamic_pointer_cast<RTMPSession>(run(builder->build()));
  ASSERT_TRUE(player);
  run(player->connect([] {}));
  s = server.last();
  EXPECT_TRUE(s->secure());
  EXPECT_EQ(s->commandNames(), (Strings{"connect", "createStream", "play"}));
  commands = s->commands();
  EXPECT_EQ(*commands[0]->commandObject->at("flashVer").string(), "MAC 9,0,124,2");
  EXPECT_EQ(commands[2]->arguments, AMFList{AMFValue("key")});
  run(player->close());
}

TEST_F(SessionTest, AHangUpClosesAndCallsBackOnceAndACloseGoesThroughClosingWithoutCallingBack) {
  auto session = make();
  int disconnected = 0;
  auto seen = states(session);
  run(session->connect([&] { ++disconnected; }));
  server.last()->hangUp();
  rt->runUntilIdle();
  EXPECT_EQ(disconnected, 1);
  // Closing a session that is closed already changes nothing.
  run(session->close());
  EXPECT_EQ(seen.values(), (States{State::connecting, State::open, State::closed}));

  auto closed = make();
  auto closing = states(closed);
  run(closed->connect([&] { ++disconnected; }));
  run(closed->close());
  EXPECT_EQ(closing.values(), (States{State::connecting, State::open, State::closing, State::closed}));
  EXPECT_EQ(disconnected, 1);
}

TEST_F(SessionTest, NoNameAndARefusedPublishFailAtOnceAndAreNotRetried) {
  // Without an application or a name there is nothing to connect to rather than somewhere else.
  for (const std::string url : {"rtmp://ingest.test/live", "rtmp://ingest.test/", "rtmp://ingest.test"}) {
    SCOPED_TRACE(url);
    auto session = make(url);
    auto seen = states(session);
    EXPECT_EQ(errorOf<RTMPSession::Error>(start(session->connect([] {}))).value().kind(),
              RTMPSession::Error::Kind::noStreamName);
    EXPECT_TRUE(seen.values().empty());
  }
  EXPECT_EQ(server.sessionCount(), 0u);

  answers["publish"] = {"NetStream.Publish.BadName", "error"};
  auto session = make("rtmp://ingest.test/live/taken");
  auto seen = states(session);
  auto error = errorOf<RTMPStream::Error>(start(session->connect([] {})));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->response()->status->code, "NetStream.Publish.BadName");
  EXPECT_TRUE(server.last()->closedByClient());
  advance(platform::seconds(30));
  EXPECT_EQ(server.sessionCount(), 1u);
  EXPECT_EQ(seen.values(), (States{State::connecting, State::closed}));
}
