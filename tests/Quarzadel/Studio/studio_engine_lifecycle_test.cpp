// The Studio engine's life on virtual time: opening once, the status that
// follows the publisher, going live and stopping with the copy, the power
// assertion and the event-status poller around them, and closing once.
#include "Quarzadel/Studio/studio_engine_fixture.h"

namespace quarzadel {
namespace {

using testing::ms;
using testing::StudioEngineFixture;
using State = RTMPPublisher::State;
using Status = StudioEngine::Status;

const platform::Date t0{std::chrono::seconds(1'800'000'100)};

struct StudioEngineLifecycle : StudioEngineFixture {};

TEST_F(StudioEngineLifecycle, StartingTwiceOpensOneSessionLogAndBecomesReadyOnce) {
  EXPECT_EQ(engine->status().value(), Status::starting());
  std::vector<Status> seen;
  auto watch = engine->status().subscribe([&](const Status& s) { seen.push_back(s); });
  run(engine->start());
  run(engine->start());
  EXPECT_EQ(engine->status().value(), Status::ready());
  EXPECT_EQ(seen, (std::vector<Status>{Status::starting(), Status::ready()}));
  EXPECT_EQ(files(folder / "logs").size(), 1u);
  EXPECT_EQ(logCount("Studio opened for \"Town Hall\" (event)"), 1);
  // Skipped prompts read as denied, without asking.
  EXPECT_EQ(engine->cameraPermission().value(), StudioEngine::Permission::denied);
  EXPECT_EQ(engine->microphonePermission().value(), StudioEngine::Permission::denied);
  EXPECT_EQ(logCount("Permissions: camera denied, microphone denied"), 1);
}

TEST_F(StudioEngineLifecycle, ClosingEndsTheSessionOnceAndUploadsItsLogUnlessSynthetic) {
  defaults->set("SyntheticSources", false);
  run(engine->close());  // never started: nothing
  EXPECT_EQ(logCount("Studio closed"), 0);
  run(engine->start());
  run(engine->close());
  run(engine->close());
  EXPECT_EQ(logCount("Studio closed"), 1);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].parent_path(), folder / "logs");
  EXPECT_FALSE(engine->isStarted());

  // With synthetic sources the log stays here.
  engine.reset();
  defaults->set("SyntheticSources", true);
  makeEngine();
  run(engine->start());
  run(engine->close());
  EXPECT_EQ(uploads.size(), 1u);
}

TEST_F(StudioEngineLifecycle, TheStatusFollowsThePublishersStates) {
  run(engine->start());
  reported.clear();
  std::vector<Status> storedWhenTold;
  engine->onStatusChange = [&](const Status& s) {
    reported.push_back(s);
    storedWhenTold.push_back(engine->status().value());
  };
  engine->publisherStateDidChange(State::connecting());
  engine->publisherStateDidChange(State::live(t0));
  engine->publisherStateDidChange(State::live(t0));  // the same live period: no change
  engine->publisherStateDidChange(State::reconnecting(2, "Timed out"));
  engine->publisherStateDidChange(State::reconnecting(2, "Timed out"));
  engine->publisherStateDidChange(State::reconnecting(3, "Timed out"));
  engine->publisherStateDidChange(State::live(t0 + std::chrono::seconds(9)));
  engine->publisherStateDidChange(State::stopping());
  engine->publisherStateDidChange(State::idle());
  const std::vector<Status> expected{Status::connecting(),
                                     Status::live(t0),
                                     Status::reconnecting(2, "Timed out"),
                                     Status::reconnecting(3, "Timed out"),
                                     Status::live(t0 + std::chrono::seconds(9)),
                                     Status::stopping(),
                                     Status::ready()};
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(storedWhenTold, expected);
}

TEST_F(StudioEngineLifecycle, ThePollerRunsFromLiveToReadyAndNeverWithAnIngestOverride) {
  run(engine->start());
  engine->publisherStateDidChange(State::connecting());
  EXPECT_FALSE(engine->eventPoller().isRunning());
  engine->publisherStateDidChange(State::live(t0));
  EXPECT_TRUE(engine->eventPoller().isRunning());
  engine->publisherStateDidChange(State::reconnecting(1, "Timed out"));
  EXPECT_TRUE(engine->eventPoller().isRunning());
  engine->publisherStateDidChange(State::stopping());
  EXPECT_TRUE(engine->eventPoller().isRunning());
  engine->publisherStateDidChange(State::idle());
  EXPECT_FALSE(engine->eventPoller().isRunning());

  defaults->set("RTMPServerOverride", "");  // empty counts as absent
  engine->publisherStateDidChange(State::live(t0));
  EXPECT_TRUE(engine->eventPoller().isRunning());
  engine->publisherStateDidChange(State::idle());

  defaults->set("RTMPServerOverride", "rtmp://override.test/live");
  engine->publisherStateDidChange(State::live(t0));
  EXPECT_FALSE(engine->eventPoller().isRunning());

  // Closing cancels a running poller.
  defaults->remove("RTMPServerOverride");
  engine->publisherStateDidChange(State::live(t0 + std::chrono::seconds(1)));
  EXPECT_TRUE(engine->eventPoller().isRunning());
  run(engine->close());
  EXPECT_FALSE(engine->eventPoller().isRunning());
}

TEST_F(StudioEngineLifecycle, GoingLivePublishesToTheEventsIngestOrTheOverride) {
  run(engine->start());
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(logged("Publish requested: rtmp://ingest.test/app/abcd"));
  EXPECT_EQ(engine->status().value(), Status::live(clock->now()));
  EXPECT_EQ(server->publishes, 1);

  // Ignored while live, connecting or reconnecting.
  engine->goLive();
  engine->publisherStateDidChange(State::reconnecting(1, "x"));
  engine->goLive();
  engine->publisherStateDidChange(State::connecting());
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_EQ(server->connectTimes.size(), 1u);
  run(engine->stop());
  EXPECT_EQ(engine->status().value(), Status::ready());

  defaults->set("RTMPServerOverride", "rtmp://override.test/live");
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(logged("Publish requested: rtmp://override.test/live/abcd"));
  EXPECT_FALSE(engine->eventPoller().isRunning());
}

TEST_F(StudioEngineLifecycle, ProblemsFollowThePublisherUntilTheNextGoLive) {
  run(engine->start());
  server->scripts = {testing::AttemptScript{testing::Step::fail(std::runtime_error("refused"))}};
  engine->goLive();
  advance(5);
  ASSERT_TRUE(engine->problem().value().has_value());
  EXPECT_TRUE(engine->problem().value()->rfind("Quarzadel can't reach the stream server (", 0) == 0);
  EXPECT_TRUE(engine->status().value().isReconnecting());
  run(engine->stop());
  EXPECT_EQ(engine->problem().value(), std::nullopt);

  // A problem still shown is cleared by the next go-live.
  engine->publisher()->onProblem(std::string("left over"));
  EXPECT_EQ(engine->problem().value(), "left over");
  engine->goLive();
  EXPECT_EQ(engine->problem().value(), std::nullopt);
}

TEST_F(StudioEngineLifecycle, ThePowerAssertionIsHeldFromGoingLiveToStopAndClose) {
  run(engine->start());
  EXPECT_FALSE(engine->power().isHolding());
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->power().isHolding());
  run(engine->stop());
  EXPECT_FALSE(engine->power().isHolding());

  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->power().isHolding());
  run(engine->close());
  EXPECT_FALSE(engine->power().isHolding());
}

