#pragma once
// A rational media time: value / timescale seconds, with validity flags.
// Comparison works across timescales; invalid times sort before valid ones.
#include <compare>
#include <cstdint>
#include <string>

namespace platform {

struct MediaTime {
  enum Flags : uint32_t {
    kValid = 1u << 0,
    kHasBeenRounded = 1u << 1,
    kPositiveInfinity = 1u << 2,
    kNegativeInfinity = 1u << 3,
    kIndefinite = 1u << 4,
  };

  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;

  constexpr MediaTime() = default;
  constexpr MediaTime(int64_t v, int32_t ts) : value(v), timescale(ts), flags(ts > 0 ? uint32_t{kValid} : 0u) {}

  static constexpr MediaTime invalid() { return MediaTime{}; }
  static constexpr MediaTime zero() { return MediaTime{0, 1}; }
  static MediaTime positiveInfinity();
  static MediaTime negativeInfinity();
  static MediaTime indefinite();
  // Rounds to the nearest value at the given timescale.
  static MediaTime fromSeconds(double seconds, int32_t timescale);
  // Host nanoseconds at timescale 1e9, the host clock's own.
  static constexpr MediaTime fromNanos(int64_t ns) { return MediaTime{ns, 1'000'000'000}; }

  constexpr bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }
  constexpr bool isNumeric() const {
    return isValid() && (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0;
  }
  bool isPositiveInfinity() const { return isValid() && (flags & kPositiveInfinity); }
  bool isNegativeInfinity() const { return isValid() && (flags & kNegativeInfinity); }
  bool isIndefinite() const { return isValid() && (flags & kIndefinite); }

  double seconds() const;
  // Same instant at another timescale, rounded to nearest.
  MediaTime convertScale(int32_t newTimescale) const;
  // Nanoseconds (for host-clock times); 0 for non-numeric times.
  int64_t nanos() const;

  std::string description() const;

  friend MediaTime operator+(const MediaTime& a, const MediaTime& b);
  friend MediaTime operator-(const MediaTime& a, const MediaTime& b);
  friend bool operator==(const MediaTime& a, const MediaTime& b);
  friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
};

}  // namespace platform
