// The scenario script: what parses into which timed steps, each malformed form
// with its line and position, and the runner on virtual time against a
// recording Studio.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Shell/Scenario.h"
#include "Quarzadel/Shell/ScenarioRunner.h"

namespace quarzadel {
namespace {

using Step = Scenario::Step;

TEST(Scenario, ParsesActionsAndWaitsIntoTimedSteps) {
  // Lines, comments, blank and empty steps, fractional waits, arguments with blanks.
  const auto s = Scenario::parse(
      "  # a comment line\n"
      "golive ;; wait 2.5\n"
      "camera   Test Pattern B  # the 4:3 one\n"
      "\twait 0.5; unplug; freeze 3; close\n");
  ASSERT_EQ(s.steps().size(), 5u);
  EXPECT_EQ(s.steps()[0], (Step{0, "golive", std::nullopt, 2, 1}));
  EXPECT_EQ(s.steps()[1], (Step{2.5, "camera", std::string("Test Pattern B"), 3, 1}));
  EXPECT_EQ(s.steps()[2], (Step{3, "unplug", std::nullopt, 4, 12}));
  EXPECT_EQ(s.steps()[3].argument, std::optional<std::string>("3"));
  EXPECT_EQ(s.duration(), 3);
  EXPECT_TRUE(Scenario::parse(" ; \n # only a comment").steps().empty());
}

struct Malformed {
  const char* script;
  int line;
  int column;
  const char* reason;
};

TEST(Scenario, RejectsEachMalformedStepWithItsLineAndPosition) {
  const std::vector<Malformed> cases = {
      {"golive\n  Stop", 2, 3, "unknown action \"Stop\""},
      {"golive;\nwait twenty", 2, 6, "\"wait\" needs a number that is not negative, not \"twenty\""},
      {"wait nan", 1, 6, "\"wait\" needs a number that is not negative, not \"nan\""},
      {"mic ;", 1, 1, "\"mic\" needs an argument"},
      {"# fine\n\n   close x # no", 3, 10, "\"close\" takes no argument"},
      {"share everything", 1, 7, "share takes screen or window NAME, not \"everything\""},
      {"share windows", 1, 7, "share takes screen or window NAME, not \"windows\""},
  };
  for (const auto& c : cases) {
    try {
      Scenario::parse(c.script);
      ADD_FAILURE() << "accepted: " << c.script;
    } catch (const Scenario::Error& e) {
      EXPECT_EQ(std::string(e.what()),
                "line " + std::to_string(c.line) + ", position " + std::to_string(c.column) + ": " + c.reason);
      EXPECT_EQ(e.unknownAction().has_value(), std::string(c.reason).starts_with("unknown action")) << c.script;
    }
  }
}

// Records what the runner asked, with the virtual time it asked at.
class RecordingStudio : public StudioActions {
 public:
  explicit RecordingStudio(std::shared_ptr<platform::VirtualRuntime> rt) : rt_(std::move(rt)), start_(rt_->now()) {}
  void goLive() override { note("golive"); }
  void stop() override { note("stop"); }
  void close() override { note("close"); }
  void quit() override { note("quit"); }
  void nextCamera() override { note("next"); }
  bool selectCamera(const std::string& q) override {
    note("camera " + q);
    return q != "nowhere";
  }
  bool selectMicrophone(const std::string& q) override {
    note("mic " + q);
    return q != "nowhere";
  }
  void setMuted(bool m) override { note(m ? "mute" : "unmute"); }
  void dismissNotice() override { note("dismiss"); }
  void runNoticeAction() override { note("action"); }
  void shareSynthetic() override { note("share"); }
  bool shareScreen() override {
    note("share screen");
    return true;
  }
  bool shareWindow(const std::string& name) override {
    note("share window [" + name + "]");
    return name != "Nowhere";
  }
  void stopSharing() override { note("unshare"); }
  void setFraming(const std::string& f) override { note("framing " + f); }
  void setVideoBitrate(int64_t bps) override { note("bitrate " + std::to_string(bps)); }
  std::optional<std::string> onAirCameraID() const override { return std::nullopt; }

  std::vector<std::pair<double, std::string>> calls;

