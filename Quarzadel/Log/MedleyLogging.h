#pragma once
// Takes the media libraries' module loggers over at start-up: their level from
// the "MedleyLogLevel" default and an appender that turns every library record
// into one application log line "[Medley <file name>:<line>] <message>".
// Information, warnings and errors reach the system log and the session log;
// trace and debug records reach the system log only (at the debug type).
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Logwell/LWLoggerAppender.h"

namespace quarzadel {

class MedleyLogging {
 public:
  // Once, at start-up, before any media work.
  static void install();

  // The level a "MedleyLogLevel" value names: capitalised word by word, then
  // matched exactly; absent or unknown gives info.
  static logwell::LWLogLevel level(const std::optional<std::string>& setting);

  class Appender : public logwell::LWLoggerAppender {
   public:
    void append(const logwell::LWLogger& logger, logwell::LWLogLevel level, logwell::LWMessage message,
                std::string_view file, std::string_view function, int line) override;
    void append(const logwell::LWLogger& logger, logwell::LWLogLevel level, std::string_view format,
                const logwell::LWFormatArgument& argument, std::string_view file, std::string_view function,
                int line) override;

    static void appendLine(logwell::LWLogLevel level, const std::string& message, std::string_view file, int line);
  };
};

// Each word's first letter upper case and the rest lower case ("warN" -> "Warn").
std::string capitalized(std::string_view text);

}  // namespace quarzadel
