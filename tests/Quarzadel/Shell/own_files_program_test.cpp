// The quarzadel program when its own files cannot be written: a session log
// whose folder is read-only or a file says so once on standard error and in a
// notice, and the Studio goes on; a copy whose disk fills stops within seconds
// with its notice while the stream stays live, and what it holds plays.
#include <gtest/gtest.h>

#include <regex>

#include "CommandOutput.h"
#include "ProgramRun.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using qztest::ProgramRun;
using qztest::runCommand;

std::vector<std::string> studio(const std::string& key, const std::string& scenario, const std::string& url = "") {
  std::vector<std::string> args{"-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES", "-OpenStudio", key,
                                "-OpenStudioTitle", "Own Files", "-StreamCodec", "h264", "-StudioResolution", "720p",
                                "-Events", "json", "-Scenario", scenario};
  if (!url.empty()) args.insert(args.end(), {"-RTMPServerOverride", url});
  return args;
}

// Runs the program in a mount namespace of its own with a tmpfs (with `options`) on
// `folder`; once it has ended, what the tmpfs holds is copied to `kept`.
std::vector<std::string> onTmpfs(const std::filesystem::path& folder, const std::string& options,
                                 const std::filesystem::path& kept = {}) {
  std::string script = "mount -t tmpfs -o " + options + " tmpfs \"$0\" || exit 97; \"$@\"; status=$?; ";
  if (!kept.empty()) script += "cp -a \"$0\"/. '" + kept.string() + "'; ";
  return {"unshare", "-m", "sh", "-c", script + "exit $status", folder.string()};
}

int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

std::string noticeText(ProgramRun& run) {
  for (const auto& [at, e] : run.events())
    if (e["event"] == "notice" && e["text"].is_string()) return e["text"];
  return "";
}

bool canMount() { return runCommand("unshare -m sh -c 'mount -t tmpfs tmpfs /mnt'").status == 0; }

TEST(OwnFilesProgram, ASessionLogThatCannotBeWrittenIsNamedOnceAndTheStudioGoesOn) {
  const std::string said = "quarzadel: the session log cannot be written: ";
  const std::string notice = "This session isn't logged on this computer: ";
  {
    // A state folder that is a file; and a mistyped default, kept but named.
    const auto dir = qztest::scratch("own-log-file");
    std::ofstream(dir / "state-file") << "not a folder";
    auto args = studio("filekey", "wait 1; close");
    args.insert(args.end(), {"-StudioRecordLocaly", "NO"});
    ProgramRun run(dir, args, {{"XDG_STATE_HOME", (dir / "state-file").string()}});
    EXPECT_EQ(run.wait(30), 0) << run.errors();
    const auto errors = run.errors();
    EXPECT_EQ(count(errors, said + (dir / "state-file" / "Quarzadel").string() + ": Not a directory\n"), 1) << errors;
    EXPECT_EQ(count(errors, "quarzadel: -StudioRecordLocaly is no default the Studio reads; it is kept as a user "
                            "default all the same\n"),
              1)
        << errors;
    EXPECT_EQ(noticeText(run), notice + (dir / "state-file" / "Quarzadel").string() + ": Not a directory");
    EXPECT_EQ(run.statuses(), (std::vector<std::string>{"starting", "ready"})) << "the Studio opened all the same";
  }
  if (!canMount()) GTEST_SKIP() << "no mount namespace here";
  {
    const auto dir = qztest::scratch("own-log-readonly");
    std::filesystem::create_directories(dir / "state");
    ProgramRun run(dir, studio("readonlykey", "wait 1; close"), {}, onTmpfs(dir / "state", "ro,size=1m"));
    EXPECT_EQ(run.wait(30), 0) << run.errors();
    const std::string reason = (dir / "state" / "Quarzadel").string() + ": Read-only file system";
    EXPECT_EQ(count(run.errors(), said + reason + "\n"), 1) << run.errors();
    EXPECT_EQ(noticeText(run), notice + reason);
  }
  {
    // A disk that fills while the Studio is open: the log opens, then stops taking
    // lines (one page of room; the line naming the long title needs two).
    const auto dir = qztest::scratch("own-log-full");
    std::filesystem::create_directories(dir / "state");
    auto args = studio("fullkey", "wait 1; close");
    args.insert(args.end(), {"-OpenStudioTitle", std::string(6000, 't')});
    ProgramRun run(dir, args, {}, onTmpfs(dir / "state", "size=4k"));
    EXPECT_EQ(run.wait(30), 0) << run.errors();
    const std::regex full("quarzadel: the session log cannot be written: (" + (dir / "state" / "Quarzadel").string() +
                          "/fullkey_[^\n]+\\.log: No space left on device)\n");
    std::smatch said;
    const auto errors = run.errors();
    // Other lines (the missing display, say) may come too; this one comes once.
    ASSERT_TRUE(std::regex_search(errors, said, full)) << errors;
    EXPECT_EQ(count(errors, "the session log cannot be written"), 1) << errors;
    EXPECT_EQ(noticeText(run), notice + said[1].str());
  }
}