 private:
  void note(std::string what) {
    calls.emplace_back(static_cast<double>(rt_->now() - start_) / 1e9, std::move(what));
  }
  std::shared_ptr<platform::VirtualRuntime> rt_;
  platform::Nanos start_;
};

class ScenarioRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { previousSink = platform::SystemLog::setSink(logs); }
  void TearDown() override { platform::SystemLog::setSink(previousSink); }
  std::shared_ptr<ScenarioRunner> runner(const std::string& script) {
    return ScenarioRunner::make(Scenario::parse(script), studio, rt->mainQueue(), true);
  }
  bool logged(const std::string& text) const {
    for (const auto& m : logs->messages())
      if (m.find(text) != std::string::npos) return true;
    return false;
  }

  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<RecordingStudio> studio = std::make_shared<RecordingStudio>(rt);
  std::shared_ptr<platform::CapturingSystemLogSink> logs = std::make_shared<platform::CapturingSystemLogSink>();
  std::shared_ptr<platform::SystemLogSink> previousSink;
};

TEST_F(ScenarioRunnerTest, RunsEachStepAtItsScriptTimeInOrderAndLogsIt) {
  auto r = runner("golive; mute; wait 1.5; next; camera B; mic Tone; wait 2; unmute; dismiss; action; share; "
                  "unshare; framing fill; bitrate 2500; stop; close");
  bool finished = false;
  r->onFinished = [&] { finished = true; };
  r->start();
  rt->runUntilIdle();
  // The steps at time 0 run at once, in order; nothing later yet.
  ASSERT_EQ(studio->calls.size(), 2u);
  EXPECT_EQ(studio->calls[0], (std::pair<double, std::string>{0, "golive"}));
  rt->advance(platform::milliseconds(1499));
  EXPECT_EQ(studio->calls.size(), 2u);
  rt->advance(platform::milliseconds(1));
  ASSERT_EQ(studio->calls.size(), 5u);
  EXPECT_EQ(studio->calls[2], (std::pair<double, std::string>{1.5, "next"}));
  EXPECT_EQ(studio->calls[4].second, "mic Tone");
  rt->advance(platform::seconds(2));
  std::vector<std::string> later;
  for (size_t i = 5; i < studio->calls.size(); ++i) {
    EXPECT_EQ(studio->calls[i].first, 3.5);
    later.push_back(studio->calls[i].second);
  }
  EXPECT_EQ(later, (std::vector<std::string>{"unmute", "dismiss", "action", "share", "unshare", "framing fill",
                                             "bitrate 2500000", "stop", "close"}));
  EXPECT_TRUE(finished);
  EXPECT_TRUE(logged("Scenario: 14 steps, t0 host="));
  EXPECT_TRUE(logged(": camera:B"));
}

TEST_F(ScenarioRunnerTest, ShareAloneIsTheSyntheticPictureAndANamedShareIsReal) {
  auto r = runner("share; share screen; share window  Slides Deck; share window Nowhere");
  r->start();
  rt->runUntilIdle();
  std::vector<std::string> asked;
  for (const auto& [at, what] : studio->calls) asked.push_back(what);
  EXPECT_EQ(asked, (std::vector<std::string>{"share", "share screen", "share window [Slides Deck]",
                                             "share window [Nowhere]"}));
  EXPECT_TRUE(logged("Scenario: nothing to share matches window Nowhere"));
  EXPECT_FALSE(logged("nothing to share matches window Slides"));
}

TEST_F(ScenarioRunnerTest, CancelStopsTheStepsStillToComeAndAGoneStudioIsNotCalled) {
  auto r = runner("golive; wait 5; stop; wait 5; close");
  r->start();
  rt->advance(platform::seconds(6));
  r->cancel();
  rt->advance(platform::seconds(10));
  ASSERT_EQ(studio->calls.size(), 2u);
  EXPECT_EQ(studio->calls[1].second, "stop");

  auto weakStudio = std::weak_ptr<RecordingStudio>(studio);
  auto again = runner("wait 1; golive");
  again->start();
  studio.reset();
  rt->advance(platform::seconds(2));  // must not touch the released Studio
  EXPECT_TRUE(weakStudio.expired());
  EXPECT_TRUE(again->isFinished());
}

}  // namespace
}  // namespace quarzadel
