#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "LogTestSupport.h"
#include "Platform/Log/SystemLog.h"
#include "Platform/Time/HostClock.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/SessionLog.h"

namespace quarzadel {
namespace {

using platform::LogType;

constexpr const char* kEngine = "/src/Quarzadel/Studio/StudioEngine.cpp";

struct Camera {
  std::string name;
};
struct Source {
  std::string displayName() const { return "FaceTime HD Camera"; }
};
struct Stats {
  int uploadKbps = 2500;
  std::string codec = "HEVC";
  int targetKbps = 3000;
  int fps = 30;
  int queuedKB = 12;
};
enum class Content { display, window, application };

// Each entry is checked at both destinations: the system log entry and the
// session-log line (without its time).
class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SessionLog::shared()->startSession("catalogue/key");
    capture_.sink().clear();
  }
  void TearDown() override { SessionLog::shared()->close(); }

  struct Written {
    std::vector<platform::CapturingSystemLogSink::Entry> system;
    std::vector<std::string> session;  // lines after the first, without their time
  };
  Written written() {
    SessionLog::shared()->flush();
    Written w{capture_.sink().entries(), {}};
    auto files = testing::filesIn(dir_.path() / "Quarzadel");
    if (files.size() == 1) {
      auto lines = testing::readLines(files[0]);
      for (size_t k = 1; k < lines.size(); ++k) w.session.push_back(testing::withoutTime(lines[k]));
    }
    return w;
  }
  // Exactly one record in each destination, of the level and text given.
  void expectOne(LogType type, const std::string& level, const std::string& category, const std::string& message) {
    auto w = written();
    ASSERT_EQ(w.system.size(), 1u);
    EXPECT_EQ(w.system[0].type, type);
    EXPECT_EQ(w.system[0].subsystem, "quarzadel.mac");
    EXPECT_EQ(w.system[0].category, "app");
    EXPECT_EQ(w.system[0].message, message);
    ASSERT_EQ(w.session.size(), 1u);
    EXPECT_EQ(w.session[0], "[" + level + "] [" + category + "] " + message);
    reset();
  }
  void info(const std::string& message, const std::string& category = "StudioEngine") {
    expectOne(LogType::info, "INFO", category, message);
  }
  void warn(const std::string& message, const std::string& category = "StudioEngine") {
    expectOne(LogType::error, "WARN", category, message);
  }
  void error(const std::string& message, const std::string& category = "StudioEngine") {
    expectOne(LogType::error, "ERROR", category, message);
  }
  // A fresh file for the next entry.
  void reset() {
    SessionLog::shared()->close();
    for (auto& f : testing::filesIn(dir_.path() / "Quarzadel")) std::filesystem::remove(f);
    SessionLog::shared()->startSession("catalogue/key");
    capture_.sink().clear();
  }

  testing::ScopedTempDir dir_;
  testing::ScopedEnv state_{"XDG_STATE_HOME", dir_.path().string()};
  testing::ScopedDefaults defaults_;
  platform::ScopedSystemLogCapture capture_;
};

TEST_F(CatalogueTest, ApplicationShellEntries) {
  defaults_->set("BaseURL", "http://127.0.0.1:8080/app");
  Log::appLaunched("/src/Quarzadel/App/AppDelegate.cpp");
  info("Quarzadel for Mac " + appVersion() + " (" + appBuild() + ") launched on " + systemDescription() +
           "; web app http://127.0.0.1:8080/app",
       "AppDelegate");
  defaults_->set("BaseURL", "ftp://files.example");
  Log::appLaunched(kEngine);
  EXPECT_NE(written().system.at(0).message.find("; web app https://app.quarzadel.com/"), std::string::npos);
  reset();

  Log::appLinkOpensStudio("live_abcdefgh12345", kEngine);
  info("App link: Studio for live_abcdefgh12345");  // whole, not masked
  Log::installingWaitingUpdate("/src/Updates.cpp");
  info("Stream ended: installing the waiting update", "Updates");
  Log::updateWaitsForStreamEnd("2.4.1", kEngine);
  info("Update 2.4.1 waits until the stream ends");
  Log::updateCheckFinished({}, kEngine);
  info("Update check: no items available");
  Log::updateCheckFinished({"2.5", "2.4"}, kEngine);
  info("Update check: 2.5 available");
}