TEST(OwnFilesProgram, AKeyTooLongForAFileNameStillGetsItsSessionLog) {
  const auto dir = qztest::scratch("own-log-long-key");
  const std::string key(300, 'k');
  ProgramRun run(dir, studio(key, "wait 1; close"));
  EXPECT_EQ(run.wait(30), 0) << run.errors();
  EXPECT_EQ(count(run.errors(), "session log"), 0) << run.errors();
  EXPECT_EQ(noticeText(run), "");
  std::vector<std::filesystem::path> logs;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "state" / "Quarzadel")) logs.push_back(entry.path());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(logs[0].filename().string().starts_with(std::string(200, 'k') + "_")) << logs[0];
  EXPECT_NE(ProgramRun::text(logs[0]).find("Studio closed"), std::string::npos);
}

TEST(OwnFilesProgram, ACopyWhoseDiskFillsStopsWithinSecondsAndPlaysToThere) {
  if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
  if (!canMount()) GTEST_SKIP() << "no mount namespace here";
  rtmptest::PeerProcess nginx{"nginx-rtmp.sh", rtmptest::peerDirectory("own-files-nginx")};
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto dir = qztest::scratch("own-copy-full");
  std::filesystem::create_directories(dir / "videos");
  std::filesystem::create_directories(dir / "kept");
  // Room enough to start the copy (more than 3 GB free), none used until written.
  ProgramRun run(dir, studio("fullkey", "golive; wait 14; stop; close",
                             "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live"),
                 {}, onTmpfs(dir / "videos", "size=4g", dir / "kept"));
  const auto isStatus = [](const char* status) {
    return [status](const json& e) { return e["event"] == "status" && e["status"] == status; };
  };
  const double began = run.awaitEvent(isStatus("connecting"), 30);
  ASSERT_GE(began, 0) << run.errors();
  ASSERT_GE(run.awaitEvent(isStatus("live"), 20), 0) << run.errors();
  run.sleepUntil(began + 5);

  // The disk fills: the tmpfs shrinks to what it holds and a page or two more (the
  // test pattern costs the copy some 25 KB a second).
  const std::string folder = (dir / "videos").string();
  // A fragment written between the two steps makes the size too small: tried again.
  const auto shrink = runCommand("nsenter -t " + std::to_string(run.pid()) +
                                 " -m sh -c 'for try in 1 2 3 4 5; do used=$(df -k --output=used " + folder +
                                 " | tail -1); mount -o remount,size=$((used + 8))k " + folder +
                                 " && exit 0; done; exit 1'");
  ASSERT_EQ(shrink.status, 0) << shrink.text;
  const double full = run.seconds();
  const auto stopped = [](const json& e) {
    return e["event"] == "notice" && e["text"].is_string() &&
           e["text"].get<std::string>().starts_with("The local copy stopped early: ");
  };
  // Within one fragment's time of the disk filling, and 2 s more.
  const double told = run.awaitEvent(stopped, 10);
  ASSERT_GE(told, 0) << run.errors();
  EXPECT_LT(told - full, 4.5);
  run.sleepUntil(told + 1);
  EXPECT_EQ(run.statuses().back(), "live") << "the stream goes on without its copy";
  EXPECT_EQ(run.wait(40), 0) << run.errors();
  EXPECT_EQ(run.statuses().back(), "ready");

  std::vector<std::filesystem::path> copies;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "kept" / "Quarzadel", ec)) copies.push_back(entry.path());
  ASSERT_EQ(copies.size(), 1u);
  const std::string file = "'" + copies[0].string() + "'";
  std::string text;
  for (const auto& [at, e] : run.events())
    if (stopped(e)) text = e["text"];
  EXPECT_TRUE(text.ends_with(". It plays up to then: " + copies[0].filename().string())) << text;

  const auto duration = runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 " + file);
  ASSERT_EQ(duration.status, 0) << duration.text;
  const double played = std::stod(duration.text);
  std::cout << "the copy plays " << played << " s of the " << full - began << " s before the disk filled\n";
  EXPECT_GT(played, full - began - 5);
  EXPECT_LT(played, told - began + 1);
  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + file + " -f null -");
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.text, "") << "the decoders complained";
}

}  // namespace
}  // namespace quarzadel
