#include "Platform/Time/MediaTime.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {
namespace {

// Rank of non-numeric times: invalid < -inf < numeric < +inf < indefinite.
int rank(const MediaTime& t) {
  if (!t.isValid()) return 0;
  if (t.isNegativeInfinity()) return 1;
  if (t.isPositiveInfinity()) return 3;
  if (t.isIndefinite()) return 4;
  return 2;
}

MediaTime special(uint32_t flag) {
  MediaTime t{0, 1};
  t.flags |= flag;
  return t;
}

}  // namespace

MediaTime MediaTime::positiveInfinity() { return special(kPositiveInfinity); }
MediaTime MediaTime::negativeInfinity() { return special(kNegativeInfinity); }
MediaTime MediaTime::indefinite() { return special(kIndefinite); }

MediaTime MediaTime::fromSeconds(double s, int32_t timescale) {
  if (timescale <= 0 || !std::isfinite(s)) return invalid();
  double v = std::nearbyint(s * timescale);
  MediaTime t{static_cast<int64_t>(v), timescale};
  if (v != s * timescale) t.flags |= kHasBeenRounded;
  return t;
}

double MediaTime::seconds() const {
  if (isPositiveInfinity()) return std::numeric_limits<double>::infinity();
  if (isNegativeInfinity()) return -std::numeric_limits<double>::infinity();
  if (!isNumeric()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / timescale;
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
  if (!isNumeric() || newTimescale <= 0) return *this;
  if (newTimescale == timescale) return *this;
  __int128 scaled = static_cast<__int128>(value) * newTimescale;
  __int128 q = scaled / timescale;
  __int128 r = scaled % timescale;
  // round half away from zero
  if (2 * (r < 0 ? -r : r) >= timescale) q += (scaled < 0 ? -1 : 1);
  MediaTime t{static_cast<int64_t>(q), newTimescale};
  if (r != 0) t.flags |= kHasBeenRounded;
  return t;
}

int64_t MediaTime::nanos() const {
  if (!isNumeric()) return 0;
  return convertScale(1'000'000'000).value;
}

std::string MediaTime::description() const {
  if (!isValid()) return "invalid";
  if (isPositiveInfinity()) return "+inf";
  if (isNegativeInfinity()) return "-inf";
  if (isIndefinite()) return "indefinite";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld/%d", static_cast<long long>(value), timescale);
  return buf;
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) {
  if (!a.isNumeric() || !b.isNumeric()) return MediaTime::invalid();
  if (a.timescale == b.timescale) return MediaTime{a.value + b.value, a.timescale};
  int32_t ts = std::max(a.timescale, b.timescale);
  return MediaTime{a.convertScale(ts).value + b.convertScale(ts).value, ts};
}

MediaTime operator-(const MediaTime& a, const MediaTime& b) {
  if (!a.isNumeric() || !b.isNumeric()) return MediaTime::invalid();
  if (a.timescale == b.timescale) return MediaTime{a.value - b.value, a.timescale};
  int32_t ts = std::max(a.timescale, b.timescale);
  return MediaTime{a.convertScale(ts).value - b.convertScale(ts).value, ts};
}

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
  int ra = rank(a), rb = rank(b);
  if (ra != rb || ra != 2) return ra <=> rb;
  // exact cross-multiplication
  __int128 l = static_cast<__int128>(a.value) * b.timescale;
  __int128 r = static_cast<__int128>(b.value) * a.timescale;
  return l < r ? std::strong_ordering::less : (l > r ? std::strong_ordering::greater : std::strong_ordering::equal);
}

bool operator==(const MediaTime& a, const MediaTime& b) { return (a <=> b) == std::strong_ordering::equal; }

}  // namespace platform
