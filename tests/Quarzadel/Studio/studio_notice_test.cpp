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
  advance(5.9);  // A's time has passed
  EXPECT_EQ(noticeText(), "B");
  advance(0.2);
  EXPECT_EQ(noticeText(), std::nullopt);

  // A dismissed notice stays dismissed: its timer ends without touching anything.
  engine->post(StudioNotice("C", Kind::info), 6);
  engine->dismissNotice();
  int changes = 0;
  auto watch = engine->notice().subscribe([&](const std::optional<StudioNotice>&) { ++changes; });
  changes = 0;
  advance(10);
  EXPECT_EQ(engine->notice().value(), std::nullopt);
  EXPECT_EQ(changes, 0);
}

TEST_F(StudioNotices, AnOldDismissalNeverClearsANewerNoticeOfTheSameText) {
  int runs = 0;
  engine->post(StudioNotice("Same", Kind::info, std::string("Switch Back"), [&] { ++runs; }), 6);
  auto oldView = engine->noticeView();
  ASSERT_TRUE(oldView);
  oldView->performAction();
  EXPECT_EQ(runs, 1);
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

}  // namespace
}  // namespace quarzadel
