// The shell over a real Studio engine on virtual time (scripted connections):
// one Studio at a time, the JSON relay of a live period, the stop key's
// confirmation, the bound on a quit that hangs, and a fixed demo level.
#include <gtest/gtest.h>
#include <signal.h>

#include "Quarzadel/Capture/FakeScreenCapturer.h"
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
  bool syntheticSources = true;
  std::shared_ptr<testing::FakeCapturer> capturer = std::make_shared<testing::FakeCapturer>();

  void configure(StudioEngine::Environment& env) override { env.devices->screenCapturer = capturer; }

  void makeShell(StudioShell::Mode mode = StudioShell::Mode::json) {
    LaunchOptions options;
    options.demoMicLevel = demoMicLevel;
    options.jsonEvents = mode == StudioShell::Mode::json;
    options.syntheticSources = syntheticSources;
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
  void openAndGoLive(const std::string& key) {
    makeShell();
    ASSERT_TRUE(shell->open(eventFor(key)));
    advance(1);
    shell->goLive();
    advance(1);
  }
};

TEST_F(StudioShellTest, RelaysALivePeriodConfirmsTheStopKeyAndKeepsOneStudioAtATime) {
  openAndGoLive("first");
  ASSERT_TRUE(shell->snapshot().status.isLive());
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

TEST_F(StudioShellTest, AQuitThatOutlastsItsBoundEndsTheProgramWithAFailure) {
  quitBound = platform::seconds(1);  // shorter than the publisher's own wait for its attempt
  testing::AttemptScript hanging;  // every attempt hangs in its connection
  hanging.connect = testing::Step::hang();
  server->scripts = {hanging};
  openAndGoLive("hanging");
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
  makeShell(StudioShell::Mode::plain);
  ASSERT_TRUE(shell->open(eventFor("first")));
  advance(1);
  EXPECT_EQ(shell->snapshot().level, (AudioLevel{0.5f, 0.5f}));
  EXPECT_EQ(StatusLine::meter(shell->snapshot().level, false), "[====|     ]");
}

// With real sources the share key lists what can be shared and the typed
// number shares it; 0 stops it again.
TEST_F(StudioShellTest, TheShareKeyListsScreensAndWindowsAndSharesTheOneWhoseNumberIsTyped) {
  using Target = platform::ScreenCaptureTarget;
  syntheticSources = false;
  capturer->list = {{Target::Kind::display, 0, "Display 1", 1920, 1080}, {Target::Kind::window, 42, "Slides", 320, 240}};
  makeShell(StudioShell::Mode::plain);
  ASSERT_TRUE(shell->open(eventFor("share")));
  advance(1);
  shell->key('x');
  advance(0.1);
  EXPECT_TRUE(said("  2  Window: Slides (320x240)")) << (messages.empty() ? "" : messages.back());
  EXPECT_FALSE(said("Stop sharing"));
  shell->key('2');
  advance(0.5);
  ASSERT_EQ(capturer->starts.size(), 1u);
  EXPECT_EQ(capturer->starts[0].target.id, 42u);
  EXPECT_EQ(shell->engine()->screenShareName().value(), std::optional<std::string>("Shared Window"));

  // A key that is no number cancels; the share runs on.
  shell->key('x');
  shell->key('q');
  advance(0.5);
  EXPECT_EQ(capturer->stops, 0);
  EXPECT_FALSE(exitStatus) << "the cancelling key is not also the quit key";
  shell->key('x');
  advance(0.1);
  EXPECT_TRUE(said("  0  Stop sharing"));
  shell->key('0');
  advance(0.5);
  EXPECT_EQ(capturer->stops, 1);
  EXPECT_FALSE(shell->engine()->screenShareName().value());
}

}  // namespace
}  // namespace quarzadel
