#pragma once
// A stream's traffic counters and the name of its last play or publish.
// Counts saturate at the 64-bit limit rather than wrap.
#include <cstdint>
#include <optional>
#include <string>

namespace rtmpmedley {

struct RTMPStreamInfo {
  int64_t byteCount = 0;
  std::optional<std::string> resourceName;
  int64_t currentBytesPerSecond = 0;
  int64_t previousByteCount = 0;

  // Bytes sent or received by the stream itself; negative counts are ignored.
  void add(int64_t bytes);
  // At each network monitor event: the bytes since the last one.
  void rollOver();
  std::string debugDescription() const;

  friend bool operator==(const RTMPStreamInfo&, const RTMPStreamInfo&) = default;
};

}  // namespace rtmpmedley
