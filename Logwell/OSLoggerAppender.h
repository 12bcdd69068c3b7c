#pragma once
// Writes each record as one line to the system log:
// "[<file name>:<line>]<function>><message>", at the debug type for trace and
// debug, info for info, error for warn and error.
#include <string>

#include "Logwell/LWLoggerAppender.h"
#include "Platform/Log/SystemLog.h"

namespace logwell {

class OSLoggerAppender : public LWLoggerAppender {
 public:
  OSLoggerAppender(std::string subsystem, std::string category);

  const platform::SystemLogger& logger() const { return logger_; }

  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override;
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override;

  static platform::LogType logType(LWLogLevel level);
  static std::string line(std::string_view file, std::string_view function, int line, const std::string& message);

 private:
  void write(LWLogLevel level, const std::string& text) const;
  platform::SystemLogger logger_;
};

}  // namespace logwell
