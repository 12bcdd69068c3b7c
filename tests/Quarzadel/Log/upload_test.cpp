#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "LogTestSupport.h"
#include "ScriptedHttpStore.h"
#include "Platform/Log/SystemLog.h"
#include "Platform/Net/TcpListener.h"
#include "Quarzadel/Log/SessionLog.h"

namespace quarzadel {
namespace {

using namespace std::chrono_literals;

class UploadTest : public ::testing::Test {
 protected:
  // Uploads and returns (completion value, the result line in the system log or "").
  std::pair<bool, std::string> upload(const std::filesystem::path& file,
                                      platform::Nanos idleLimit = SessionLog::kUploadIdleLimit) {
    capture_.sink().clear();
    std::promise<bool> done;
    SessionLog::upload(file, [&](bool ok) { done.set_value(ok); }, idleLimit);
    auto future = done.get_future();
    if (future.wait_for(70s) != std::future_status::ready) return {false, "no completion"};
    bool ok = future.get();
    auto entries = capture_.sink().entries();
    if (entries.empty()) return {ok, ""};
    EXPECT_EQ(entries.back().type, platform::LogType::debug);
    EXPECT_EQ(entries.back().subsystem, "quarzadel.mac");
    return {ok, entries.back().message};
  }
  // A closed session-log file with some lines.
  std::filesystem::path sessionFile(const std::string& key) {
    auto log = SessionLog::make(platform::WallClock::system(), dir_.path() / "logs");
    log->startSession(key);
    for (int i = 0; i < 200; ++i) log->log("INFO", "line " + std::to_string(i) + " ünïcödé →", "/src/StudioEngine.cpp");
    return *log->close();
  }

  testing::ScopedTempDir dir_;
  testing::ScopedDefaults defaults_;
  platform::ScopedSystemLogCapture capture_;
};

TEST_F(UploadTest, TheStoredCopyIsByteIdenticalAndFailuresAreReportedWithTheirStatus) {
  testing::NginxServer nginx(dir_.path() / "nginx");
  defaults_->set("LogStoreURL", nginx.storeURL());
  auto file = sessionFile("live/ab cd?x#y%z");
  std::string name = file.filename().string();
  EXPECT_EQ(upload(file), std::make_pair(true, "Session log upload " + name + ": ok"));
  // The name travels as one encoded path segment and is stored under its own name.
  const auto stored = nginx.store() / "zone" / "logs" / name;
  ASSERT_TRUE(std::filesystem::exists(stored)) << name;
  EXPECT_EQ(testing::readFile(stored), testing::readFile(file));
  EXPECT_TRUE(std::filesystem::exists(file));  // the local file stays

  // Nothing is sent for missing or empty files.
  EXPECT_EQ(upload(dir_.path() / "missing.log"), std::make_pair(false, std::string()));
  auto empty = dir_.path() / "empty.log";
  std::ofstream(empty).close();
  EXPECT_EQ(upload(empty), std::make_pair(false, std::string()));

  auto other = sessionFile("key");
  name = other.filename().string();
  defaults_->set("LogStoreURL", nginx.storeURL("wrong-key"));
  EXPECT_EQ(upload(other), std::make_pair(false, "Session log upload " + name + ": failed 403 "));
  // A transport failure has no status, but a description.
  const auto closed = platform::TcpListener::make()->port();  // nothing listens once the listener is gone
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(closed) + "/zone/logs/");
  const auto [ok, line] = upload(other);
  EXPECT_FALSE(ok);
  const std::string prefix = "Session log upload " + name + ": failed -1 ";
  ASSERT_TRUE(line.starts_with(prefix)) << line;
  EXPECT_GT(line.size(), prefix.size());
  EXPECT_EQ(testing::filesIn(nginx.store() / "zone" / "logs").size(), 1u);
}

// The access key is for the configured store alone: a store that redirects
// elsewhere gets a failure, and the other host never sees the key.
TEST_F(UploadTest, ARedirectIsAFailureAndTheKeyNeverLeavesTheStore) {
  testing::ScriptedHttpStore elsewhere({.status = 201});
  testing::ScriptedHttpStore store({.status = 307, .headers = {{"Location", elsewhere.url("/zone/logs/taken.log")}}});
  defaults_->set("LogStoreURL", "http://secret-key@127.0.0.1:" + std::to_string(store.port()) + "/zone/logs/");
  auto file = sessionFile("redirected");
  EXPECT_EQ(upload(file), std::make_pair(false, "Session log upload " + file.filename().string() + ": failed 307 "));
  ASSERT_EQ(store.requests().size(), 1u);
  EXPECT_NE(store.requests()[0].head.find("AccessKey: secret-key\r\n"), std::string::npos);
  EXPECT_TRUE(elsewhere.requests().empty());
}

// The limit is on idleness: a store on a slow link that keeps taking bytes gets the
// whole file, one that stops taking them fails.
TEST_F(UploadTest, ASlowUploadCompletesAndAnIdleOneFails) {
  constexpr size_t kChunk = 16 * 1024;
  testing::ScriptedHttpStore slow({.status = 201, .chunkBytes = kChunk});
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(slow.port()) + "/zone/logs/");
  auto large = dir_.path() / "large.log";
  std::ofstream(large) << std::string(50 * kChunk, 'x');  // about 5 s at 16 KB per 0.1 s
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(upload(large, platform::seconds(2)), std::make_pair(true, std::string("Session log upload large.log: ok")));
  EXPECT_GT(std::chrono::steady_clock::now() - started, 4s);
  ASSERT_EQ(slow.requests().size(), 1u);
  EXPECT_EQ(slow.requests()[0].bodyBytes, 50 * kChunk);

