#pragma once
// The publisher's upload statistics, once a second while live.
#include <algorithm>
#include <cstdint>
#include <string>

namespace quarzadel {

struct RTMPPublisherStats {
  enum class Quality { good, fair, poor };
  int64_t uploadKbps = 0;
  int64_t targetKbps = 0;
  int64_t fps = 0;
  int64_t queuedKB = 0;
  std::string codec;
  Quality quality = Quality::good;

  // Seconds the queue would take at the larger of a quarter of the target
  // rate (audio and video, bits per second) and the measured one.
  static double queueSeconds(int64_t queuedBytes, int64_t sentBytesPerSecond, int64_t targetBitrate) {
    if (queuedBytes <= 0) return 0;
    return static_cast<double>(queuedBytes * 8) /
           static_cast<double>(std::max({targetBitrate / 4, sentBytesPerSecond * 8, int64_t{1}}));
  }
  // Follows the video rate the controller settled on and the queue, not the
  // measured upload. `fairBelow`: the video rate under which it is at best fair.
  static Quality qualityOf(int64_t videoBitrate, double queueSeconds, int64_t fairBelow) {
    if (videoBitrate < 300000 || queueSeconds > 3.0) return Quality::poor;
    if (videoBitrate < fairBelow || queueSeconds >= 1.0) return Quality::fair;
    return Quality::good;
  }

  bool operator==(const RTMPPublisherStats&) const = default;
};

}  // namespace quarzadel
