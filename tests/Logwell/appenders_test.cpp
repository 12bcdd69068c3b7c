#include <gtest/gtest.h>

#include "Logwell/LWLogger.h"
#include "Logwell/MultiAppender.h"
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
    auto r = appender->snapshot();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(std::tie(r[0].logger, r[0].level, r[0].message, r[0].file, r[0].function, r[0].line),
              std::make_tuple(&logger, LWLogLevel::warn, "a1", "/x/File.cpp", "run()", 9));
    EXPECT_TRUE(r[1].formatForm);
    EXPECT_EQ(r[1].message, "5");
  }
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
  using platform::LogType;
  EXPECT_EQ(capture.sink().entries(),
            (std::vector<platform::CapturingSystemLogSink::Entry>{
                {LogType::info, "quarzadel.Medley", "lib", "[Stream:42]start()>ready 1"},
                {LogType::error, "quarzadel.Medley", "lib", "[NoSlash.cpp:1]f()>w"},
                {LogType::debug, "quarzadel.Medley", "lib", "[b.cpp:2]g()>2.2"},
                {LogType::error, "quarzadel.Medley", "lib", "[b.cpp:3]h()>e"},
                {LogType::debug, "quarzadel.Medley", "lib", "[b.cpp:4]i()>d"}}));
}

}  // namespace
}  // namespace logwell
