#pragma once
// The five logger levels, ordered by their raw values.
#include <optional>
#include <string_view>

namespace logwell {

enum class LWLogLevel : int { trace = 0, debug = 1, info = 2, warn = 3, error = 4 };

// "Trace", "Debug", "Info", "Warn" or "Error".
std::string_view description(LWLogLevel level);

// The level whose name equals the text exactly (case-sensitive), else none.
std::optional<LWLogLevel> levelFromString(std::string_view name);

}  // namespace logwell