TEST_F(CatalogueTest, ScenarioAndSnapshotEntries) {
  Log::appScenarioStep(0.25, "click", std::string(200, 'a'), kEngine);
  info("App scenario @0.25s: click " + std::string(80, 'a'));
  Log::appScenarioStep(2.0, "reload", "", kEngine);
  info("App scenario @2.0s: reload ");
  // Characters, not bytes: 80 arrows are 240 bytes.
  std::string arrows;
  for (int i = 0; i < 100; ++i) arrows += "→";
  Log::appScenarioStep(1.5, "type", arrows, kEngine);
  info("App scenario @1.5s: type " + arrows.substr(0, 240));

  std::regex step(R"(\[INFO\] \[DebugScenario\] Scenario step @3\.0s host=\d+\.\d{3}: camera)");
  Log::scenarioStep(3.0, "camera", std::nullopt, "/src/DebugScenario.cpp");
  EXPECT_TRUE(std::regex_match(written().session.at(0), step)) << written().session.at(0);
  reset();
  Log::scenarioStep(3.0, "camera", "FaceTime", "/src/DebugScenario.cpp");
  EXPECT_TRUE(written().session.at(0).ends_with(": camera:FaceTime"));
  reset();
  double before = platform::HostClock::shared()->nowSeconds();
  Log::scenarioLoaded(12, kEngine);
  std::smatch m;
  std::string line = written().session.at(0);
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(\[INFO\] \[StudioEngine\] Scenario: 12 steps, t0 host=(\d+\.\d{3}))")))
      << line;
  EXPECT_NEAR(std::stod(m[1]), before, 1.0);
  reset();

  defaults_->set("SnapshotDir", "/tmp/qz-snapshots");
  Log::snapshotsWritten("after-start", "/src/DebugSnapshots.cpp");
  info("Snapshots written: after-start → /tmp/qz-snapshots", "DebugSnapshots");
}

TEST_F(CatalogueTest, StudioEngineEntries) {
  Log::studioOpened("Town hall", true, kEngine);
  info("Studio opened for \"Town hall\" (test)");
  Log::studioOpened("Launch", false, kEngine);
  info("Studio opened for \"Launch\" (event)");
  Log::permissions("granted", "denied", kEngine);
  info("Permissions: camera granted, microphone denied");
  Log::permissionsChanged("granted", "granted", kEngine);
  info("Permissions changed: camera granted, microphone granted");
  Log::switchingCamera(Source{}, kEngine);
  info("Switching camera to FaceTime HD Camera");
  Log::switchingMicrophone(std::make_shared<Source>(), kEngine);
  info("Switching microphone to FaceTime HD Camera");
  Log::muteChanged(true, kEngine);
  info("Muted");
  Log::muteChanged(false, kEngine);
  info("Unmuted");
  Log::cameraAvailableAgain(Camera{"Desk Cam"}, kEngine);
  info("Camera available again: Desk Cam");
  Log::sourceBack(Camera{"Desk Cam"}, kEngine);
  info("Desk Cam is back: putting it on air again");
  Log::sourceSuspendedWaiting("Lid Cam", kEngine);
  info("Lid Cam is suspended: waiting for it");
  Log::reopening("USB Mic", kEngine);
  info("Reopening USB Mic");
  Log::studioClosed(kEngine);
  info("Studio closed");
}

