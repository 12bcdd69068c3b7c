#pragma once
// The publisher's upload statistics, once a second while live.
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
  bool operator==(const RTMPPublisherStats&) const = default;
};

}  // namespace quarzadel
