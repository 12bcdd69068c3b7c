#pragma once
// A date formatter with a fixed pattern of the usual field letters (yyyy MM dd HH
// mm ss SSS; other characters literal), in local time unless told UTC. It both
// formats and parses; immutable, so one instance serves every thread.
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Time/Date.h"

namespace logwell {

class LWDateFormatter {
 public:
  explicit LWDateFormatter(std::string pattern, bool utc = false) : pattern_(std::move(pattern)), utc_(utc) {}

  const std::string& pattern() const { return pattern_; }
  bool isUTC() const { return utc_; }

  std::string format(platform::Date date) const;
  // The date the text names, or none when it does not follow the pattern exactly
  // or names no real time.
  std::optional<platform::Date> parse(std::string_view text) const;

 private:
  std::string pattern_;
  bool utc_;
};

}  // namespace logwell