TEST_F(CatalogueTest, PublisherAndRecorderEntries) {
  constexpr const char* kPublisher = "/src/Quarzadel/Publish/RTMPPublisher.cpp";
  StreamConfig hd;
  hd.frameRate = 29.97;
  Log::publishRequested("rtmps://ingest.example:443/live", "abcd1234567890123456", hd, kPublisher);
  info("Publish requested: rtmps://ingest.example:443/live/abcd…56 1920x1080@29", "RTMPPublisher");
  StreamConfig small;
  small.resolution = StreamConfig::Resolution::hd720;
  Log::publishRequested("live", "abc123", small, kPublisher);
  info("Publish requested: live/abc123 1280x720@30", "RTMPPublisher");

  Log::encoderConfigured(StreamConfig::VideoCodec::h264, small, 2'499'999, true, kPublisher);
  info("Encoder: H.264 1280x720@30 CBR 2499 kbps, audio 96 kbps", "RTMPPublisher");
  Log::encoderConfigured(StreamConfig::VideoCodec::hevc, hd, 6'000'000, false, kPublisher);
  info("Encoder: HEVC 1920x1080@29 ABR 6000 kbps, audio 96 kbps", "RTMPPublisher");
  Log::publishing(2, 1.2345, kPublisher);
  info("Publishing (attempt 2, 1.23 s)", "RTMPPublisher");
  Log::uploadStats(Stats{}, 0.26, kPublisher);
  info("Upload 2500 kbps · HEVC 3000 kbps · 30 fps · 12 KB queued (0.3 s)", "RTMPPublisher");
  Log::debugVideoBitrate(2'999'999, kPublisher);
  info("Debug: video bitrate → 2999 kbps", "RTMPPublisher");
  Log::uplinkRecovered("video bitrate 2000 → 2500 kbps (upload 3100 kbps, 4 KB queued)", kPublisher);
  info("Uplink recovered: video bitrate 2000 → 2500 kbps (upload 3100 kbps, 4 KB queued)", "RTMPPublisher");
  Log::networkChanged(false, kPublisher);
  info("Network unavailable", "RTMPPublisher");
  Log::networkChanged(true, kPublisher);
  info("Network available", "RTMPPublisher");
  Log::publishStoppedByUser(kPublisher);
  info("Publish stopped by user", "RTMPPublisher");

  constexpr const char* kRecorder = "/src/Quarzadel/Record/LocalRecorder.cpp";
  Log::recordingCopy("/home/host/Videos/Town hall 2026.mp4", true, 10'000'000, kRecorder);
  info("Recording a copy to Town hall 2026.mp4 (HEVC 10 Mbps)", "LocalRecorder");
  Log::recordingCopy("/v/r.mp4", false, 16'999'999, kRecorder);
  info("Recording a copy to r.mp4 (H.264 16 Mbps)", "LocalRecorder");
  Log::recordingFinished(true, "/v/r.mp4", std::nullopt, 0, kRecorder);
  info("Recording saved: r.mp4  dropped=0", "LocalRecorder");
  Log::recordingFinished(false, "/v/r.mp4", LogError("The disk is full."), 17, kRecorder);
  info("Recording failed: r.mp4 The disk is full. dropped=17", "LocalRecorder");
}

TEST_F(CatalogueTest, CaptureAndPipelineEntries) {
  Log::cameraStarted("Desk Cam", "1920x1080 NV12 30fps", "/src/CameraCapture.cpp");
  info("Camera started: Desk Cam [1920x1080 NV12 30fps]", "CameraCapture");
  Log::cameraReconfigured("Desk Cam", "1280x720 NV12 30fps", "/src/CameraCapture.cpp");
  info("Camera Desk Cam reconfigured: 1280x720 NV12 30fps", "CameraCapture");
  Log::cameraSuspensionChanged("Built-in", true, "/src/DeviceCatalog.cpp");
  info("Camera Built-in suspended (lid closed or cover shut)", "DeviceCatalog");
  Log::cameraSuspensionChanged("Built-in", false, "/src/DeviceCatalog.cpp");
  info("Camera Built-in resumed", "DeviceCatalog");
  Log::microphoneStarted("USB Mic", 2, "/src/MicCapture.cpp");
  info("Microphone started: USB Mic (2 ch)", "MicCapture");
  Log::microphoneOnAir("Test Tone", "/src/ProgramAudio.cpp");
  info("Microphone on air: Test Tone", "ProgramAudio");
  Log::slowProgramRender(0.0519, std::nullopt, false, "/src/ProgramVideo.cpp");
  info("Slow program render: 51 ms (slate)", "ProgramVideo");
  Log::slowProgramRender(0.0999, "Desk Cam", true, "/src/ProgramVideo.cpp");
  info("Slow program render: 99 ms (Desk Cam, dissolving)", "ProgramVideo");
  Log::onAir(Source{}, "/src/ProgramVideo.cpp");
  info("On air: FaceTime HD Camera", "ProgramVideo");
  Log::programBackOnLiveFrames(10.5, 10.0, "Desk Cam", "/src/ProgramVideo.cpp");
  info("Program back on live frames after 500 ms (Desk Cam)", "ProgramVideo");
  Log::sourceReopening(Source{}, "/src/ProgramVideo.cpp");
  info("FaceTime HD Camera didn't resume by itself: reopening it", "ProgramVideo");
  Log::screenShareStarted(Content::display, 1512.9, 982.2, "/src/ScreenShare.cpp");
  info("Screen share started: Shared Screen 1512x982 pt", "ScreenShare");
  Log::screenShareStarted(Content::window, 800, 600, "/src/ScreenShare.cpp");
  info("Screen share started: Shared Window 800x600 pt", "ScreenShare");
  Log::screenShareChanged(Content::application, "/src/ScreenShare.cpp");
  info("Screen share changed: Shared App", "ScreenShare");
  Log::screenShareStartedSynthetic("/src/ScreenShare.cpp");
  info("Screen share started (synthetic)", "ScreenShare");
  Log::screenShareEnded(std::nullopt, "/src/ScreenShare.cpp");
  info("Screen share ended", "ScreenShare");
  Log::screenShareEnded("The window closed.", "/src/ScreenShare.cpp");
  info("Screen share ended: The window closed.", "ScreenShare");

  double start = platform::HostClock::shared()->nowSeconds() - 0.25;
  Log::videoPipelineWarmedUp(start, "/src/ProgramVideo.cpp");
  std::smatch m;
  std::string line = written().session.at(0);
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(\[INFO\] \[ProgramVideo\] Video pipeline warmed up in (\d+) ms)")));
  EXPECT_GE(std::stoi(m[1]), 250);
}

