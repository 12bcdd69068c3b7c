#include <gtest/gtest.h>

#include <regex>
#include <csignal>
#include <sys/resource.h>
#include <thread>

#include "LogTestSupport.h"
#include "Platform/Time/Date.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/SessionLog.h"

namespace quarzadel {
namespace {

using testing::ScopedEnv;
using testing::ScopedTempDir;

class SessionLogTest : public ::testing::Test {
 protected:
  ScopedEnv utc_{"TZ", "UTC"};
  ScopedTempDir dir_;
  std::shared_ptr<platform::FixedWallClock> clock_ =
      std::make_shared<platform::FixedWallClock>(platform::makeUtcDate(2026, 12, 5, 15, 30, 38, 123));
  std::shared_ptr<SessionLog> log_ = SessionLog::make(clock_, dir_.path());
};

TEST_F(SessionLogTest, FileNameReplacesEverySlashAndCategoryDropsEverySourceExtension) {
  auto date = platform::makeUtcDate(2026, 12, 5, 15, 30, 38);
  EXPECT_EQ(SessionLog::fileName("/a//b/", date), "_a__b__2026-12-05_15:30:38.log");
  for (auto [file, category] : std::vector<std::pair<std::string, std::string>>{
           {"Engine.cpp.cpp", "Engine"}, {"a/b.h", "b.h"}, {"", ""}})
    EXPECT_EQ(SessionLog::category(file), category);
}

TEST_F(SessionLogTest, ASessionFileStartsWithItsFirstLineAndHoldsLinesInOrder) {
  log_->log("INFO", "before any session", "/src/StudioEngine.cpp");  // dropped: no file yet
  log_->startSession("ab/cd");
  log_->log("WARN", "Camera failure: gone", "/src/Quarzadel/Capture/CameraCapture.cpp");
  // The time is the moment of the call, not of the write.
  log_->log("ERROR", "two\nlines", "Log.cpp");
  clock_->advance(std::chrono::milliseconds(1877));
  log_->log("INFO", "Studio closed", "/src/StudioEngine.cpp");
  auto url = log_->close();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->filename(), "ab_cd_2026-12-05_15:30:38.log");
  EXPECT_EQ(url->parent_path(), dir_.path());
  EXPECT_EQ(testing::readFile(*url),
            "2026-12-05 15:30:38.123 [INFO] [SessionLog] Quarzadel for Mac " + appVersion() + " (" + appBuild() +
                ") on " + systemDescription() +
                "\n"
                "2026-12-05 15:30:38.123 [WARN] [CameraCapture] Camera failure: gone\n"
                "2026-12-05 15:30:38.123 [ERROR] [Log] two\nlines\n"
                "2026-12-05 15:30:40.000 [INFO] [StudioEngine] Studio closed\n");
  // After the close a second close has no file to give.
  EXPECT_FALSE(log_->close());
}

TEST_F(SessionLogTest, TwoSessionsOfOneKeyWithinOneSecondKeepBothFiles) {
  log_->startSession("key");
  log_->log("INFO", "first session", "E.cpp");
  auto first = log_->close();
  log_->startSession("key");
  log_->log("INFO", "second session", "E.cpp");
  auto second = log_->close();
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(second->filename(), "key_2026-12-05_15:30:38-2.log");
  EXPECT_NE(testing::readFile(*first).find("first session"), std::string::npos);
  EXPECT_EQ(testing::readFile(*first).find("second session"), std::string::npos);
  EXPECT_NE(testing::readFile(*second).find("second session"), std::string::npos);
  // Opening a new session closes the old file; only the last is returned.
  log_->startSession("one");
  clock_->advance(std::chrono::seconds(1));
  log_->startSession("two");
  EXPECT_EQ(log_->close()->filename(), "two_2026-12-05_15:30:39.log");
  EXPECT_EQ(testing::filesIn(dir_.path()).size(), 4u);
}

// When every name of one key and second is another session's file, the session
// gets no file, says so, and its close hands no file (and so no other session's
// log) to the upload; the other files stay as they were.
TEST_F(SessionLogTest, ASessionWhoseNamesAreAllTakenGetsNoFileAndHandsNoneToTheUpload) {
  const auto date = platform::makeUtcDate(2026, 12, 5, 15, 30, 38);
  for (int serial = 1; serial <= 1000; ++serial)
    std::ofstream(dir_.path() / SessionLog::fileName("key", date, serial)) << "session " << serial << "\n";
  ::testing::internal::CaptureStderr();
  const auto problem = log_->startSession("key");
  const std::string said = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("all 1000 file names"), std::string::npos) << *problem;
  EXPECT_NE(said.find("the session log cannot be written: all 1000 file names"), std::string::npos) << said;
  log_->log("INFO", "Studio closed", "/src/StudioEngine.cpp");
  EXPECT_EQ(log_->close(), std::nullopt);
  EXPECT_EQ(testing::filesIn(dir_.path()).size(), 1000u);
  EXPECT_EQ(testing::readFile(dir_.path() / SessionLog::fileName("key", date, 1000)), "session 1000\n");