TEST_F(StudioEngineLifecycle, GoingLiveWhileStoppingWaitsForTheStopToEnd) {
  engine->setSettings([&] {
    auto s = engine->settings().value();
    s.resolution = StreamConfig::Resolution::hd720;
    return s;
  }());
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
  EXPECT_TRUE(engine->recorder().recorder());
  EXPECT_EQ(server->connectTimes.size(), 2u);
  EXPECT_EQ(logCount("Notice: Saved a copy of your stream: " + firstCopy->filename().string() + " [Show in Finder]"), 1);

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

TEST_F(StudioEngineLifecycle, TheLocalCopyRunsFromGoingLiveToStopWithItsNotices) {
  run(engine->start());
  putCameraOnAir();
  advance(1);
  engine->goLive();
  runtime->runUntilIdle();
  auto url = engine->recordingURL().value();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->parent_path(), folder / "videos" / "Quarzadel");
  advance(2);
  run(engine->stop());
  EXPECT_FALSE(engine->recordingURL().value());
  auto notice = engine->notice().value();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->text(), "Saved a copy of your stream: " + url->filename().string());
  EXPECT_EQ(notice->kind(), StudioNotice::Kind::info);
  EXPECT_EQ(notice->actionTitle, "Show in Finder");
  EXPECT_TRUE(std::filesystem::file_size(*url) > 0);
  // Saved-copy notices stay 20 s.
  advance(19.5);
  EXPECT_TRUE(engine->notice().value());
  advance(1);
  EXPECT_FALSE(engine->notice().value());
}

