// The shell over a real Studio engine on virtual time (scripted connections):
// one Studio at a time, the JSON relay of a live period, the quit rules beyond
// what the program's own runs show (idle, while stopping, against a hanging
// server), the stop key's confirmation, and the bound on a quit that hangs.
#include <gtest/gtest.h>
#include <signal.h>

#include "Quarzadel/Shell/StatusLine.h"
#include "Quarzadel/Shell/StudioShell.h"
#include "Quarzadel/Studio/studio_engine_fixture.h"

namespace quarzadel {
namespace {

using nlohmann::json;

struct StudioShellTest : testing::StudioEngineFixture {
  std::shared_ptr<StudioShell> shell;
  std::vector<json> lines;
  std::vector<std::string> messages;
  std::optional<int> exitStatus;
  int opened = 0;

  void SetUp() override {
    StudioEngineFixture::SetUp();
    engine.reset();  // the shell makes its own
  }
  void TearDown() override {
    if (shell && !exitStatus && shell->engine()) engine = shell->engine();
    shell.reset();
    StudioEngineFixture::TearDown();
  }

  platform::Nanos quitBound = platform::seconds(8);

  std::optional<double> demoMicLevel;

  void makeShell(std::optional<std::string> scenario = std::nullopt, StudioShell::Mode mode = StudioShell::Mode::json) {
    LaunchOptions options;
    options.demoMicLevel = demoMicLevel;
    options.jsonEvents = mode == StudioShell::Mode::json;
    options.syntheticSources = true;
    if (scenario) options.scenario = Scenario::parse(*scenario);
    StudioShell::Environment env;
    env.runtime = runtime;
    env.wallClock = clock;
    env.quitBound = quitBound;
    env.makeEngine = [this](const StudioEvent& e) {
      ++opened;
      streamKey = e.streamKey;
      makeEngine();
      auto made = engine;
      engine.reset();
      return made;
    };
    env.write = [this](const std::string& text) {
      auto value = json::parse(text, nullptr, false);
      if (!value.is_discarded()) lines.push_back(value);
      else messages.push_back(text);
    };
    env.message = [this](const std::string& text) { messages.push_back(text); };
    shell = StudioShell::make(std::move(options), mode, std::move(env));
    shell->onFinished = [this](int status) { exitStatus = status; };
  }
  StudioEvent eventFor(const std::string& key) {
    return StudioEvent::fromPayload({{"streamKey", key}, {"title", "Town Hall"}}).value();
  }
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l["event"] == "status") out.push_back(l["status"]);
    return out;
  }
  bool said(const std::string& text) const {
    for (const auto& m : messages)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
  // Going live against a server whose every attempt hangs in its connection.
  void goLiveHanging() {
    testing::AttemptScript hanging;
    hanging.connect = testing::Step::hang();
    server->scripts = {hanging};
    makeShell();
    shell->open(eventFor("hanging"));
    advance(1);
    shell->goLive();
    advance(1);
  }
  void openAndGoLive() {
    makeShell();
    ASSERT_TRUE(shell->open(eventFor("first")));
    advance(1);
    shell->goLive();
    advance(1);
    ASSERT_TRUE(shell->snapshot().status.isLive());
  }
};

TEST_F(StudioShellTest, RelaysALivePeriodConfirmsTheStopKeyAndKeepsOneStudioAtATime) {
  openAndGoLive();
  EXPECT_EQ(statuses(), (std::vector<std::string>{"starting", "ready", "connecting", "live"}));
  // While live, no other Studio opens.
  EXPECT_FALSE(shell->open(eventFor("second")));
  EXPECT_TRUE(said("A Studio is live: stop it before opening another."));
  EXPECT_EQ(opened, 1);
  // The stop key asks; any other key keeps the stream going, a second s stops it.
  shell->key('s');
  shell->key('x');
  advance(2);
  EXPECT_TRUE(shell->snapshot().status.isLive());
  shell->key('s');
  shell->key('s');
  advance(2);
  EXPECT_TRUE(shell->snapshot().status.isReady());
  // An idle Studio makes way for the next one.
  auto first = shell->engine();
  EXPECT_TRUE(shell->open(eventFor("second")));
  advance(1);
  EXPECT_EQ(opened, 2);
  EXPECT_NE(shell->engine(), first);
  EXPECT_FALSE(first->isStarted());
  EXPECT_EQ(shell->engine()->event().value().streamKey, "second");
  EXPECT_TRUE(shell->snapshot().status.isReady());
  EXPECT_FALSE(exitStatus);
}

TEST_F(StudioShellTest, AnIdleStudioQuitsWithoutConfirmation) {
  makeShell();
  shell->open(eventFor("idle"));
  shell->key('g');  // not yet: the Studio is still opening
  advance(1);
  shell->key('q');
  advance(1);
  EXPECT_EQ(exitStatus, 0);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"starting", "ready"}));
  EXPECT_TRUE(logged("Studio closed"));
}

