#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "Logwell/ConsoleAppender.h"
#include "Logwell/LWLogger.h"
#include "RecordingAppender.h"

namespace logwell {
namespace {

using testing::RecordingAppender;

struct Described {
  std::string description() const { return "described"; }
};
struct OnlyDebug {
  std::string debugDescription() const { return "debugged"; }
};
struct Streamed {};
std::ostream& operator<<(std::ostream& os, const Streamed&) { return os << "streamed"; }
enum class Plain { a = 3 };

TEST(LWLoggerFiltering, LevelNamesParseExactlyAndEachLevelPassesOnlyAtOrAboveTheThreshold) {
  EXPECT_EQ(levelFromString("Warn"), LWLogLevel::warn);
  for (const char* bad : {"info", "INFO", ""}) EXPECT_EQ(levelFromString(bad), std::nullopt) << bad;

  auto appender = std::make_shared<RecordingAppender>();
  LWLogger logger("test.filter");
  logger.setAppender(appender);
  auto passing = [&] {
    logger.trace({"t"}, "f", "fn", 1);
    logger.debug({"d"}, "f", "fn", 2);
    logger.info({"i"}, "f", "fn", 3);
    logger.warn({"w"}, "f", "fn", 4);
    logger.error({"e"}, "f", "fn", 5);
    std::string s;
    for (auto& r : appender->snapshot()) s += r.message;
    appender->records.clear();
    return s;
  };
  EXPECT_EQ(passing(), "iwe");  // default level info
  for (auto [level, expected] : std::vector<std::pair<LWLogLevel, std::string>>{
           {LWLogLevel::error, "e"}, {LWLogLevel::warn, "we"}, {LWLogLevel::trace, "tdiwe"}}) {
    logger.setLevel(level);
    EXPECT_EQ(passing(), expected);
    EXPECT_TRUE(logger.isEnabledFor(level));
    EXPECT_EQ(logger.isEnabledFor(LWLogLevel::debug), level <= LWLogLevel::debug);
  }
}

TEST(LWLoggerFiltering, MacrosDoNotBuildItemsOfAFilteredRecord) {
  auto appender = std::make_shared<RecordingAppender>();
  LWLogger logger("test.macro");
  logger.setAppender(appender);
  int built = 0;
  auto expensive = [&] {
    ++built;
    return std::string("x");
  };
  LW_DEBUG(logger, "value ", expensive());
  EXPECT_EQ(built, 0);
  LW_INFO(logger, "value ", expensive(), " n=", 7);
  ASSERT_EQ(built, 1);
  auto records = appender->snapshot();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "value x n=7");
  EXPECT_EQ(LWLogRecord::fileName(records[0].file), "logger_test.cpp");
  LW_LOGF(logger, LWLogLevel::warn, "took %.2f s", 1.5);
  EXPECT_EQ(appender->snapshot().back().message, "took 1.50 s");
  EXPECT_TRUE(appender->snapshot().back().formatForm);
}

TEST(LWLoggerRegistry, OneObjectPerIdentifierAcrossThreads) {
  // Lookups that miss, from several threads at once, still agree on one object.
  std::vector<std::thread> threads;
  std::vector<LWLogger*> seen(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] { seen[t] = LWLogger::with("test.registry.race").get(); });
  for (auto& th : threads) th.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_NE(LWLogger::with("test.registry.other").get(), seen[0]);
}

TEST(LWLoggerConcurrency, AppenderAndLevelChangeWhileOtherThreadsLog) {
  LWLogger logger("test.swap");
  auto first = std::make_shared<RecordingAppender>();
  auto second = std::make_shared<RecordingAppender>();
  logger.setAppender(first);
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; ++t)
    loggers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) logger.error({"n", i}, "f", "fn", i);
    });
  std::thread changer([&] {
    for (int i = 0; i < 500; ++i) {
      logger.setAppender(i % 2 ? first : second);
      logger.setLevel(i % 2 ? LWLogLevel::trace : LWLogLevel::info);
    }
  });
  for (auto& t : loggers) t.join();
  changer.join();
  EXPECT_EQ(first->snapshot().size() + second->snapshot().size(), 8000u);
}

TEST(LWLogItems, ValuesArePrintedByTheirDescription) {
  auto appender = std::make_shared<RecordingAppender>();
  LWLogger logger("test.items");
  logger.setAppender(appender);
  std::optional<int> none;
  std::optional<int> five = 5;
  std::shared_ptr<Described> null;
  logger.info({"a", 1, "b", true, 2.0, 0.25, -3, 'c', Described{}, OnlyDebug{}, Streamed{}, none, five, null,
               std::string("s"), std::string_view("v"), Plain::a, static_cast<unsigned char>(7), 1e20},
              "f", "fn", 1);
  EXPECT_EQ(appender->snapshot().at(0).message,
            "a1btrue2.00.25-3cdescribeddebuggedstreamednil5nilsv371e+20");
  appender->records.clear();
  std::vector<int> numbers{1, 2, 3};
  std::vector<std::string> names{"a", "b"};
  std::vector<int> none_;
  logger.info({numbers, " ", names, " ", none_, " ", 100000.0, " ", 0.00001}, "f", "fn", 1);
  EXPECT_EQ(appender->snapshot().at(0).message, "[1, 2, 3] [\"a\", \"b\"] [] 100000.0 1e-05");
}

// The libraries write a message list a word or value per item: the line reads
// "bitRate change from 1500000 to 300000", not "from1500000to300000".
TEST(ConsoleAppenderOutput, PrintsTheTextFormWithItemsJoinedByOneSpace) {
  LWLogger logger("com.example.Medley");
  logger.setLevel(LWLogLevel::trace);
  ::testing::internal::CaptureStdout();
  logger.info({"a", 1, "b"}, "/src/lib/Stream.cpp", "start()", 12);
  logger.warn({"dropped", 1, "frames so far"}, "/src/lib/Stream.cpp", "run()", 13);
  logger.debug("%d frames", 3, "Stream.cpp", "run()", 7);
  std::string out = ::testing::internal::GetCapturedStdout();
  // The date text ("yyyy-dd-MM HH:mm:ss.SSS") is 23 characters, then the fields.
  const auto second = out.find('\n') + 1;
  ASSERT_GT(second, 24u);
  EXPECT_EQ(out.substr(23, second - 23), " [Info] [com.example.Medley] [Stream.cpp:12] start() > a 1 b\n");
  const auto third = out.find('\n', second) + 1;
  EXPECT_EQ(out.substr(second + 23, third - second - 23),
            " [Warn] [com.example.Medley] [Stream.cpp:13] run() > dropped 1 frames so far\n");
  EXPECT_EQ(out.substr(third + 23), " [Debug] [com.example.Medley] [Stream.cpp:7] run() > 3 frames\n");
}

}  // namespace
}  // namespace logwell
