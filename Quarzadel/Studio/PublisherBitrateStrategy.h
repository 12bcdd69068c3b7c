#pragma once
// The publisher's bit-rate strategy: runs the controller on each monitor
// event, applies a new rate to the stream's video encoder, logs the change and
// hands every report with the current rate to the publisher. One per attempt.
// Its log lines are the publisher's and carry its category.
#include <functional>
#include <memory>
#include <mutex>

#include "Medley/Sources/Network/NetworkMonitorEvent.h"
#include "Medley/Sources/Network/NetworkMonitorReport.h"
#include "Medley/Sources/Stream/StreamConvertible.h"
#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Quarzadel/Studio/BitrateController.h"

namespace quarzadel {

class PublisherBitrateStrategy final : public medley::StreamBitRateStrategy {
 public:
  // Called with each report and the video bit rate after the step.
  using Report = std::function<void(const medley::NetworkMonitorReport&, int64_t)>;

  PublisherBitrateStrategy(int64_t maximumVideoBitRate, int64_t audioBitRate, int64_t start, Report report);

  int mamimumVideoBitRate() const override { return static_cast<int>(maximum_); }
  int mamimumAudioBitRate() const override { return static_cast<int>(audio_); }
  // `stream` may be null (nothing to apply the rate to).
  platform::Async<void> adjustBitRate(medley::NetworkMonitorEvent event,
                                      std::shared_ptr<medley::StreamConvertible> stream) override;

  BitrateController controller() const;

 private:
  const int64_t maximum_;
  const int64_t audio_;
  Report report_;
  mutable std::mutex lock_;
  BitrateController controller_;
};

}  // namespace quarzadel
