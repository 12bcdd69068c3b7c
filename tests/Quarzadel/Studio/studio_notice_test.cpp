// The Studio's one notice: a newer one replaces an older at once, each clears
// itself after its own time, and neither an old dismissal nor an old view can
// clear a newer notice, even one with the same text.
#include "Quarzadel/Studio/studio_engine_fixture.h"

namespace quarzadel {
namespace {

using Kind = StudioNotice::Kind;

struct StudioNotices : testing::StudioEngineFixture {
  void SetUp() override {
    StudioEngineFixture::SetUp();
    run(engine->start());
  }
};

TEST_F(StudioNotices, ANewerNoticeReplacesTheOlderAndKeepsItsOwnFullTime) {
  engine->post(StudioNotice("A", Kind::info), 6);
  advance(2);
  engine->post(StudioNotice("B", Kind::warning), 6);
  EXPECT_EQ(noticeText(), "B");
  advance(4.5);  // A's time has passed
  EXPECT_EQ(noticeText(), "B");
  advance(1.4);
  EXPECT_EQ(noticeText(), "B");
  advance(0.2);
  EXPECT_EQ(noticeText(), std::nullopt);
}

TEST_F(StudioNotices, ADismissedNoticeStaysDismissed) {
  engine->post(StudioNotice("A", Kind::info), 6);
  engine->dismissNotice();
  EXPECT_EQ(engine->notice().value(), std::nullopt);
  int changes = 0;
  auto watch = engine->notice().subscribe([&](const std::optional<StudioNotice>&) { ++changes; });
  changes = 0;
  advance(10);
  EXPECT_EQ(engine->notice().value(), std::nullopt);
  EXPECT_EQ(changes, 0);  // its task ended without touching anything
}

TEST_F(StudioNotices, AnOldDismissalNeverClearsANewerNoticeOfTheSameText) {
  engine->post(StudioNotice("Same", Kind::info), 6);
  auto oldView = engine->noticeView();
  ASSERT_TRUE(oldView);
  advance(5.5);
  engine->post(StudioNotice("Same", Kind::info), 6);
  const auto newer = engine->notice().value();
  advance(1);  // past the first notice's time
  EXPECT_EQ(engine->notice().value(), newer);
  oldView->dismiss();  // the old view's control is late
  EXPECT_EQ(engine->notice().value(), newer);
  auto view = engine->noticeView();
  ASSERT_TRUE(view);
  EXPECT_EQ(view->notice, *newer);
  view->dismiss();
  EXPECT_EQ(engine->notice().value(), std::nullopt);
  EXPECT_FALSE(engine->noticeView());
}

TEST_F(StudioNotices, TheDisplayTimesOfTheStudio) {
  for (double seconds : {StudioEngine::kNoticeSeconds, StudioEngine::kSuspendedNoticeSeconds,
                         StudioEngine::kSwitchBackNoticeSeconds, StudioEngine::kSavedCopyNoticeSeconds}) {
    engine->post(StudioNotice("Timed", Kind::info), seconds);
    advance(seconds - 0.05);
    EXPECT_EQ(noticeText(), "Timed") << seconds;
    advance(0.1);
    EXPECT_EQ(noticeText(), std::nullopt) << seconds;
  }
  EXPECT_EQ(StudioEngine::kNoticeSeconds, 6);
  EXPECT_EQ(StudioEngine::kSuspendedNoticeSeconds, 10);
  EXPECT_EQ(StudioEngine::kSwitchBackNoticeSeconds, 15);
  EXPECT_EQ(StudioEngine::kSavedCopyNoticeSeconds, 20);
}

TEST_F(StudioNotices, EachNoticeIsLoggedAndItsViewRunsItsAction) {
  int runs = 0;
  engine->post(StudioNotice("Camera is back.", Kind::info, std::string("Switch Back"), [&] { ++runs; }), 15);
  auto view = engine->noticeView();
  ASSERT_TRUE(view);
  view->performAction();
  EXPECT_EQ(runs, 1);
  engine->post(StudioNotice("Plain words.", Kind::warning), 6);
  EXPECT_EQ(logCount("Notice: Camera is back. [Switch Back]"), 1);
  EXPECT_EQ(logCount("Notice: Plain words."), 1);
}

TEST_F(StudioNotices, APendingDismissalDoesNotOutliveTheEngine) {
  engine->post(StudioNotice("A", Kind::info), 6);
  std::weak_ptr<StudioEngine> weak = engine;
  run(engine->close());
  engine.reset();
  EXPECT_TRUE(weak.expired());
  advance(7);  // the task finds no engine and ends
}

}  // namespace
}  // namespace quarzadel
