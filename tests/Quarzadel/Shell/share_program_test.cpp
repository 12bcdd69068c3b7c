// The quarzadel program sharing a real X screen: under Xvfb, with the root
// painted one known colour, the scenario's "share screen" puts that colour on
// air at a loopback nginx, as ffmpeg reads it back from the ingest's recording.
#include <gtest/gtest.h>

#include "CommandOutput.h"
#include "ProgramRun.h"
#include "peers/PeerProcess.h"
#include "peers/XvfbServer.h"

namespace quarzadel {
namespace {

using qztest::ProgramRun;

// The share of 16x9 cells of the picture at `seconds` into a recording whose
// colour is near `rgb`; -1 when no picture could be read.
double shareOfColour(const std::filesystem::path& recording, double seconds, const std::filesystem::path& file,
                     std::array<int, 3> rgb) {
  const auto grab = qztest::runCommand("timeout 20 ffmpeg -v error -y -ss " + std::to_string(seconds) + " -i '" +
                                       recording.string() + "' -frames:v 1 -vf scale=16:9 -f rawvideo -pix_fmt rgb24 '" +
                                       file.string() + "'");
  const std::string pixels = ProgramRun::text(file);
  if (!grab.succeeded() || pixels.size() != 16 * 9 * 3) {
    ADD_FAILURE() << grab.text;
    return -1;
  }
  int near = 0;
  for (size_t i = 0; i < pixels.size(); i += 3) {
    bool close = true;
    for (size_t c = 0; c < 3; ++c) close = close && std::abs(static_cast<uint8_t>(pixels[i + c]) - rgb[c]) < 48;
    near += close;
  }
  return near / (16.0 * 9);
}

TEST(QuarzadelShareProgram, AScenarioSharesTheXScreenAndItsPictureGoesOnAir) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  ASSERT_TRUE(x.run("xsetroot -solid '#d01890'"));
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("share-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  const auto dir = qztest::scratch("share-screen");
  ProgramRun run(dir,
                 {"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES", "-OpenStudio", "shared",
                  "-RTMPServerOverride", url, "-StreamCodec", "h264", "-StudioResolution", "720p",
                  "-StudioRecordLocally", "NO", "-RecordLocally", "NO", "-Events", "json", "-Scenario",
                  "share screen; golive; wait 6; stop; close"},
                 {{"DISPLAY", x.display()}});
  EXPECT_EQ(run.wait(60), 0) << run.errors();
  const auto recording = std::filesystem::path(nginx.value("RECORD_DIR")) / "shared.flv";
  const double shown = shareOfColour(recording, 3, dir / "picture.rgb", {0xd0, 0x18, 0x90});
  // Most of the picture: a window of the program's own on the same display may cover a part.
  EXPECT_GE(shown, 0.6) << "the shared screen's colour is not on air";

  const std::string log = run.sessionLogs();
  EXPECT_NE(log.find("] Screen share started: Shared Screen 1280x720 pt"), std::string::npos) << log;
  EXPECT_NE(log.find("] Publishing (attempt 1, "), std::string::npos) << log;
}

// The Studio's own preview window is on the same display, but sharing it would
// show the preview inside itself: a script naming it finds nothing to share.
TEST(QuarzadelShareProgram, TheStudiosOwnPreviewWindowIsNotOfferedForSharing) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  const auto dir = qztest::scratch("share-preview");
  ProgramRun run(dir,
                 {"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES", "-OpenStudio", "own-window",
                  "-StudioRecordLocally", "NO", "-RecordLocally", "NO", "-Events", "json", "-Scenario",
                  "wait 3; share window Quarzadel preview; wait 1; close"},
                 {{"DISPLAY", x.display()}});
  EXPECT_EQ(run.wait(60), 0) << run.errors();
  const std::string log = run.sessionLogs();
  EXPECT_NE(log.find("Scenario: nothing to share matches window Quarzadel preview"), std::string::npos) << log;
  EXPECT_EQ(log.find("Screen share started"), std::string::npos) << log;
}

// A second Studio on the same display leaves the first one's preview out as well.
TEST(QuarzadelShareProgram, AnotherStudiosPreviewWindowIsNotOfferedForSharing) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  auto studio = [&](const char* name, const char* scenario) {
    return std::make_unique<ProgramRun>(qztest::scratch(name),
                                        std::vector<std::string>{"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES",
                                                                 "-OpenStudio", name, "-StudioRecordLocally", "NO",
                                                                 "-RecordLocally", "NO", "-Events", "json", "-Scenario",
                                                                 scenario},
                                        std::map<std::string, std::string>{{"DISPLAY", x.display()}});
  };
  const auto first = studio("first-studio", "wait 60; close");
  // The first Studio's preview is up before the second one looks.
  bool shown = false;
  for (int i = 0; i < 300 && !shown; ++i) {
    shown = x.run("xwininfo -root -tree | grep -q 'Quarzadel preview'");
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(shown) << first->errors();
  const auto second = studio("second-studio", "wait 3; share window Quarzadel preview; wait 1; close");
  EXPECT_EQ(second->wait(60), 0) << second->errors();
  const std::string log = second->sessionLogs();
  EXPECT_NE(log.find("Scenario: nothing to share matches window Quarzadel preview"), std::string::npos) << log;
  EXPECT_EQ(log.find("Screen share started"), std::string::npos) << log;
}

TEST(QuarzadelShareProgram, HelpNamesTheShareKey) {
  ProgramRun run(qztest::scratch("share-help"), {"--help"});
  EXPECT_EQ(run.wait(20), 0);
  std::string text;
  for (const auto& line : run.lines()) text += line.text + "\n";
  EXPECT_NE(text.find("x share a screen or window"), std::string::npos) << text;
}

}  // namespace
}  // namespace quarzadel
