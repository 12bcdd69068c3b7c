#include "Medley/Sources/Stream/StreamVideoAdaptiveBitRateStrategy.h"

#include <algorithm>
#include <string>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::Async;

namespace {

// The stream may refuse new settings; the strategy goes on with its counters.
Async<void> apply(std::shared_ptr<StreamConvertible> stream, VideoCodecSettings settings) {
  try {
    co_await stream->setVideoSettings(std::move(settings));
  } catch (const std::exception& error) {
    MEDLEY_LOG_WARN("video settings refused:", error.what());
  }
}

}  // namespace

StreamVideoAdaptiveBitRateStrategy::StreamVideoAdaptiveBitRateStrategy(int mamimumVideoBitRate,
                                                                       std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.StreamVideoAdaptiveBitRateStrategy", std::move(runtime)),
      mamimumVideoBitRate_(mamimumVideoBitRate) {}

Async<int> StreamVideoAdaptiveBitRateStrategy::sufficientBWCounts() {
  co_await hop();
  co_return sufficientBWCounts_;
}

Async<int> StreamVideoAdaptiveBitRateStrategy::zeroBytesOutPerSecondCounts() {
  co_await hop();
  co_return zeroBytesOutPerSecondCounts_;
}

Async<void> StreamVideoAdaptiveBitRateStrategy::adjustBitRate(NetworkMonitorEvent event,
                                                              std::shared_ptr<StreamConvertible> stream) {
  co_await hop();
  if (!stream) co_return;
  switch (event.kind()) {
    case NetworkMonitorEvent::Kind::status:
      co_await onStatus(std::move(stream));
      break;
    case NetworkMonitorEvent::Kind::publishInsufficientBWOccured:
      co_await onInsufficientBandwidth(*event.report(), std::move(stream));
      break;
    case NetworkMonitorEvent::Kind::reset:
      co_await onReset(std::move(stream));
      break;
  }
}

Async<void> StreamVideoAdaptiveBitRateStrategy::onStatus(std::shared_ptr<StreamConvertible> stream) {
  VideoCodecSettings settings = co_await stream->videoSettings();
  if (settings.bitRate == mamimumVideoBitRate_) co_return;
  if (sufficientBWCounts_ >= kSufficientBWCountsThreshold) {
    const int64_t raised = static_cast<int64_t>(settings.bitRate) + step();
    settings.bitRate = static_cast<int>(std::min<int64_t>(mamimumVideoBitRate_, raised));
    co_await apply(stream, std::move(settings));
    sufficientBWCounts_ = 0;
  } else {
    sufficientBWCounts_ += 1;
  }
}

Async<void> StreamVideoAdaptiveBitRateStrategy::onInsufficientBandwidth(NetworkMonitorReport report,
                                                                        std::shared_ptr<StreamConvertible> stream) {
  sufficientBWCounts_ = 0;
  VideoCodecSettings video = co_await stream->videoSettings();
  const AudioCodecSettings audio = co_await stream->audioSettings();
  if (report.currentBytesOutPerSecond <= 0) {
    if (zeroBytesOutPerSecondCounts_ == 2) {
      video.frameInterval = VideoCodecSettings::frameIntervalFor10;
    } else if (zeroBytesOutPerSecondCounts_ == 4) {
      video.frameInterval = VideoCodecSettings::frameIntervalFor5;
    }
    co_await apply(stream, std::move(video));
    zeroBytesOutPerSecondCounts_ += 1;
    co_return;
  }
  // What got through last second, less the audio; never below the floor and,
  // however much got through, never above the ceiling.
  const int64_t sent = report.currentBytesOutPerSecond * 8 / (zeroBytesOutPerSecondCounts_ + 1) - audio.bitRate;
  const int64_t lowered = std::max<int64_t>(step(), sent);
  video.bitRate = static_cast<int>(std::min<int64_t>(mamimumVideoBitRate_, lowered));
  video.frameInterval = 0;
  sufficientBWCounts_ = 0;
  zeroBytesOutPerSecondCounts_ = 0;
  co_await apply(stream, std::move(video));
}

Async<void> StreamVideoAdaptiveBitRateStrategy::onReset(std::shared_ptr<StreamConvertible> stream) {
  zeroBytesOutPerSecondCounts_ = 0;
  VideoCodecSettings settings = co_await stream->videoSettings();
  settings.bitRate = mamimumVideoBitRate_;
  co_await apply(stream, std::move(settings));
}

}  // namespace medley
