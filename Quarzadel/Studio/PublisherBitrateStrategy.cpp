#include "Quarzadel/Studio/PublisherBitrateStrategy.h"

#include "Quarzadel/Log/Log.h"

namespace quarzadel {
namespace {

// The strategy acts for the publisher: its lines carry the publisher's category,
// where the host reading the log looks for what the stream did.
constexpr const char* kLoggedAs = "Quarzadel/Studio/RTMPPublisher.cpp";

}  // namespace

PublisherBitrateStrategy::PublisherBitrateStrategy(int64_t maximumVideoBitRate, int64_t audioBitRate, int64_t start,
                                                   Report report)
    : maximum_(maximumVideoBitRate),
      audio_(audioBitRate),
      report_(std::move(report)),
      controller_(maximumVideoBitRate, audioBitRate, start) {}

BitrateController PublisherBitrateStrategy::controller() const {
  std::lock_guard guard(lock_);
  return controller_;
}

platform::Async<void> PublisherBitrateStrategy::adjustBitRate(medley::NetworkMonitorEvent event,
                                                              std::shared_ptr<medley::StreamConvertible> stream) {
  if (event.kind() == medley::NetworkMonitorEvent::Kind::reset || !event.report()) {
    std::lock_guard guard(lock_);
    controller_.reset();
    co_return;
  }
  const medley::NetworkMonitorReport report = *event.report();
  bool insufficient = event.kind() == medley::NetworkMonitorEvent::Kind::publishInsufficientBWOccured;
  int64_t sent = report.currentBytesOutPerSecond;
  int64_t queued = report.currentQueueBytesOut;
  int64_t old = 0;
  std::optional<BitrateController::Change> change;
  {
    std::lock_guard guard(lock_);
    old = controller_.bitrate;
    change = controller_.step(insufficient, sent, queued);
  }
  if (change) {
    if (stream) {
      try {
        auto settings = co_await stream->videoSettings();
        settings.bitRate = static_cast<int>(change->bitrate);
        co_await stream->setVideoSettings(settings);
      } catch (...) {
        // The controller keeps the new value; the next change applies again.
      }
    }
    std::string message = "video bitrate " + std::to_string(old / 1000) + " → " +
                           std::to_string(change->bitrate / 1000) + " kbps (upload " + std::to_string(sent / 125) +
                           " kbps, " + std::to_string(queued / 1024) + " KB queued)";
    switch (change->kind) {
      case BitrateController::Adjustment::congested:
        Log::uplinkCongested(message, kLoggedAs);
        break;
      case BitrateController::Adjustment::fallingBehind:
        Log::uploadFallingBehind(message, kLoggedAs);
        break;
      case BitrateController::Adjustment::recovered:
        Log::uplinkRecovered(message, kLoggedAs);
        break;
    }
  }
  int64_t current = controller().bitrate;
  if (report_) report_(report, current);
}

}  // namespace quarzadel