TEST_F(CatalogueTest, WarningEntries) {
  Log::couldNotWatchSystemInput(-50, "/src/DeviceCatalog.cpp");
  warn("Could not watch the system input device (-50)", "DeviceCatalog");
  Log::cameraFailure("", "/src/CameraCapture.cpp");
  warn("Camera failure: ", "CameraCapture");
  Log::cameraSessionInterrupted(std::nullopt, "/src/CameraCapture.cpp");
  warn("Camera session interrupted: ?", "CameraCapture");
  Log::cameraSessionInterrupted("Desk Cam", "/src/CameraCapture.cpp");
  warn("Camera session interrupted: Desk Cam", "CameraCapture");
  Log::cameraSuspended(Camera{"Built-in"}, kEngine);
  warn("Camera suspended: Built-in");
  Log::scenarioNoCameraMatches(std::nullopt, "/src/DebugScenario.cpp");
  warn("Scenario: no camera matches ", "DebugScenario");
  Log::scenarioNoMicrophoneMatches("usb", "/src/DebugScenario.cpp");
  warn("Scenario: no microphone matches usb", "DebugScenario");
  Log::scenarioNoSyntheticCameraMatches("bars", "/src/DebugScenario.cpp");
  warn("Scenario: no synthetic camera matches bars", "DebugScenario");
  Log::scenarioUnknownAction("jump", "/src/DebugScenario.cpp");
  warn("Scenario: unknown action jump", "DebugScenario");
  Log::appScenarioUnknownAction("fly", "/src/DebugScenario.cpp");
  warn("App scenario: unknown action fly", "DebugScenario");
  Log::snapshotFailed(std::nullopt, "/src/DebugSnapshots.cpp");
  warn("Snapshot failed: ?", "DebugSnapshots");
  Log::snapshotFailed(std::make_error_code(std::errc::permission_denied), "/src/DebugSnapshots.cpp");
  warn("Snapshot failed: Permission denied", "DebugSnapshots");
  Log::microphoneFailure("", "/src/MicCapture.cpp");
  warn("Microphone failure: ", "MicCapture");
  Log::bridgeCallFromUnexpectedOrigin("evil.example", "/src/NativeBridge.cpp");
  warn("Bridge call from unexpected origin evil.example", "NativeBridge");
  Log::hevcStalledSwitchingToH264("/src/RTMPPublisher.cpp");
  warn("HEVC output stalled; switching to H.264", "RTMPPublisher");
  Log::uplinkCongested("video bitrate 3000 → 2000 kbps", "/src/RTMPPublisher.cpp");
  warn("Uplink congested: video bitrate 3000 → 2000 kbps", "RTMPPublisher");
  Log::uploadFallingBehind("video bitrate 2000 → 1500 kbps", "/src/RTMPPublisher.cpp");
  warn("Upload falling behind: video bitrate 2000 → 1500 kbps", "RTMPPublisher");
  Log::screenShareFailed(std::runtime_error("no output"), "/src/ScreenShare.cpp");
  warn("Screen share failed: no output", "ScreenShare");
  Log::changingSharedContentFailed("filter refused", "/src/ScreenShare.cpp");
  warn("Changing the shared content failed: filter refused", "ScreenShare");
  Log::screenPickerFailed("cancelled", "/src/ScreenShare.cpp");
  warn("Screen picker failed: cancelled", "ScreenShare");
  Log::noCameraAvailableSuspended(Camera{"Built-in"}, kEngine);
  warn("No camera available: Built-in is suspended (lid closed?)");
  Log::noCameraAvailable(kEngine);
  warn("No camera available");
  Log::onAirCameraStalled("Desk Cam", kEngine);
  warn("On-air camera stalled: Desk Cam");
  Log::onAirCameraFailed("Desk Cam", "Desk Cam stopped sending video.", kEngine);
  warn("On-air camera failed: Desk Cam: Desk Cam stopped sending video.");
  Log::onAirMicrophoneStalled("USB Mic", kEngine);
  warn("On-air microphone stalled: USB Mic");
  Log::pageFailedToLoad("NSURLErrorDomain", -1009, "The Internet connection appears to be offline.",
                        "/src/WebViewController.cpp");
  warn("Page failed to load: NSURLErrorDomain -1009 The Internet connection appears to be offline.",
       "WebViewController");
  Log::webContentProcessTerminated("/src/WebViewController.cpp");
  warn("Web content process terminated; reloading", "WebViewController");
}

