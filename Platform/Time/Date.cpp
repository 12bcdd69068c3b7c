#include "Platform/Time/Date.h"

#include <cstdio>
#include <ctime>

namespace platform {
namespace {
class SystemWallClock final : public WallClock {
 public:
  Date now() const override { return std::chrono::system_clock::now(); }
};
}  // namespace

std::shared_ptr<WallClock> WallClock::system() {
  static auto clock = std::make_shared<SystemWallClock>();
  return clock;
}

std::string formatDate(Date date, const std::string& pattern, bool utc) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(date.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms / 1000);
  int millis = static_cast<int>(ms % 1000);
  if (millis < 0) {
    millis += 1000;
    secs -= 1;
  }
  tm t{};
  if (utc) gmtime_r(&secs, &t); else localtime_r(&secs, &t);

  std::string out;
  out.reserve(pattern.size() + 8);
  char buf[16];
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < pattern.size() && pattern[i + n] == c) ++n;
    return n;
  };
  while (i < pattern.size()) {
    char c = pattern[i];
    size_t n = run(c);
    switch (c) {
      case 'y': std::snprintf(buf, sizeof buf, "%04d", t.tm_year + 1900); out += buf; break;
      case 'M': std::snprintf(buf, sizeof buf, "%02d", t.tm_mon + 1); out += buf; break;
      case 'd': std::snprintf(buf, sizeof buf, "%02d", t.tm_mday); out += buf; break;
      case 'H': std::snprintf(buf, sizeof buf, "%02d", t.tm_hour); out += buf; break;
      case 'm': std::snprintf(buf, sizeof buf, "%02d", t.tm_min); out += buf; break;
      case 's': std::snprintf(buf, sizeof buf, "%02d", t.tm_sec); out += buf; break;
      case 'S': std::snprintf(buf, sizeof buf, "%03d", millis); out += buf; break;
      default: out.append(n, c); break;
    }
    i += n;
  }
  return out;
}

Date makeUtcDate(int year, int month, int day, int hour, int minute, int second, int millis) {
  using namespace std::chrono;
  sys_days days = year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                 std::chrono::day{static_cast<unsigned>(day)}};
  return time_point_cast<system_clock::duration>(days + hours{hour} + minutes{minute} + std::chrono::seconds{second} +
                                                 milliseconds{millis});
}

}  // namespace platform
