#include "Platform/Log/SystemLog.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

using Entry = CapturingSystemLogSink::Entry;

TEST(SystemLog, NestedCapturesRecordEveryFieldAndRestoreThePreviousSink) {
  auto before = SystemLog::sink();
  {
    ScopedSystemLogCapture outer;
    {
      ScopedSystemLogCapture inner;
      SystemLogger app("com.quarzadel.mac", "app");
      app.info("Studio opened");
      SystemLogger("com.quarzadel.mac", "upload").debug("Session log upload x.log: ok");
      app.log(LogType::fault, "line one\nline two");
      EXPECT_EQ(inner.sink().entries(),
                (std::vector<Entry>{{LogType::info, "com.quarzadel.mac", "app", "Studio opened"},
                                    {LogType::debug, "com.quarzadel.mac", "upload", "Session log upload x.log: ok"},
                                    {LogType::fault, "com.quarzadel.mac", "app", "line one\nline two"}}));
    }
    SystemLogger("s", "c").error("to outer");
    EXPECT_EQ(outer.sink().messages(), std::vector<std::string>{"to outer"});
  }
  EXPECT_EQ(SystemLog::sink(), before);
  SystemLog::setSink(nullptr);  // null puts the syslog sink back
  EXPECT_NE(dynamic_cast<SyslogSink*>(SystemLog::sink().get()), nullptr);
  SystemLog::setSink(before);
}

TEST(SystemLog, SyslogSinkTakesMessagesThatLookLikeFormats) {
  // A message is data, never a format: "%n" would write through a stray pointer.
  SyslogSink sink;
  sink.write(LogType::debug, "com.quarzadel.tests", "format", "100%s %n %x done");
  SUCCEED();
}

TEST(SystemLog, ConcurrentLoggersAndSinkSwapsLoseNothingCaptured) {
  ScopedSystemLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      SystemLogger logger("s", "thread" + std::to_string(t));
      for (int i = 0; i < 250; ++i) logger.info(std::to_string(i));
    });
  for (auto& th : threads) th.join();
  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 1000u);
  // Each thread's lines keep their order.
  std::map<std::string, int> next;
  for (const auto& e : entries) EXPECT_EQ(e.message, std::to_string(next[e.category]++));
}

}  // namespace
}  // namespace platform
