#pragma once
// One log record (the logger's Data): its text form and its parse from the
// socket appender's tab-separated layout.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Logwell/LWDateFormatter.h"
#include "Logwell/LWLogLevel.h"
#include "Platform/Time/Date.h"

namespace logwell {

struct LWLogRecord {
  platform::Date date;
  LWLogLevel level = LWLogLevel::trace;
  std::string identifier;
  std::string file;
  int64_t line = 0;
  std::string function;
  std::string message;

  // "<date> [<Level>] [<identifier>] [<file name>:<line>] <function> > <message>",
  // without a line feed.
  std::string description() const;

  // A record from the tab-separated layout (date, level, identifier, file, line,
  // function, message...); none when the bytes are not UTF-8 or hold fewer than
  // seven fields. An unreadable date is taken as now, an unknown level as trace and
  // an unreadable line as 0; fields past the seventh belong to the message.
  static std::optional<LWLogRecord> parse(std::string_view bytes);
  static std::optional<LWLogRecord> parse(std::span<const uint8_t> bytes);

  // The part of a path after its last "/", or the whole path without one.
  static std::string_view fileName(std::string_view path);

  // The module's one shared date formatter ("yyyy-dd-MM HH:mm:ss.SSS", day before
  // month, local time). Replacing it changes every user of it.
  static std::shared_ptr<const LWDateFormatter> dateFormatter();
  static void setDateFormatter(std::shared_ptr<const LWDateFormatter> formatter);
};

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUTF8(std::string_view bytes);

}  // namespace logwell
