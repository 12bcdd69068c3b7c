#pragma once
// Prints each record to standard output (or the stream given) as one line in
// the record's text form.
#include <cstdio>

#include "Logwell/LWLoggerAppender.h"

namespace logwell {

class ConsoleAppender : public LWLoggerAppender {
 public:
  ConsoleAppender() = default;
  // Tools whose standard output is data print their log to standard error.
  explicit ConsoleAppender(std::FILE* out) : out_(out) {}
  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override;
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override;

  // The printed line without its line feed.
  static std::string line(const LWLogger& logger, LWLogLevel level, const std::string& message,
                          std::string_view file, std::string_view function, int line);

 private:
  void print(const std::string& text) const;
  std::FILE* out_ = stdout;
};

}  // namespace logwell
