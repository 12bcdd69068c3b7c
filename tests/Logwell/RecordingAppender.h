#pragma once
// Test appender that keeps every record it is handed.
#include <mutex>
#include <string>
#include <vector>

#include "Logwell/LWLogger.h"

namespace logwell::testing {

struct Appended {
  const LWLogger* logger;
  LWLogLevel level;
  std::string message;  // items joined without separator, or the filled format
  std::string text;     // as the applications print it: items joined by one blank
  std::string file;
  std::string function;
  int line;
  bool formatForm;
};

class RecordingAppender : public LWLoggerAppender {
 public:
  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override {
    std::lock_guard lock(mutex);
    records.push_back({&logger, level, joinMessage(message), messageText(message), std::string(file),
                       std::string(function), line, false});
  }
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override {
    std::lock_guard lock(mutex);
    auto filled = formatMessage(format, argument);
    records.push_back({&logger, level, filled, filled, std::string(file), std::string(function), line, true});
  }
  std::vector<Appended> snapshot() {
    std::lock_guard lock(mutex);
    return records;
  }

  std::mutex mutex;
  std::vector<Appended> records;
};

}  // namespace logwell::testing
