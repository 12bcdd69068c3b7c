#pragma once
// What a pipeline wrote to the logs during a test: its session-log lines (without
// their time) and its system-log entries.
#include <string>
#include <vector>

#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Log/LogTestSupport.h"
#include "Quarzadel/Log/SessionLog.h"

namespace quarzadel::testing {

class LogCapture {
 public:
  LogCapture() {
    SessionLog::shared()->startSession("pipeline");
    SessionLog::shared()->flush();
    capture_.sink().clear();
  }
  ~LogCapture() { SessionLog::shared()->close(); }

  // "[LEVEL] [Category] message" for every line after the session's first.
  std::vector<std::string> sessionLines() {
    SessionLog::shared()->flush();
    std::vector<std::string> lines;
    auto files = filesIn(dir_.path() / "Quarzadel");
    if (files.size() != 1) return lines;
    auto all = readLines(files[0]);
    for (size_t k = 1; k < all.size(); ++k) lines.push_back(withoutTime(all[k]));
    return lines;
  }
  // The system log's messages at one type.
  std::vector<std::string> system(platform::LogType type) {
    std::vector<std::string> messages;
    for (const auto& e : capture_.sink().entries())
      if (e.type == type) messages.push_back(e.message);
    return messages;
  }

 private:
  ScopedTempDir dir_;
  ScopedEnv state_{"XDG_STATE_HOME", dir_.path().string()};
  platform::ScopedSystemLogCapture capture_;
};

}  // namespace quarzadel::testing
