#include "Logwell/LWDateFormatter.h"

#include <chrono>
#include <ctime>

namespace logwell {

std::string LWDateFormatter::format(platform::Date date) const { return platform::formatDate(date, pattern_, utc_); }

std::optional<platform::Date> LWDateFormatter::parse(std::string_view text) const {
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, millis = 0;
  size_t p = 0, t = 0;
  auto digits = [&](size_t count, int& into) {
    if (t + count > text.size()) return false;
    int v = 0;
    for (size_t k = 0; k < count; ++k) {
      char ch = text[t + k];
      if (ch < '0' || ch > '9') return false;
      v = v * 10 + (ch - '0');
    }
    into = v;
    t += count;
    return true;
  };
  while (p < pattern_.size()) {
    char c = pattern_[p];
    size_t n = 0;
    while (p + n < pattern_.size() && pattern_[p + n] == c) ++n;
    bool ok = true;
    switch (c) {
      case 'y': ok = digits(4, year); break;
      case 'M': ok = digits(2, month); break;
      case 'd': ok = digits(2, day); break;
      case 'H': ok = digits(2, hour); break;
      case 'm': ok = digits(2, minute); break;
      case 's': ok = digits(2, second); break;
      case 'S': ok = digits(3, millis); break;
      default:
        ok = text.substr(t, n) == std::string_view(pattern_).substr(p, n);
        if (ok) t += n;
        break;
    }
    if (!ok) return std::nullopt;
    p += n;
  }
  if (t != text.size()) return std::nullopt;

  using namespace std::chrono;
  year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                     std::chrono::day{static_cast<unsigned>(day)}};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  if (utc_) return platform::makeUtcDate(year, month, day, hour, minute, second, millis);
  tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  time_t secs = mktime(&local);
  if (secs == static_cast<time_t>(-1) && !(year == 1969 || year == 1970)) return std::nullopt;
  return system_clock::from_time_t(secs) + milliseconds(millis);
}

}  // namespace logwell
