// The program in a terminal as a person uses it, through tmux: the help line,
// the status line redrawn in place, and the keys for go live, mute, next
// camera, stop with its confirmation (declined, then given) and quit while live.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SanitizedBuild.h"
#include "CommandOutput.h"
#include "ProgramRun.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class Tmux {
 public:
  Tmux(const std::string& command) : socket_("qzshell-" + std::to_string(::getpid())) {
    started_ = qztest::runCommand(tmux() + " new-session -d -s qz -x 150 -y 12 " + quoted(command)).status == 0;
  }
  ~Tmux() { qztest::runCommand(tmux() + " kill-server"); }
  bool started() const { return started_; }
  std::string pane() const { return qztest::runCommand(tmux() + " capture-pane -p -t qz").text; }
  void type(const std::string& keys) const { qztest::runCommand(tmux() + " send-keys -t qz " + keys); }
  // Waits up to `bound` seconds until the pane shows `text`.
  bool await(const std::string& text, double bound = 10) const {
    for (auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(bound);
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(100)))
      if (pane().find(text) != std::string::npos) return true;
    return false;
  }
  // The rows of the pane that hold `text`.
  std::vector<std::string> rows(const std::string& text) const {
    std::vector<std::string> out;
    std::istringstream lines(pane());
    for (std::string line; std::getline(lines, line);)
      if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  std::string tmux() const { return "tmux -L " + socket_ + " -f /dev/null"; }
  std::string socket_;
  bool started_ = false;
};

TEST(QuarzadelTerminal, TheStatusLineRefreshesInPlaceAndTheKeysWork) {
  if (qztest::runCommand("command -v tmux").status != 0) GTEST_SKIP() << "tmux is not installed (tools/install-deps)";
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("shell-nginx-tmux"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto dir = qztest::scratch("terminal");
  std::string command = "env XDG_CONFIG_HOME=" + quoted((dir / "config").string()) +
                        " XDG_STATE_HOME=" + quoted((dir / "state").string()) +
                        " XDG_VIDEOS_DIR=" + quoted((dir / "videos").string()) + " " +
                        quoted(qztest::programPath().string());
  const std::vector<std::string> arguments = {
      "-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES", "-OpenStudio", "typed", "-RTMPServerOverride",
      "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live", "-StreamCodec", "h264", "-StudioResolution",
      "720p", "-RecordLocally", "NO", "-StudioRecordLocally", "NO"};
  for (const auto& a : arguments) command += " " + quoted(a);
  command += "; echo EXITED $?; sleep 60";
  Tmux tmux(command);
  ASSERT_TRUE(tmux.started());

  ASSERT_TRUE(tmux.await("ready | [")) << tmux.pane();
  EXPECT_EQ(tmux.rows("keys: g go live | s stop | c next camera | m mute | d dismiss | a notice action | x share screen | q quit").size(),
            1u)
      << tmux.pane();

  tmux.type("g");
  ASSERT_TRUE(tmux.await("LIVE 00:00:0")) << tmux.pane();
  ASSERT_TRUE(tmux.await(qztest::kSanitizedBuild ? "kbit/s | " : "kbit/s | 30 fps", 5)) << tmux.pane();
  const auto before = tmux.rows("LIVE ");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const auto after = tmux.rows("LIVE ");
  // One status row, redrawn with the new live time.
  ASSERT_EQ(before.size(), 1u) << tmux.pane();
  ASSERT_EQ(after.size(), 1u) << tmux.pane();
  EXPECT_NE(before[0].substr(0, 13), after[0].substr(0, 13));

  tmux.type("m");
  EXPECT_TRUE(tmux.await("[ muted    ]")) << tmux.pane();
  // The Studio starts on the first test pattern; the next-camera key moves on.
  EXPECT_EQ(tmux.rows("| Test Pattern A").size(), 1u) << tmux.pane();
  tmux.type("c");
  EXPECT_TRUE(tmux.await("| Test Pattern B")) << tmux.pane();
  tmux.type("s");
  EXPECT_TRUE(tmux.await("Stop the live stream? s or y stops it")) << tmux.pane();
  tmux.type("x");  // any other key keeps it going
  EXPECT_TRUE(tmux.await("LIVE 00:")) << tmux.pane();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(tmux.rows("ready |").empty()) << tmux.pane();
  tmux.type("s");
  ASSERT_TRUE(tmux.await("Stop the live stream?")) << tmux.pane();
  tmux.type("s");
  ASSERT_TRUE(tmux.await("ready | [ muted")) << tmux.pane();

  tmux.type("g");
  ASSERT_TRUE(tmux.await("LIVE 00:00:0")) << tmux.pane();
  tmux.type("q");
  EXPECT_TRUE(tmux.await("Stop the live stream and quit?")) << tmux.pane();
  tmux.type("y");
  EXPECT_TRUE(tmux.await("EXITED 0")) << tmux.pane();

  const std::string log = qztest::ProgramRun::sessionLogsIn(dir);
  EXPECT_NE(log.find("] Muted\n"), std::string::npos) << log;
  size_t stops = 0;
  for (size_t at = log.find("Publish stopped by user"); at != std::string::npos;
       at = log.find("Publish stopped by user", at + 1))
    ++stops;
  EXPECT_EQ(stops, 2u) << log;
  EXPECT_NE(log.find("Studio closed"), std::string::npos);
}

}  // namespace
}  // namespace quarzadel
