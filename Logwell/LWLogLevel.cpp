#include "Logwell/LWLogLevel.h"

namespace logwell {

std::string_view description(LWLogLevel level) {
  switch (level) {
    case LWLogLevel::trace: return "Trace";
    case LWLogLevel::debug: return "Debug";
    case LWLogLevel::info: return "Info";
    case LWLogLevel::warn: return "Warn";
    case LWLogLevel::error: return "Error";
  }
  return "Trace";
}

std::optional<LWLogLevel> levelFromString(std::string_view name) {
  for (auto level : {LWLogLevel::trace, LWLogLevel::debug, LWLogLevel::info, LWLogLevel::warn, LWLogLevel::error}) {
    if (description(level) == name) return level;
  }
  return std::nullopt;
}

}  // namespace logwell
