#include "Logwell/ConsoleAppender.h"

#include <chrono>
#include <cstdio>

#include "Logwell/LWLogger.h"

namespace logwell {

std::string ConsoleAppender::line(const LWLogger& logger, LWLogLevel level, const std::string& message,
                                  std::string_view file, std::string_view function, int line) {
  LWLogRecord record{std::chrono::system_clock::now(), level, logger.identifier(), std::string(file), line,
                     std::string(function), message};
  return record.description();
}

void ConsoleAppender::print(const std::string& text) const {
  // One write per line: stdio locks the stream, so lines from threads never mix.
  std::string out = text + '\n';
  std::fwrite(out.data(), 1, out.size(), out_);
}

void ConsoleAppender::append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
                             std::string_view function, int line) {
  print(ConsoleAppender::line(logger, level, messageText(message), file, function, line));
}

void ConsoleAppender::append(const LWLogger& logger, LWLogLevel level, std::string_view format,
                             const LWFormatArgument& argument, std::string_view file, std::string_view function,
                             int line) {
  print(ConsoleAppender::line(logger, level, formatMessage(format, argument), file, function, line));
}

}  // namespace logwell
