#pragma once
// Wall-clock dates (for file names and log lines), injectable for tests.
#include <chrono>
#include <memory>
#include <string>

namespace platform {

using Date = std::chrono::system_clock::time_point;

class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual Date now() const = 0;
  static std::shared_ptr<WallClock> system();
};

class FixedWallClock final : public WallClock {
 public:
  explicit FixedWallClock(Date d) : date_(d) {}
  Date now() const override { return date_; }
  void set(Date d) { date_ = d; }
  void advance(std::chrono::milliseconds ms) { date_ += ms; }

 private:
  Date date_;
};

// Formats a date in local time with a pattern of the usual field letters:
// yyyy MM dd HH mm ss SSS; other characters are copied.
std::string formatDate(Date date, const std::string& pattern, bool utc = false);

// Date from a civil time in UTC, for tests and fixed inputs.
Date makeUtcDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int millis = 0);

}  // namespace platform
