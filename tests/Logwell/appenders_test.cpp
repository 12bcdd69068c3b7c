#include <gtest/gtest.h>

#include "Logwell/LWLogger.h"
#include "Logwell/MultiAppender.h"
#include "Logwell/NullAppender.h"
#include "Logwell/OSLoggerAppender.h"
#include "Platform/Log/SystemLog.h"
#include "RecordingAppender.h"

namespace logwell {
namespace {

using testing::RecordingAppender;

TEST(MultiAppenderTest, EveryAppenderGetsTheRecordInListOrder) {
  auto multi = std::make_shared<MultiAppender>();
  LWLogger logger("test.multi");
  logger.setAppender(multi);
  logger.info({"nobody"}, "f", "fn", 1);  // an empty list does nothing

  std::vector<std::string> order;
  struct Ordered : RecordingAppender {
    Ordered(std::vector<std::string>& o, std::string n) : order(o), name(std::move(n)) {}
    void append(const LWLogger& l, LWLogLevel lv, LWMessage m, std::string_view f, std::string_view fn,
                int line) override {
      order.push_back(name);
      RecordingAppender::append(l, lv, m, f, fn, line);
    }
    using RecordingAppender::append;
    std::vector<std::string>& order;
    std::string name;
  };
  auto first = std::make_shared<Ordered>(order, "first");
  auto second = std::make_shared<Ordered>(order, "second");
  multi->setAppenders({first, second});
  logger.warn({"a", 1}, "/x/File.cpp", "run()", 9);
  logger.error("%d", 5, "F.cpp", "go()", 3);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
  for (auto* appender : {first.get(), second.get()}) {
    auto records = appender->snapshot();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].logger, &logger);
    EXPECT_EQ(records[0].level, LWLogLevel::warn);
    EXPECT_EQ(records[0].message, "a1");
    EXPECT_EQ(records[0].file, "/x/File.cpp");
    EXPECT_EQ(records[0].function, "run()");
    EXPECT_EQ(records[0].line, 9);
    EXPECT_TRUE(records[1].formatForm);
    EXPECT_EQ(records[1].message, "5");
  }
}

TEST(NullAppenderTest, IsOneSharedSinkThatDropsEverything) {
  EXPECT_EQ(NullAppender::shared().get(), NullAppender::shared().get());
  LWLogger logger("test.null");
  logger.setAppender(NullAppender::shared());
  ::testing::internal::CaptureStdout();
  logger.error({"gone"}, "f", "fn", 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(OSLoggerAppenderTest, WritesACompactLineAtTheTypeOfItsLevel) {
  platform::ScopedSystemLogCapture capture;
  auto appender = std::make_shared<OSLoggerAppender>("quarzadel.Medley", "lib");
  LWLogger logger("test.os");
  logger.setLevel(LWLogLevel::trace);
  logger.setAppender(appender);
  logger.info({"ready", 1}, "/src/lib/Stream", "start()", 42);
  logger.warn({"w"}, "NoSlash.cpp", "f()", 1);
  logger.trace("%.1f", 2.25, "a/b.cpp", "g()", 2);
  logger.error({"e"}, "a/b.cpp", "h()", 3);
  logger.debug({"d"}, "a/b.cpp", "i()", 4);
  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].message, "[Stream:42]start()>ready1");
  EXPECT_EQ(entries[0].type, platform::LogType::info);
  EXPECT_EQ(entries[0].subsystem, "quarzadel.Medley");
  EXPECT_EQ(entries[0].category, "lib");
  EXPECT_EQ(entries[1].message, "[NoSlash.cpp:1]f()>w");
  EXPECT_EQ(entries[1].type, platform::LogType::error);
  EXPECT_EQ(entries[2].message, "[b.cpp:2]g()>2.2");
  EXPECT_EQ(entries[2].type, platform::LogType::debug);
  EXPECT_EQ(entries[3].type, platform::LogType::error);
  EXPECT_EQ(entries[4].type, platform::LogType::debug);
}

TEST(OSLoggerAppenderTest, SkipsTypesTheSystemLogDoesNotRecord) {
  struct InfoOnly : platform::SystemLogSink {
    bool isEnabled(platform::LogType type) const override { return type != platform::LogType::debug; }
    void write(platform::LogType, std::string_view, std::string_view, std::string_view message) override {
      messages.emplace_back(message);
    }
    std::vector<std::string> messages;
  };
  auto sink = std::make_shared<InfoOnly>();
  auto previous = platform::SystemLog::setSink(sink);
  LWLogger logger("test.os.disabled");
  logger.setLevel(LWLogLevel::trace);
  logger.setAppender(std::make_shared<OSLoggerAppender>("s", "c"));
  logger.debug({"hidden"}, "f", "fn", 1);
  logger.info({"shown"}, "f", "fn", 2);
  platform::SystemLog::setSink(previous);
  EXPECT_EQ(sink->messages, (std::vector<std::string>{"[f:2]fn>shown"}));
}

}  // namespace
}  // namespace logwell
