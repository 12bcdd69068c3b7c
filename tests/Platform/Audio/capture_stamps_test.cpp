#include "Platform/Audio/CaptureStamps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace platform {
namespace {

constexpr double kRate = 48000;
constexpr double kT0 = 1000.0;

// A device delivering `frames` per read, every read `frames / rate` apart on
// the host clock (scaled by `clock`, 1 for a device on the host clock), each
// arriving after a scheduling delay, with a latency reading off by up to `jitter`.
struct Device {
  int64_t frames;
  double clock = 1.0;
  double jitter = 0.005;
  double lateness = 0.004;
  std::mt19937 random{7};
  int64_t sent = 0;

  // The true host time of the end of read k, its arrival and its measured start.
  double trueEnd(int64_t k) const { return kT0 + static_cast<double>((k + 1) * frames) / kRate / clock; }
  struct Read {
    double arrival;
    double measured;
  };
  Read read(int64_t k) {
    std::uniform_real_distribution<double> u(0, 1);
    const double arrival = trueEnd(k) + lateness * u(random);
    const double measured = trueEnd(k) - static_cast<double>(frames) / kRate - jitter * u(random);
    return {arrival, measured};
  }
};

// 10 ms fragments and 2 s blocks whose latency reading is off by up to 2.2 s
// alike run on one line from the first stamp: no gap, no overlap, never after
// the arrival, and as near the truth as the first measure was.
TEST(CaptureStamps, FragmentsAndLargeBlocksRunOnOneLineWhateverTheLatencyReadingSays) {
  for (const auto& [frames, jitter] : {std::pair<int64_t, double>{480, 0.005}, {96000, 2.2}}) {
    SCOPED_TRACE(frames);
    Device device{frames};
    device.jitter = jitter;
    CaptureStamps stamps(kRate);
    double first = 0;
    const int64_t reads = 60 * 48000 / frames;  // a minute
    for (int64_t k = 0; k < reads; ++k) {
      const auto read = device.read(k);
      const double stamp = stamps.stamp(frames, read.measured, read.arrival);
      if (k == 0) first = stamp;
      ASSERT_NEAR(stamp, first + static_cast<double>(k * frames) / kRate, 1e-6) << k;
      ASSERT_LE(stamp + static_cast<double>(frames) / kRate, read.arrival + 1e-9) << k;
    }
    EXPECT_NEAR(first, kT0, jitter + 1e-9);
  }
}

// A hole the server reports is counted into the line; an overrun of unknown
// size lets the next block's measure anchor it anew.
TEST(CaptureStamps, AHoleIsCountedAndAnOverrunAnchorsAnew) {
  CaptureStamps stamps(kRate);
  EXPECT_DOUBLE_EQ(stamps.stamp(480, kT0, kT0 + 0.02), kT0);
  stamps.skip(960);
  EXPECT_DOUBLE_EQ(stamps.stamp(480, kT0 + 0.5, kT0 + 0.05), kT0 + 0.03);
  stamps.reanchor();
  EXPECT_FALSE(stamps.anchored());
  EXPECT_DOUBLE_EQ(stamps.stamp(480, kT0 + 0.2, kT0 + 0.3), kT0 + 0.2);
  EXPECT_DOUBLE_EQ(stamps.stamp(480, kT0 + 0.9, kT0 + 0.3), kT0 + 0.21);
  // A first measure later than the block's arrival allows is not believed.
  CaptureStamps late(kRate);
  EXPECT_DOUBLE_EQ(late.stamp(96000, kT0 + 1.0, kT0 + 2.5), kT0 + 0.5);
}

// A device clock off the host clock by half a percent either way: the line
// follows the host clock in small steps (none beyond the drift bound) and never
// runs ahead of an arrival.
TEST(CaptureStamps, ADeviceClockThatDriftsIsFollowedInSmallSteps) {
  for (const double clock : {1.005, 0.995}) {
    SCOPED_TRACE(clock);
    Device device{480, clock};
    CaptureStamps stamps(kRate);
    double previousEnd = 0;
    double largestStep = 0;
    double worst = 0;
    for (int64_t k = 0; k < 120 * 100; ++k) {
      const auto read = device.read(k);
      const double stamp = stamps.stamp(480, read.measured, read.arrival);
      if (k > 0) largestStep = std::max(largestStep, std::abs(stamp - previousEnd));
      previousEnd = stamp + 480 / kRate;
      ASSERT_LE(previousEnd, read.arrival + 1e-9) << k;
      worst = std::max(worst, std::abs(previousEnd - device.trueEnd(k)));
    }
    // 0.6 s of drift over the two minutes, never more than a window's worth of it at once.
    EXPECT_LT(worst, 0.06);
    EXPECT_LT(largestStep, 0.04);
  }
}

}  // namespace
}  // namespace platform
