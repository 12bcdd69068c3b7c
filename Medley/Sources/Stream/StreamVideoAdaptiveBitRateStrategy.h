#pragma once
// Lowers a stream's video bit rate (and, when nothing leaves the machine, its
// frame rate) when the uplink cannot keep up, and raises the bit rate again in
// steps of a tenth of the ceiling after 15 good seconds. Never changes audio,
// and never sets a video bit rate above the ceiling.
#include <cstdint>
#include <memory>

#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Medley/Sources/Stream/StreamConvertible.h"
#include "Platform/Concurrency/Actor.h"

namespace medley {

class StreamVideoAdaptiveBitRateStrategy final : public platform::Actor, public StreamBitRateStrategy {
 public:
  // Good seconds below the ceiling before a raise.
  static constexpr int kSufficientBWCountsThreshold = 15;

  explicit StreamVideoAdaptiveBitRateStrategy(int mamimumVideoBitRate,
                                              std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  int mamimumVideoBitRate() const override { return mamimumVideoBitRate_; }
  int mamimumAudioBitRate() const override { return mamimumAudioBitRate_; }
  platform::Async<void> adjustBitRate(NetworkMonitorEvent event, std::shared_ptr<StreamConvertible> stream) override;

  platform::Async<int> sufficientBWCounts();
  platform::Async<int> zeroBytesOutPerSecondCounts();

 private:
  platform::Async<void> onStatus(std::shared_ptr<StreamConvertible> stream);
  platform::Async<void> onInsufficientBandwidth(NetworkMonitorReport report, std::shared_ptr<StreamConvertible> stream);
  platform::Async<void> onReset(std::shared_ptr<StreamConvertible> stream);
  // A step of the bit rate: a tenth of the ceiling.
  int step() const { return mamimumVideoBitRate_ / 10; }

  const int mamimumVideoBitRate_;
  const int mamimumAudioBitRate_ = 0;
  int sufficientBWCounts_ = 0;
  int zeroBytesOutPerSecondCounts_ = 0;
};

}  // namespace medley
