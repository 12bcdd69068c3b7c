// What a launch accepts and what it refuses with which message: values out of
// their sets, an unreadable defaults file, ingest URLs the connection refuses,
// a malformed scenario (its unknown action logged first), an unusable key;
// when a quit asks, waits or goes at once; and the wait for log uploads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Shell/LaunchOptions.h"
#include "Quarzadel/Shell/LogUploads.h"
#include "Quarzadel/Shell/QuitConfirmation.h"

namespace quarzadel {
namespace {

std::shared_ptr<platform::UserDefaults> withArguments(const std::vector<std::string>& arguments) {
  auto d = platform::UserDefaults::inMemory();
  d->setArguments(arguments);
  return d;
}

std::string refusal(const std::vector<std::string>& arguments) {
  try {
    LaunchOptions::read(*withArguments(arguments));
  } catch (const LaunchOptions::Error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(LaunchOptions, ReadsTheStudioToOpenWithItsEventAndTheShellsChoices) {
  auto d = withArguments({"-OpenStudio", "smoke", "-OpenStudioTitle", "Smoke", "-OpenStudioURL", "https://w/1",
                          "-RTMPServerOverride", "rtmp://127.0.0.1:1935/live", "-Events", "json", "-Scenario",
                          "golive; wait 20; stop; close", "-SyntheticSources", "YES", "-StreamCodec", "h264",
                          "-StudioResolution", "720p", "-StudioRecordLocally", "NO", "-MedleyLogLevel", "WARN"});
  const auto o = LaunchOptions::read(*d);
  ASSERT_TRUE(o.event);
  EXPECT_EQ(o.event->streamKey, "smoke");
  EXPECT_EQ(o.event->title, "Smoke");
  EXPECT_TRUE(o.event->isTest);  // not OpenStudioLive
  EXPECT_EQ(o.event->watchURL, std::optional<std::string>("https://w/1"));
  EXPECT_TRUE(o.jsonEvents);
  EXPECT_TRUE(o.syntheticSources);
  ASSERT_TRUE(o.scenario);
  EXPECT_EQ(o.scenario->steps().size(), 3u);

  const auto live = LaunchOptions::read(*withArguments({"-OpenStudio", "k", "-OpenStudioLive", "YES"}));
  EXPECT_FALSE(live.event->isTest);
  EXPECT_EQ(live.event->title, "Live Event");
  EXPECT_EQ(LaunchOptions::read(*withArguments({"-DemoMicLevel", "0.4"})).demoMicLevel, 0.4);
  EXPECT_EQ(LaunchOptions::read(*withArguments({"-DemoMicLevel", "7"})).demoMicLevel, 1.0);
  const auto nothing = LaunchOptions::read(*withArguments({}));
  EXPECT_FALSE(nothing.demoMicLevel);
  EXPECT_FALSE(nothing.event);
  EXPECT_FALSE(nothing.jsonEvents);
  EXPECT_FALSE(nothing.scenario);
}

TEST(LaunchOptions, RefusesValuesItCannotUseNamingTheDefault) {
  EXPECT_EQ(refusal({"-StudioResolution", "4k"}), "unknown value \"4k\" for StudioResolution: use \"720p\" or \"1080p\"");
  EXPECT_EQ(refusal({"-StreamCodec", "H264"}), "unknown value \"H264\" for StreamCodec: use \"h264\" or \"hevc\"");
  EXPECT_EQ(refusal({"-Events", "xml"}), "unknown value \"xml\" for Events: use \"json\"");
  EXPECT_EQ(refusal({"-StudioFraming", "stretch"}),
            "unknown value \"stretch\" for StudioFraming: use \"automatic\", \"fill\" or \"fit\"");
  EXPECT_EQ(refusal({"-MedleyLogLevel", "loud"}),
            "unknown value \"loud\" for MedleyLogLevel: use \"trace\", \"debug\", \"info\", \"warn\" or \"error\"");
  EXPECT_EQ(refusal({"-SyntheticSources", "maybe"}), "unknown value \"maybe\" for SyntheticSources: use YES or NO");
  EXPECT_EQ(refusal({"-DemoLiveElapsed", "soon"}), "unknown value \"soon\" for DemoLiveElapsed: use a number");
  EXPECT_EQ(refusal({"-OpenStudio", "a/b"}),
            "OpenStudio \"a/b\" is no stream key: it must be non-empty, without \"/\" or \"\\\"");
  EXPECT_EQ(refusal({"-SyntheticSources", "no", "-StudioAutoFailover", "1", "-DemoViewers", "12"}), "accepted");
}

TEST(LaunchOptions, AcceptsOnlyIngestURLsTheConnectionTakes) {
  for (const char* good : {"rtmp://127.0.0.1:1935/live", "rtmps://ingest.example/live", "RTMP://h/app/extra",
                           "rtmps://[::1]:443/live"})
    EXPECT_TRUE(LaunchOptions::isUsableIngestURL(good)) << good;
  for (const char* bad : {"http://h/live", "rtmp://h", "rtmp://h/", "rtmp:///live", "rtmp://h:0/live",
                          "rtmp://h:70000/live", "rtmp://h /live", "127.0.0.1:1935/live", ""})
    EXPECT_FALSE(LaunchOptions::isUsableIngestURL(bad)) << bad;
  EXPECT_EQ(refusal({"-RTMPServerOverride", "http://127.0.0.1/live"}),
            "RTMPServerOverride \"http://127.0.0.1/live\" is not an ingest URL the connection accepts: use "
            "rtmp://HOST[:PORT]/APP or rtmps://HOST[:PORT]/APP");
  EXPECT_EQ(refusal({"-RTMPServerOverride", ""}), "accepted");  // empty means none
}

TEST(LaunchOptions, AMalformedScenarioLogsItsUnknownActionThenGivesLineAndPosition) {
  platform::ScopedSystemLogCapture capture;
  EXPECT_EQ(refusal({"-Scenario", "golive;\nwait 2; jump; close"}),
            "Scenario line 2, position 9: unknown action \"jump\"");
  EXPECT_EQ(capture.sink().messages(), (std::vector<std::string>{"Scenario: unknown action jump"}));
  EXPECT_EQ(refusal({"-Scenario", "wait x"}),
            "Scenario line 1, position 6: \"wait\" needs a number that is not negative, not \"x\"");
}

TEST(LaunchOptions, AnUnreadableOrDamagedDefaultsFileIsRefused) {
  const auto dir = std::filesystem::temp_directory_path() / ("qz-launch-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "defaults.json";
  std::ofstream(file) << "{\"StudioResolution\": \"720p\"}";
  EXPECT_NO_THROW(LaunchOptions::read(*platform::UserDefaults::withFile(file)));
  std::ofstream(file) << "{not json";
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  std::ofstream(file) << "[1, 2]";
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  // A value from the file is checked like one from the command line.
  std::ofstream(file) << "{\"StreamCodec\": \"vp9\"}";
  EXPECT_THROW(LaunchOptions::read(*platform::UserDefaults::withFile(file)), LaunchOptions::Error);
  // A folder where the file should be cannot be read.
  std::filesystem::remove(file);
  std::filesystem::create_directories(file);
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  EXPECT_NO_THROW(LaunchOptions::checkDefaultsFile(dir / "missing.json"));
  std::filesystem::remove_all(dir);
}

TEST(QuitConfirmation, AsksWhileOnAirWaitsWhileStoppingAndQuitsAtOnceOtherwise) {
  const auto live = StudioEngineStatus::live(platform::makeUtcDate(2026, 1, 1));
  {
    QuitConfirmation q;
    EXPECT_EQ(q.request(StudioEngineStatus::ready()), QuitConfirmation::Decision::quit);
    EXPECT_EQ(q.request(StudioEngineStatus::ready()), QuitConfirmation::Decision::ignore);
  }
  for (const auto& onAir : {live, StudioEngineStatus::connecting(), StudioEngineStatus::reconnecting(1, "x")}) {
    QuitConfirmation q;
    EXPECT_EQ(q.request(onAir), QuitConfirmation::Decision::ask);
    EXPECT_TRUE(q.isAsking());
    EXPECT_EQ(q.request(onAir), QuitConfirmation::Decision::quit);  // the second request confirms
    EXPECT_TRUE(q.isQuitting());
    EXPECT_EQ(q.request(onAir), QuitConfirmation::Decision::ignore);
  }
  {
    QuitConfirmation q;
    EXPECT_EQ(q.request(live), QuitConfirmation::Decision::ask);
    q.decline();  // "no": the next request asks again
    EXPECT_EQ(q.request(live), QuitConfirmation::Decision::ask);
  }
  {
    QuitConfirmation q;  // a terminate request needs no answer
    EXPECT_EQ(q.request(live, /*confirmed=*/true), QuitConfirmation::Decision::quit);
  }
  {
    QuitConfirmation q;
    EXPECT_EQ(q.request(StudioEngineStatus::stopping()), QuitConfirmation::Decision::waitForStop);
    EXPECT_EQ(q.request(StudioEngineStatus::stopping()), QuitConfirmation::Decision::ignore);
  }
}

TEST(LogUploads, TerminationWaitsForEveryUploadStartedUpToItsBound) {
  std::vector<std::function<void(bool)>> inFlight;
  std::vector<std::filesystem::path> sent;
  auto uploads = LogUploads::make([&](const std::filesystem::path& file, std::function<void(bool)> done) {
    sent.push_back(file);
    inFlight.push_back(std::move(done));
  });
  EXPECT_TRUE(uploads->waitAll(0));  // nothing started
  uploads->upload("/logs/a.log");
  uploads->upload("/logs/b.log");
  EXPECT_EQ(sent, (std::vector<std::filesystem::path>{"/logs/a.log", "/logs/b.log"}));
  EXPECT_FALSE(uploads->waitAll(platform::milliseconds(5)));
  inFlight[0](true);
  EXPECT_EQ(uploads->pending(), 1);
  // The last one ends on another thread while the program waits.
  std::thread late([&] { inFlight[1](false); });
  EXPECT_TRUE(uploads->waitAll(platform::seconds(30)));
  late.join();
  EXPECT_EQ(uploads->pending(), 0);
}

}  // namespace
}  // namespace quarzadel
