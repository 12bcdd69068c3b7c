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

TEST_F(StudioEngineLifecycle, OpensAndClosesOnceAndUploadsItsLogUnlessSynthetic) {
  EXPECT_EQ(engine->status().value(), Status::starting());
  std::vector<Status> seen;
  auto watch = engine->status().subscribe([&](const Status& s) { seen.push_back(s); });
  run(engine->start());
  run(engine->start());
  EXPECT_EQ(seen, (std::vector<Status>{Status::starting(), Status::ready()}));
  EXPECT_EQ(files(folder / "logs").size(), 1u);
  EXPECT_EQ(logCount("Studio opened for \"Town Hall\" (event)"), 1);
  // Skipped prompts read as denied, without asking.
  EXPECT_EQ(engine->cameraPermission().value(), StudioEngine::Permission::denied);
  EXPECT_EQ(engine->microphonePermission().value(), StudioEngine::Permission::denied);
  EXPECT_EQ(logCount("Permissions: camera denied, microphone denied"), 1);
  // Every mute assignment is logged, repeats too.
  engine->setMuted(true);
  engine->setMuted(true);
  engine->setMuted(false);
  EXPECT_EQ(logCount("Muted"), 2);
  EXPECT_EQ(logCount("Unmuted"), 1);
  // Event updates are published only when something changed; the key never changes.
  int published = 0;
  auto watchEvent = engine->event().subscribe([&](const StudioEvent&) { ++published; });
  published = 0;
  engine->updateEvent({{"title", "Town Hall"}, {"liveViewers", 0}, {"streamKey", "other"}});
  EXPECT_EQ(published, 0);
  engine->updateEvent({{"liveViewers", "12"}, {"event_status", "live"}});
  EXPECT_EQ(published, 1);
  EXPECT_EQ(engine->event().value().liveViewers, 12);
  EXPECT_EQ(engine->event().value().streamKey, "abcdefghij");
  run(engine->close());
  run(engine->close());
  EXPECT_EQ(logCount("Studio closed"), 1);
  EXPECT_FALSE(engine->isStarted());
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
  const std::vector<Status> expected{Status::connecting(),
                                     Status::live(t0),
                                     Status::reconnecting(2, "Timed out"),
                                     Status::reconnecting(3, "Timed out"),
                                     Status::live(t0 + std::chrono::seconds(9)),
                                     Status::stopping(),
                                     Status::ready()};
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(storedWhenTold, expected);
  EXPECT_EQ(polling, (std::vector<bool>{false, true, true, true, true, true, true, true, false}));

  // Never with an ingest override; an empty one counts as absent.
  defaults->set("RTMPServerOverride", "");
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

TEST_F(StudioEngineLifecycle, GoingLiveHoldsThePowerAssertionAndPublishesToTheIngestOrTheOverride) {
  run(engine->start());
  EXPECT_FALSE(engine->power().isHolding());
  engine->goLive();
  runtime->runUntilIdle();
  EXPECT_TRUE(logged("Publish requested: rtmp://ingest.test/app/abcd"));
  EXPECT_EQ(engine->status().value(), Status::live(clock->now()));
  EXPECT_TRUE(engine->power().isHolding());

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
  EXPECT_FALSE(engine->power().isHolding());

  // Problems follow the publisher until the stop; one still shown is cleared by the next go-live.
  server->scripts = {testing::AttemptScript{testing::Step::fail(std::runtime_error("refused"))}};
  engine->goLive();
  advance(5);
  ASSERT_TRUE(engine->problem().value().has_value());
  EXPECT_TRUE(engine->problem().value()->starts_with("Quarzadel can't reach the stream server ("));
  EXPECT_TRUE(engine->status().value().isReconnecting());
  run(engine->stop());
  EXPECT_EQ(engine->problem().value(), std::nullopt);
  engine->publisher()->onProblem(std::string("left over"));
  EXPECT_EQ(engine->problem().value(), "left over");
  server->scripts = {testing::AttemptScript{}};
  defaults->set("RTMPServerOverride", "rtmp://override.test/live");
  engine->goLive();
  EXPECT_EQ(engine->problem().value(), std::nullopt);
  runtime->runUntilIdle();
  EXPECT_TRUE(logged("Publish requested: rtmp://override.test/live/abcd"));
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

TEST_F(StudioEngineLifecycle, TheLocalCopyRunsFromGoingLiveToStopOrClose) {
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

  // Closing while live finishes the copy too.
  clock->advance(std::chrono::seconds(5));
  engine->goLive();
  advance(1);
  url = engine->recordingURL().value();
  ASSERT_TRUE(url);
  run(engine->close());
  EXPECT_FALSE(engine->recorder().recorder());
  EXPECT_EQ(noticeText(), "Saved a copy of your stream: " + url->filename().string());
  EXPECT_EQ(engine->status().value(), Status::ready());
}

TEST_F(StudioEngineLifecycle, TheCopyIsRefusedWithoutRoomAndSkippedWhenNotWanted) {
  run(engine->start());
  auto copyMade = [&] {
    engine->goLive();
    runtime->runUntilIdle();
    const bool made = engine->recordingURL().value().has_value();
    EXPECT_TRUE(engine->status().value().isLive());  // going live goes on
    run(engine->stop());
    return made;
  };
  freeSpace = 3'000'000'000;
  EXPECT_FALSE(copyMade());
  EXPECT_EQ(noticeText(), "Not recording a copy on this Mac: less than 3 GB of free space.");
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::warning);

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
  EXPECT_TRUE(copyMade());
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

TEST_F(StudioEngineLifecycle, SettingsAreSavedWholeAndReachTheProgramAndThePreview) {
  run(engine->start());
  float loudest = 0;
  auto watch = engine->level().subscribe([&](const AudioLevel& level) { loudest = std::max(loudest, level.peak); });
  putCameraOnAir();
  engine->audio()->switchTo(std::make_shared<SyntheticToneSource>());
  auto settings = engine->settings().value();
  settings.autoFailover = false;
  settings.mirrorPreview = true;
  settings.resolution = StreamConfig::Resolution::hd720;
  engine->setSettings(settings);
  advance(3);  // the tone beeps every 2 s
  EXPECT_GT(loudest, 0.5f);
  auto frame = engine->preview()->latestFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width(), 1280);
  EXPECT_EQ(frame->height(), 720);
  EXPECT_TRUE(engine->preview()->isMirrored());
  EXPECT_EQ(StudioSettings::load(*defaults), settings);

  // A new engine starts with what was saved.
  run(engine->close());
  makeEngine();
  EXPECT_EQ(engine->settings().value(), settings);
  runtime->runUntilIdle();
  EXPECT_TRUE(engine->preview()->isMirrored());
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
