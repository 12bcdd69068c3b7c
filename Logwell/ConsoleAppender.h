#pragma once
// Prints each record to standard output as one line in the record's text form.
#include "Logwell/LWLoggerAppender.h"

namespace logwell {

class ConsoleAppender : public LWLoggerAppender {
 public:
  ConsoleAppender() = default;
  void append(const LWLogger& logger, LWLogLevel level, LWMessage message, std::string_view file,
              std::string_view function, int line) override;
  void append(const LWLogger& logger, LWLogLevel level, std::string_view format, const LWFormatArgument& argument,
              std::string_view file, std::string_view function, int line) override;

  // The printed line without its line feed.
  static std::string line(const LWLogger& logger, LWLogLevel level, const std::string& message,
                          std::string_view file, std::string_view function, int line);

 private:
  static void print(const std::string& text);
};

}  // namespace logwell
