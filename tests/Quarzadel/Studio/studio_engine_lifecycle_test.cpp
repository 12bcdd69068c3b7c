// The Studio engine's life on virtual time: opening once, the status that
// follows the publisher, going live and stopping with the copy, the power
// assertion and the event-status poller around them, notices, and closing once.
#include "Quarzadel/Studio/studio_engine_fixture.h"

namespace quarzadel {
namespace {

using testing::ms;
using testing::StudioEngineFixture;
using State = RTMPPublisher::State;
using Status = StudioEngine::Status;

const platform::Date t0{std::chrono::seconds(1'800'000'100)};

struct StudioEngineLifecycle : StudioEngineFixture {};

TEST_F(StudioEngineLifecycle, OpensAndClosesOnceAndUploadsItsLogUnlessSynthetic) {
  std::vector<Status> seen;
  auto watch = engine->status().subscribe([&](const Status& s) { seen.push_back(s); });
  run(engine->start());
  run(engine->start());
  EXPECT_EQ(seen, (std::vector<Status>{Status::starting(), Status::ready()}));
  EXPECT_EQ(files(folder / "logs").size(), 1u);
  run(engine->close());
  run(engine->close());
  EXPECT_EQ(logCount("Studio closed"), 1);
  EXPECT_TRUE(uploads.empty()) << "with synthetic sources the log stays here";

  defaults->set("SyntheticSources", false);
  makeEngine();
  run(engine->close());  // never started: nothing
  EXPECT_EQ(logCount("Studio closed"), 1);
  run(engine->start());
  run(engine->close());
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].parent_path(), folder / "logs");
}

TEST_F(StudioEngineLifecycle, TheStatusAndThePollerFollowThePublishersStates) {
  run(engine->start());
  reported.clear();
  std::vector<Status> storedWhenTold;
  engine->onStatusChange = [&](const Status& s) {
    reported.push_back(s);
    storedWhenTold.push_back(engine->status().value());
  };
  std::vector<bool> polling;
  for (const auto& state : {State::connecting(), State::live(t0), State::live(t0), State::reconnecting(2, "Timed out"),
                            State::reconnecting(2, "Timed out"), State::reconnecting(3, "Timed out"),
                            State::live(t0 + std::chrono::seconds(9)), State::stopping(), State::idle()}) {
    engine->publisherStateDidChange(state);
    polling.push_back(engine->eventPoller().isRunning());
  }
  const std::vector<Status> expected{Status::connecting(), Status::live(t0), Status::reconnecting(2, "Timed out"),
                                     Status::reconnecting(3, "Timed out"), Status::live(t0 + std::chrono::seconds(9)),
                                     Status::stopping(), Status::ready()};
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(storedWhenTold, expected);
  EXPECT_EQ(polling, (std::vector<bool>{false, true, true, true, true, true, true, true, false}));

  // Never with an ingest override; closing cancels a running poller.
  defaults->set("RTMPServerOverride", "rtmp://override.test/live");
  engine->publisherStateDidChange(State::live(t0));
  EXPECT_FALSE(engine->eventPoller().isRunning());
  defaults->set("RTMPServerOverride", "");
  engine->publisherStateDidChange(State::live(t0 + std::chrono::seconds(1)));
  EXPECT_TRUE(engine->eventPoller().isRunning());
  run(engine->close());
  EXPECT_FALSE(engine->eventPoller().isRunning());
}

TEST_F(StudioEngineLifecycle, GoingLiveHoldsThePowerAssertionAndClearsTheProblemsOfTheLastPeriod) {
  run(engine->start());
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(logged("Publish requested: rtmp://ingest.test/app/abcd\u2026"));  // the key masked
  EXPECT_EQ(engine->status().value(), Status::live(clock->now()));
  EXPECT_TRUE(engine->power().isHolding());
  // Ignored while live, connecting or reconnecting.
  for (const auto& state : {State::reconnecting(1, "x"), State::connecting()}) {
    engine->goLive();
    engine->publisherStateDidChange(state);
  }
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_EQ(server->connectTimes.size(), 1u);
  run(engine->stop());

  // Problems follow the publisher until the stop; one still shown is cleared by the next go-live.
  server->scripts = {testing::AttemptScript{testing::Step::fail(std::runtime_error("refused"))}};
  engine->goLive();
  advance(5);
  ASSERT_TRUE(engine->problem().value().has_value());
  EXPECT_TRUE(engine->status().value().isReconnecting());
  run(engine->stop());
  EXPECT_EQ(engine->problem().value(), std::nullopt);
  engine->publisher()->onProblem(std::string("left over"));
  server->scripts = {testing::AttemptScript{}};
  engine->goLive();
  EXPECT_EQ(engine->problem().value(), std::nullopt);
  run(engine->close());
  EXPECT_FALSE(engine->power().isHolding());
}

TEST_F(StudioEngineLifecycle, GoingLiveWhileStoppingWaitsForTheStopToEnd) {
  run(engine->start());
  putCameraOnAir();
  engine->goLive();
  advance(1);
  ASSERT_TRUE(engine->status().value().isLive());
  const auto firstCopy = engine->recordingURL().value();
  ASSERT_TRUE(firstCopy);

  // The stream's close hangs for a while, so the stop is in flight.
  server->scripts[0].streamClose = testing::Step::ok(ms(800));
  auto stopped = launch(engine->stop());
  ASSERT_EQ(engine->status().value(), Status::stopping());
  clock->advance(std::chrono::seconds(2));
  engine->goLive();  // the host presses Start again while stopping
  advance(0.3);
  EXPECT_FALSE(*stopped);
  while (!*stopped) advance(0.05);
  advance(1);

  // The stop ended the first period only: the second has its own copy and
  // power assertion and is live.
  EXPECT_TRUE(engine->status().value().isLive()) << engine->status().value().description();
  EXPECT_TRUE(engine->power().isHolding());
  auto secondCopy = engine->recordingURL().value();
  ASSERT_TRUE(secondCopy);
  EXPECT_NE(*secondCopy, *firstCopy);
  EXPECT_EQ(server->connectTimes.size(), 2u);

  run(engine->stop());
  EXPECT_FALSE(engine->power().isHolding());
  EXPECT_FALSE(engine->recordingURL().value());
  EXPECT_EQ(files(folder / "videos").size(), 2u);
}

TEST_F(StudioEngineLifecycle, AStopAfterAStartDuringAStopLeavesTheStudioReady) {
  run(engine->start());
  engine->goLive();
  advance(0.5);
  ASSERT_TRUE(engine->status().value().isLive());
  server->scripts[0].streamClose = testing::Step::ok(ms(800));
  auto first = launch(engine->stop());
  engine->goLive();
  auto second = launch(engine->stop());  // the host changed their mind again
  advance(3);
  EXPECT_TRUE(*first);
  EXPECT_TRUE(*second);
  EXPECT_EQ(engine->status().value(), Status::ready());
  EXPECT_FALSE(engine->power().isHolding());
  EXPECT_EQ(server->connectTimes.size(), 1u);
}

TEST_F(StudioEngineLifecycle, TheLocalCopyRunsFromGoingLiveToStopOrCloseWhenWantedAndThereIsRoom) {
  run(engine->start());
  putCameraOnAir();
  auto copyMade = [&](bool close = false) {
    engine->goLive();
    advance(1);
    EXPECT_TRUE(engine->status().value().isLive());  // going live goes on in any case
    const auto url = engine->recordingURL().value();
    run(close ? engine->close() : engine->stop());
    EXPECT_FALSE(engine->recorder().recorder());
    if (url) EXPECT_EQ(noticeText(), "Saved a copy of your stream: " + url->filename().string());
    return url.has_value();
  };
  ASSERT_TRUE(copyMade());
  // Saved-copy notices stay 20 s.
  advance(19.5);
  EXPECT_TRUE(engine->notice().value());
  advance(1);
  EXPECT_FALSE(engine->notice().value());

  freeSpace = 3'000'000'000;
  EXPECT_FALSE(copyMade());
  EXPECT_EQ(noticeText(), "Not recording a copy on this computer: less than 3 GB of free space.");
  freeSpace = 3'000'000'001;
  engine->dismissNotice();
  auto settings = engine->settings().value();
  settings.recordLocally = false;
  engine->setSettings(settings);
  EXPECT_FALSE(copyMade());
  EXPECT_FALSE(engine->notice().value());
  settings.recordLocally = true;
  engine->setSettings(settings);
  defaults->set("RecordLocally", false);
  EXPECT_FALSE(copyMade());
  defaults->remove("RecordLocally");
  clock->advance(std::chrono::seconds(5));
  EXPECT_TRUE(copyMade(/*close=*/true));
  EXPECT_EQ(files(folder / "videos" / "Quarzadel").size(), 2u);
}

TEST_F(StudioEngineLifecycle, AVideoBitrateInKilobitsSaturatesInsteadOfOverflowing) {
  run(engine->start());
  engine->goLive();
  runtime->runUntilIdle();
  ASSERT_TRUE(engine->status().value().isLive());
  run(engine->setVideoBitrate(INT64_MAX / 1000 + 1));
  EXPECT_EQ(logCount("Debug: video bitrate \u2192 9223372036854775 kbps"), 1);
  run(engine->setVideoBitrate(INT64_MIN / 1000 - 1));
  EXPECT_EQ(logCount("Debug: video bitrate \u2192 -9223372036854775 kbps"), 1);
}

TEST_F(StudioEngineLifecycle, SettingsAreSavedWholeAndReachTheProgramAndThePreview) {
  run(engine->start());
  putCameraOnAir();
  auto settings = engine->settings().value();
  settings.autoFailover = false;
  settings.mirrorPreview = true;
  settings.resolution = StreamConfig::Resolution::hd720;
  engine->setSettings(settings);
  advance(1);
  auto frame = engine->preview()->latestFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(std::pair(frame->width(), frame->height()), std::pair(1280, 720));
  EXPECT_TRUE(engine->preview()->isMirrored());

  // A new engine starts with what was saved.
  run(engine->close());
  makeEngine();
  EXPECT_EQ(engine->settings().value(), settings);
}

// The Studio has one notice: a newer one replaces an older at once, each clears
// itself after its own time, and neither an old dismissal nor an old view can
// clear a newer notice, even one with the same text.
TEST_F(StudioEngineLifecycle, ANewerNoticeReplacesTheOlderAndKeepsItsOwnFullTime) {
  run(engine->start());
  engine->post(StudioNotice("A", StudioNotice::Kind::info), 6);
  advance(2);
  engine->post(StudioNotice("B", StudioNotice::Kind::warning), 6);
  EXPECT_EQ(noticeText(), "B");
  advance(5.9);  // A's time has passed
  EXPECT_EQ(noticeText(), "B");
  advance(0.2);
  EXPECT_EQ(noticeText(), std::nullopt);

  // A dismissed notice stays dismissed: its timer ends without touching anything.
  engine->post(StudioNotice("C", StudioNotice::Kind::info), 6);
  engine->dismissNotice();
  int changes = 0;
  auto watch = engine->notice().subscribe([&](const std::optional<StudioNotice>&) { ++changes; });
  const int atSubscribing = changes;
  advance(10);
  EXPECT_EQ(changes, atSubscribing);
}

TEST_F(StudioEngineLifecycle, AnOldDismissalNeverClearsANewerNoticeOfTheSameText) {
  run(engine->start());
  int runs = 0;
  engine->post(StudioNotice("Same", StudioNotice::Kind::info, std::string("Switch Back"), [&] { ++runs; }), 6);
  auto oldView = engine->noticeView();
  ASSERT_TRUE(oldView);
  oldView->performAction();
  EXPECT_EQ(runs, 1);
  advance(5.5);
  engine->post(StudioNotice("Same", StudioNotice::Kind::info), 6);
  const auto newer = engine->notice().value();
  advance(1);  // past the first notice's time
  EXPECT_EQ(engine->notice().value(), newer);
  oldView->dismiss();  // the old view's control is late
  EXPECT_EQ(engine->notice().value(), newer);
  engine->noticeView()->dismiss();
  EXPECT_FALSE(engine->notice().value() || engine->noticeView());
}

TEST_F(StudioEngineLifecycle, TheLevelReachesTheMainQueueOnlyWhenItChanges) {
  std::vector<AudioLevel> seen;
  auto sub = engine->level().subscribe([&](const AudioLevel& level) { seen.push_back(level); });
  seen.clear();  // the value it starts with
  for (AudioLevel level : {AudioLevel{0, 0}, AudioLevel{0, 0}, AudioLevel{0.5f, 0.7f}, AudioLevel{0.5f, 0.7f},
                           AudioLevel{0, 0}})
    engine->audio()->onLevel(level);
  runtime->runUntilIdle();
  EXPECT_EQ(seen, (std::vector<AudioLevel>{{0, 0}, {0.5f, 0.7f}, {0, 0}}));
}

TEST_F(StudioEngineLifecycle, CallbacksAndTimersAfterTheEngineIsGoneAreDropped) {
  run(engine->start());
  auto publisher = engine->publisher();
  auto video = engine->video();
  engine->post(StudioNotice("A", StudioNotice::Kind::info), 6);
  run(engine->close());
  std::weak_ptr<StudioEngine> weak = engine;
  engine.reset();
  EXPECT_TRUE(weak.expired());
  publisher->onState(State::live(t0));
  publisher->onProblem(std::string("gone"));
  video->onEvent(ProgramEvent::onAir("synthetic-a", "A"));
  advance(7);  // the notice's timer finds no engine
}

}  // namespace
}  // namespace quarzadel