TEST_F(StudioEngineLifecycle, ClosingWhileLiveFinishesTheCopy) {
  run(engine->start());
  putCameraOnAir();
  advance(1);
  engine->goLive();
  advance(1);
  auto url = engine->recordingURL().value();
  ASSERT_TRUE(url);
  run(engine->close());
  EXPECT_FALSE(engine->recorder().recorder());
  EXPECT_EQ(noticeText(), "Saved a copy of your stream: " + url->filename().string());
  EXPECT_EQ(engine->status().value(), Status::ready());
}

TEST_F(StudioEngineLifecycle, TheCopyIsRefusedWithoutRoomAndSkippedWhenNotWanted) {
  run(engine->start());
  freeSpace = 3'000'000'000;
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_EQ(noticeText(), "Not recording a copy on this Mac: less than 3 GB of free space.");
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::warning);
  EXPECT_FALSE(engine->recordingURL().value());
  EXPECT_TRUE(engine->status().value().isLive());  // going live goes on
  run(engine->stop());

  freeSpace = 3'000'000'001;
  engine->dismissNotice();
  auto settings = engine->settings().value();
  settings.recordLocally = false;
  engine->setSettings(settings);
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_FALSE(engine->recordingURL().value());
  EXPECT_FALSE(engine->notice().value());
  run(engine->stop());

  settings.recordLocally = true;
  engine->setSettings(settings);
  defaults->set("RecordLocally", false);
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_FALSE(engine->recordingURL().value());
  run(engine->stop());

  defaults->remove("RecordLocally");
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->recordingURL().value());
}

TEST_F(StudioEngineLifecycle, ProgramFramesReachThePreviewAndSoundLevelsTheMeter) {
  run(engine->start());
  EXPECT_FALSE(engine->preview()->latestFrame());
  float loudest = 0;
  auto watch = engine->level().subscribe([&](const AudioLevel& level) { loudest = std::max(loudest, level.peak); });
  putCameraOnAir();
  engine->audio()->switchTo(std::make_shared<SyntheticToneSource>());
  advance(3);  // the tone beeps every 2 s
  EXPECT_TRUE(engine->preview()->latestFrame());
  EXPECT_GT(loudest, 0.5f);
}

TEST_F(StudioEngineLifecycle, AVideoBitrateInKilobitsSaturatesInsteadOfOverflowing) {
  run(engine->start());
  engine->goLive();
  runtime->runUntilIdle();
  ASSERT_TRUE(engine->status().value().isLive());
  run(engine->setVideoBitrate(2500));
  EXPECT_EQ(logCount("Debug: video bitrate \u2192 2500 kbps"), 1);
  run(engine->setVideoBitrate(INT64_MAX / 1000 + 1));
  EXPECT_EQ(logCount("Debug: video bitrate \u2192 9223372036854775 kbps"), 1);
  run(engine->setVideoBitrate(INT64_MIN / 1000 - 1));
  EXPECT_EQ(logCount("Debug: video bitrate \u2192 -9223372036854775 kbps"), 1);
}

TEST_F(StudioEngineLifecycle, MutingLogsEveryAssignment) {
  run(engine->start());
  engine->setMuted(true);
  engine->setMuted(true);
  engine->setMuted(false);
  EXPECT_FALSE(engine->isMuted().value());
  EXPECT_EQ(logCount("Muted"), 2);
  EXPECT_EQ(logCount("Unmuted"), 1);
}

