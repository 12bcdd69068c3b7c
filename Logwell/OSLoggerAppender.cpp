#include "Logwell/OSLoggerAppender.h"

#include "Logwell/LWLogRecord.h"

namespace logwell {

OSLoggerAppender::OSLoggerAppender(std::string subsystem, std::string category)
    : logger_(std::move(subsystem), std::move(category)) {}

platform::LogType OSLoggerAppender::logType(LWLogLevel level) {
  switch (level) {
    case LWLogLevel::trace:
    case LWLogLevel::debug: return platform::LogType::debug;
    case LWLogLevel::info: return platform::LogType::info;
    case LWLogLevel::warn:
    case LWLogLevel::error: return platform::LogType::error;
  }
  return platform::LogType::debug;
}

std::string OSLoggerAppender::line(std::string_view file, std::string_view function, int line,
                                   const std::string& message) {
  std::string out = "[";
  out += LWLogRecord::fileName(file);
  out += ":";
  out += std::to_string(line);
  out += "]";
  out += function;
  out += ">";
  out += message;
  return out;
}

void OSLoggerAppender::write(LWLogLevel level, const std::string& text) const {
  auto type = logType(level);
  if (logger_.isEnabled(type)) logger_.log(type, text);
}

void OSLoggerAppender::append(const LWLogger&, LWLogLevel level, LWMessage message, std::string_view file,
                              std::string_view function, int line) {
  write(level, OSLoggerAppender::line(file, function, line, messageText(message)));
}

void OSLoggerAppender::append(const LWLogger&, LWLogLevel level, std::string_view format,
                              const LWFormatArgument& argument, std::string_view file, std::string_view function,
                              int line) {
  write(level, OSLoggerAppender::line(file, function, line, formatMessage(format, argument)));
}

}  // namespace logwell
