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

TEST(LaunchOptions, ReadsTheStudioToOpenAndRefusesValuesItCannotUseNamingTheChoices) {
  // The program's own runs show the rest of what is read.
  EXPECT_EQ(LaunchOptions::read(*withArguments({"-DemoMicLevel", "7"})).demoMicLevel, 1.0);
  const auto live = LaunchOptions::read(*withArguments({"-OpenStudio", "k", "-OpenStudioLive", "YES"}));
  EXPECT_FALSE(live.event->isTest);
  EXPECT_EQ(live.event->title, "Live Event");

  EXPECT_EQ(refusal({"-StreamCodec", "H264"}), "unknown value \"H264\" for StreamCodec: use \"h264\" or \"hevc\"");
  EXPECT_EQ(refusal({"-SyntheticSources", "maybe"}), "unknown value \"maybe\" for SyntheticSources: use YES or NO");
  EXPECT_EQ(refusal({"-DemoLiveElapsed", "soon"}), "unknown value \"soon\" for DemoLiveElapsed: use a number");
  EXPECT_EQ(refusal({"-OpenStudio", "a/b"}),
            "OpenStudio \"a/b\" is no stream key: it must be non-empty, without \"/\" or \"\\\"");
  EXPECT_EQ(refusal({"-SyntheticSources", "no", "-StudioAutoFailover", "1", "-RTMPServerOverride", ""}), "accepted");
}

TEST(LaunchOptions, AcceptsOnlyIngestURLsTheConnectionTakes) {
  for (const char* good : {"rtmp://127.0.0.1:1935/live", "RTMP://h/app/extra", "rtmps://[::1]:443/live"})
    EXPECT_TRUE(LaunchOptions::isUsableIngestURL(good)) << good;
  for (const char* bad : {"http://h/live", "rtmp://h", "rtmp://h/", "rtmp:///live", "rtmp://h:0/live",
                          "rtmp://h:70000/live", "rtmp://h /live", "127.0.0.1:1935/live"})
    EXPECT_FALSE(LaunchOptions::isUsableIngestURL(bad)) << bad;
  EXPECT_EQ(refusal({"-RTMPServerOverride", "http://127.0.0.1/live"}),
            "RTMPServerOverride \"http://127.0.0.1/live\" is not an ingest URL the connection accepts: use "
            "rtmp://HOST[:PORT]/APP or rtmps://HOST[:PORT]/APP");
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
  using D = QuitConfirmation::Decision;
  const auto live = StudioEngineStatus::live(platform::makeUtcDate(2026, 1, 1));
  struct Row {
    StudioEngineStatus status;
    bool confirmed;
    std::vector<D> decisions;  // for requests in a row
  };
  for (const auto& [status, confirmed, decisions] : std::vector<Row>{
           {StudioEngineStatus::ready(), false, {D::quit, D::ignore}},
           {live, false, {D::ask, D::quit, D::ignore}},  // the second request confirms
           {StudioEngineStatus::reconnecting(1, "x"), false, {D::ask, D::quit}},
           {live, true, {D::quit}},  // a terminate request needs no answer
           {StudioEngineStatus::stopping(), false, {D::waitForStop, D::ignore}}}) {
    QuitConfirmation q;
    for (size_t k = 0; k < decisions.size(); ++k) EXPECT_EQ(q.request(status, confirmed), decisions[k]) << k;
  }
  QuitConfirmation q;
  EXPECT_EQ(q.request(live), D::ask);
  q.decline();  // "no": the next request asks again
  EXPECT_EQ(q.request(live), D::ask);
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