TEST_F(StudioEngineLifecycle, SettingsAreSavedWholeAndAppliedWhereTheyChanged) {
  run(engine->start());
  auto settings = engine->settings().value();
  settings.autoFailover = false;
  engine->setSettings(settings);
  for (const char* key : {"StudioResolution", "StudioFraming", "StudioTransition", "StudioMirrorPreview",
                          "StudioAutoFailover", "StudioRecordLocally"})
    EXPECT_TRUE(defaults->contains(key)) << key;
  EXPECT_EQ(engine->settings().value(), settings);

  settings.mirrorPreview = true;
  engine->setSettings(settings);
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->preview()->isMirrored());
  EXPECT_EQ(StudioSettings::load(*defaults), settings);

  // A new engine starts with what was saved.
  run(engine->close());
  makeEngine();
  EXPECT_EQ(engine->settings().value(), settings);
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->preview()->isMirrored());
}

TEST_F(StudioEngineLifecycle, AResolutionChangeReachesTheProgramPicture) {
  run(engine->start());
  putCameraOnAir();
  advance(1);
  auto settings = engine->settings().value();
  settings.resolution = StreamConfig::Resolution::hd720;
  engine->setSettings(settings);
  advance(1);
  auto frame = engine->preview()->latestFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width(), 1280);
  EXPECT_EQ(frame->height(), 720);
}

TEST_F(StudioEngineLifecycle, EventUpdatesArePublishedOnlyWhenSomethingChanged) {
  int published = 0;
  auto watch = engine->event().subscribe([&](const StudioEvent&) { ++published; });
  published = 0;
  engine->updateEvent({{"title", "Town Hall"}, {"liveViewers", 0}, {"streamKey", "other"}});
  EXPECT_EQ(published, 0);
  engine->updateEvent({{"liveViewers", "12"}, {"event_status", "live"}});
  EXPECT_EQ(published, 1);
  EXPECT_EQ(engine->event().value().liveViewers, 12);
  EXPECT_EQ(engine->event().value().eventStatus, "live");
  EXPECT_EQ(engine->event().value().streamKey, "abcdefghij");
}

TEST_F(StudioEngineLifecycle, AScreenShareThatEndsWithAReasonShowsItForSixSeconds) {
  run(engine->start());
  engine->screenShareDidStart(ScreenShare::Content::window);
  EXPECT_EQ(engine->screenShareName().value(), "Shared Window");
  EXPECT_EQ(engine->cameraBeforeShare(), "synthetic-a");  // the camera chosen at the start
  engine->screenShareDidStart(ScreenShare::Content::application);  // a new pick: only the label
  EXPECT_EQ(engine->screenShareName().value(), "Shared App");

  engine->screenShareDidStop(std::string("The shared window was closed."));
  EXPECT_EQ(engine->screenShareName().value(), std::nullopt);
  EXPECT_EQ(noticeText(), "The shared window was closed.");
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::info);
  advance(5.9);
  EXPECT_TRUE(engine->notice().value());
  advance(0.2);
  EXPECT_FALSE(engine->notice().value());

  engine->screenShareDidStart(ScreenShare::Content::display);
  EXPECT_EQ(engine->screenShareName().value(), "Shared Screen");
  const auto before = engine->notice().value();  // a share without content cannot go on air
  engine->screenShareDidStop(std::nullopt);
  EXPECT_EQ(engine->notice().value(), before) << "no reason, no notice";
}

TEST_F(StudioEngineLifecycle, CallbacksAfterTheEngineIsGoneAreDropped) {
  run(engine->start());
  auto publisher = engine->publisher();
  auto video = engine->video();
  run(engine->close());
  std::weak_ptr<StudioEngine> weak = engine;
  engine.reset();
  EXPECT_TRUE(weak.expired());
  publisher->onState(State::live(t0));
  publisher->onProblem(std::string("gone"));
  video->onEvent(ProgramEvent::onAir("synthetic-a", "A"));
  runtime->runUntilIdle();
}

}  // namespace
}  // namespace quarzadel