  // The next second has names free again.
  clock_->advance(std::chrono::seconds(1));
  EXPECT_FALSE(log_->startSession("key"));
  EXPECT_EQ(log_->close()->filename(), "key_2026-12-05_15:30:39.log");
}

TEST_F(SessionLogTest, AFolderThatCannotBeUsedDropsLinesButCloseStillNamesTheFile) {
  auto blocked = dir_.path() / "blocked";
  std::ofstream(blocked) << "a file where the folder should be";
  auto log = SessionLog::make(clock_, blocked / "logs");
  // The reason names the folder that cannot be made.
  EXPECT_EQ(log->startSession("k"), (blocked / "logs").string() + ": Not a directory");
  log->log("INFO", "nowhere", "E.cpp");
  auto url = log->close();
  ASSERT_TRUE(url);
  EXPECT_FALSE(std::filesystem::exists(*url));
  EXPECT_FALSE(SessionLog::uploadAndWait(*url, platform::seconds(2)));
}

// A stream key longer than a file name may be is cut in the name, at a character's
// start, and the file is made.
TEST_F(SessionLogTest, AKeyTooLongForAFileNameIsShortenedInIt) {
  auto date = platform::makeUtcDate(2026, 12, 5, 15, 30, 38);
  const std::string key = std::string(199, 'k') + "\xC3\xA9" + std::string(300, 'z');
  EXPECT_EQ(SessionLog::fileName(key, date), std::string(199, 'k') + "_2026-12-05_15:30:38.log");
  EXPECT_EQ(SessionLog::fileName(std::string(200, '/') + "tail", date, 1000),
            std::string(200, '_') + "_2026-12-05_15:30:38-1000.log");
  EXPECT_FALSE(log_->startSession(std::string(300, 'x')));
  log_->log("INFO", "kept", "E.cpp");
  auto url = log_->close();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->filename(), std::string(200, 'x') + "_2026-12-05_15:30:38.log");
  EXPECT_NE(testing::readFile(*url).find("kept"), std::string::npos);
}

// A file that stops taking lines (here: past the process's file-size limit, as on a
// full disk) is said once; later lines are still tried and the log goes on.
TEST_F(SessionLogTest, AFileThatStopsTakingLinesIsReportedOnce) {
  std::vector<std::string> reasons;
  log_->setWriteFailureHandler([&](const std::string& reason) { reasons.push_back(reason); });
  log_->startSession("full");
  log_->flush();
  struct rlimit previous {};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  auto previousSignal = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = previous;
  small.rlim_cur = 1024;
  ::setrlimit(RLIMIT_FSIZE, &small);
  ::testing::internal::CaptureStderr();
  log_->log("INFO", std::string(2000, 'a'), "E.cpp");
  log_->log("INFO", std::string(2000, 'b'), "E.cpp");
  log_->flush();
  const auto said = ::testing::internal::GetCapturedStderr();
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::signal(SIGXFSZ, previousSignal);
  auto url = log_->close();
  ASSERT_TRUE(url);
  ASSERT_EQ(reasons, (std::vector<std::string>{url->string() + ": File too large"}));
  EXPECT_EQ(said, "quarzadel: the session log cannot be written: " + reasons[0] + "\n");
  EXPECT_EQ(std::filesystem::file_size(*url), 1024u);
  // A new file is new: its failures are said again.
  log_->startSession("next");
  log_->log("INFO", "fits", "E.cpp");
  EXPECT_NE(testing::readFile(*log_->close()).find("fits"), std::string::npos);
  EXPECT_EQ(reasons.size(), 1u);
}

TEST_F(SessionLogTest, LinesFromManyThreadsAreNeverTorn) {
  constexpr int kThreads = 8, kLines = 400;
  log_->startSession("threads");
  std::vector<std::thread> threads;
  const std::string padding(300, 'p');
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        log_->log(t % 2 ? "INFO" : "WARN", "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding,
                  "/src/Worker" + std::to_string(t) + ".cpp");
    });
  for (auto& th : threads) th.join();
  auto url = log_->close();
  ASSERT_TRUE(url);
  auto lines = testing::readLines(*url);
  ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
  std::regex shape(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(INFO|WARN)\] \[Worker(\d)\] thread (\d) line (\d+) p{300}$)");
  std::vector<int> next(kThreads, 0);
  for (size_t k = 1; k < lines.size(); ++k) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[k], m, shape)) << lines[k];
    int t = std::stoi(m[3]);
    EXPECT_EQ(std::stoi(m[2]), t);
    EXPECT_EQ(std::stoi(m[4]), next[t]++);  // each thread's lines in its own order
  }
}

}  // namespace
}  // namespace quarzadel