  auto silent = platform::TcpListener::make();  // takes the connection, never reads or answers
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(silent->port()) + "/zone/logs/");
  started = std::chrono::steady_clock::now();
  const auto [ok, line] = upload(large, platform::seconds(2));
  EXPECT_FALSE(ok);
  EXPECT_TRUE(line.starts_with("Session log upload large.log: failed -1 The request timed out")) << line;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

// The idle limit counts what the store has taken, not what was handed to the
// socket: a body that fits the send buffer at once, read slowly for several
// limits, arrives whole; a store that stops reading fails the limit after the
// last byte it took.
TEST_F(UploadTest, TheIdleLimitCountsWhatTheStoreHasTaken) {
  constexpr size_t kChunk = 1024;  // 10 KiB per second
  const auto kept = dir_.path() / "kept.log";
  testing::ScriptedHttpStore slow({.status = 201, .chunkBytes = kChunk, .keepBodyIn = kept.string()});
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(slow.port()) + "/zone/logs/");
  auto small = dir_.path() / "small.log";
  {
    std::ofstream out(small);
    for (int i = 0; out.tellp() < static_cast<std::streamoff>(40 * kChunk); ++i) out << "line " << i << " ünïcödé\n";
  }
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(upload(small, platform::seconds(1)), std::make_pair(true, std::string("Session log upload small.log: ok")));
  EXPECT_GT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(testing::readFile(kept), testing::readFile(small));

  testing::ScriptedHttpStore hanging({.status = 201, .chunkBytes = kChunk, .stopAfterBytes = 8 * kChunk});
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(hanging.port()) + "/zone/logs/");
  const auto [ok, line] = upload(small, platform::seconds(2));
  const auto failedAfter = std::chrono::steady_clock::now() - hanging.lastRead();
  EXPECT_FALSE(ok);
  EXPECT_EQ(line, "Session log upload small.log: failed -1 The request timed out (the server took no byte for 2 s)");
  EXPECT_GT(failedAfter, 1500ms);
  EXPECT_LT(failedAfter, 4s);
}

// A Studio's close uploads its session log without waiting; termination waits,
// but only so long. Nothing open, or synthetic sources: nothing is sent.
TEST_F(UploadTest, ClosingAStudioOrTerminatingUploadsTheSessionLog) {
  testing::NginxServer nginx(dir_.path() / "nginx");
  defaults_->set("LogStoreURL", nginx.storeURL());
  testing::ScopedEnv state("XDG_STATE_HOME", (dir_.path() / "state").string());
  const auto storedFiles = [&] { return testing::filesIn(nginx.store() / "zone" / "logs"); };
  auto log = SessionLog::shared();
  const auto closeAndUpload = [&] {
    std::promise<bool> done;
    log->closeAndUpload([&](bool ok) { done.set_value(ok); });
    auto future = done.get_future();
    return future.wait_for(70s) == std::future_status::ready && future.get();
  };
  log->startSession("live/studio");
  log->log("INFO", "Studio closed", "/src/StudioEngine.cpp");
  ASSERT_TRUE(closeAndUpload());
  const auto local = testing::filesIn(SessionLog::logsDirectory());
  ASSERT_EQ(local.size(), 1u);
  ASSERT_EQ(storedFiles().size(), 1u);
  EXPECT_EQ(storedFiles()[0].filename(), local[0].filename());
  EXPECT_EQ(testing::readFile(storedFiles()[0]), testing::readFile(local[0]));
  EXPECT_FALSE(closeAndUpload());

  log->startSession("quit");
  log->log("INFO", "Studio closed at quit", "/src/StudioEngine.cpp");
  EXPECT_TRUE(log->closeAndUploadAtTermination());
  ASSERT_EQ(storedFiles().size(), 2u);
  EXPECT_FALSE(log->closeAndUploadAtTermination());

  // A store that accepts the connection and never answers.
  auto silent = platform::TcpListener::make();
  defaults_->set("LogStoreURL", "http://k@127.0.0.1:" + std::to_string(silent->port()) + "/zone/logs/");
  log->startSession("quit");
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(log->closeAndUploadAtTermination(platform::seconds(1)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

  defaults_->set("LogStoreURL", nginx.storeURL());
  defaults_->set("SyntheticSources", true);
  log->startSession("synthetic");
  EXPECT_FALSE(closeAndUpload());
  log->startSession("synthetic");
  EXPECT_FALSE(log->closeAndUploadAtTermination());
  EXPECT_EQ(storedFiles().size(), 2u);
}

}  // namespace
}  // namespace quarzadel