TEST_F(StudioShellTest, QuittingWhileStoppingWaitsForTheStopThenCloses) {
  // Closing the stream takes a while: the Studio stays stopping meanwhile.
  testing::AttemptScript slowClose;
  slowClose.streamClose = testing::Step::ok(testing::ms(800));
  server->scripts = {slowClose};
  openAndGoLive();
  shell->key('s');
  shell->key('y');
  advance(0.1);
  ASSERT_TRUE(shell->snapshot().status.isStopping());
  shell->signal(SIGINT);
  advance(0.1);
  EXPECT_TRUE(said("Waiting for the stream to stop, then quitting."));
  EXPECT_FALSE(said("interrupt again"));
  EXPECT_FALSE(exitStatus);
  advance(3);
  EXPECT_EQ(exitStatus, 0);
  const auto s = statuses();
  EXPECT_EQ(std::vector<std::string>(s.end() - 3, s.end()), (std::vector<std::string>{"live", "stopping", "ready"}));
  EXPECT_TRUE(logged("Studio closed"));
}

TEST_F(StudioShellTest, AQuitWhileTheServerHangsStillEndsWithinTheBound) {
  goLiveHanging();  // the stop has to cut the connection off
  ASSERT_TRUE(shell->snapshot().status.isConnecting());
  const auto at = runtime->now();
  shell->signal(SIGTERM);
  while (!exitStatus && runtime->now() - at < platform::seconds(20)) advance(0.01);
  EXPECT_EQ(exitStatus, 0);
  EXPECT_LT(runtime->now() - at, platform::milliseconds(3300));
  EXPECT_EQ(lines.back()["wentLive"], false);
}

TEST_F(StudioShellTest, AQuitThatOutlastsItsBoundEndsTheProgramWithAFailure) {
  quitBound = platform::seconds(1);  // shorter than the publisher's own wait for its attempt
  goLiveHanging();
  shell->signal(SIGTERM);
  advance(0.9);
  EXPECT_FALSE(exitStatus);
  advance(0.2);
  EXPECT_EQ(exitStatus, StudioShell::kQuitTimedOut);
  EXPECT_TRUE(said("The Studio did not stop and close in time; quitting anyway."));
  // The engine still finishes its close afterwards.
  engine = shell->engine();
  advance(5);
  EXPECT_FALSE(engine->isStarted());
}

TEST_F(StudioShellTest, AFixedDemoLevelIsWhatTheMeterShows) {
  demoMicLevel = 0.5;
  makeShell(std::nullopt, StudioShell::Mode::plain);
  ASSERT_TRUE(shell->open(eventFor("first")));
  advance(1);
  EXPECT_EQ(shell->snapshot().level, (AudioLevel{0.5f, 0.5f}));
  EXPECT_EQ(StatusLine::meter(shell->snapshot().level, false), "[====|     ]");
}

}  // namespace
}  // namespace quarzadel