TEST_F(CatalogueTest, ErrorEntries) {
  Log::couldNotStartLocalRecording(std::make_exception_ptr(std::runtime_error("No space left")), kEngine);
  error("Couldn't start the local recording: No space left");
  Log::recordingFailedToStart(std::nullopt, "/src/LocalRecorder.cpp");
  error("Recording failed to start: ?", "LocalRecorder");
  Log::recordingFailedToStart(LogError("writer failed"), "/src/LocalRecorder.cpp");
  error("Recording failed to start: writer failed", "LocalRecorder");
}

TEST_F(CatalogueTest, GenericWriteMatchesACatalogueWarning) {
  Log::write("/src/Quarzadel/Studio/StudioEngine.cpp", "No camera available", LogType::error, "WARN");
  auto generic = written();
  reset();
  Log::noCameraAvailable(kEngine);
  auto catalogue = written();
  EXPECT_EQ(generic.system, catalogue.system);
  EXPECT_EQ(generic.session, catalogue.session);
}

TEST_F(CatalogueTest, ADisabledSystemLogTypeStillReachesTheSessionLog) {
  struct NothingEnabled : platform::SystemLogSink {
    bool isEnabled(LogType) const override { return false; }
    void write(LogType, std::string_view, std::string_view, std::string_view) override { ++writes; }
    int writes = 0;
  };
  auto sink = std::make_shared<NothingEnabled>();
  auto previous = platform::SystemLog::setSink(sink);
  Log::cameraFailure("unplugged", "/src/CameraCapture.cpp");
  Log::studioClosed(kEngine);
  platform::SystemLog::setSink(previous);
  EXPECT_EQ(sink->writes, 0);
  auto w = written();
  EXPECT_EQ(w.session, (std::vector<std::string>{"[WARN] [CameraCapture] Camera failure: unplugged",
                                                 "[INFO] [StudioEngine] Studio closed"}));
}

TEST_F(CatalogueTest, LinesBeforeAnySessionReachTheSystemLogOnly) {
  SessionLog::shared()->close();
  for (auto& f : testing::filesIn(dir_.path() / "Quarzadel")) std::filesystem::remove(f);
  Log::appLaunched("/src/AppDelegate.cpp");
  SessionLog::shared()->flush();
  EXPECT_EQ(capture_.sink().entries().size(), 1u);
  EXPECT_TRUE(testing::filesIn(dir_.path() / "Quarzadel").empty());
  SessionLog::shared()->startSession("later");
  auto files = testing::filesIn(dir_.path() / "Quarzadel");
  ASSERT_EQ(files.size(), 1u);
  SessionLog::shared()->flush();
  EXPECT_EQ(testing::readLines(files[0]).size(), 1u);  // only its own first line
}

}  // namespace
}  // namespace quarzadel
