#pragma once
// The video bit-rate rule of a live publication, one step per monitor report
// (about once a second): lower quickly while the send queue says the uplink
// is congested, raise by a tenth of the maximum after fifteen calm reports
// (no queue standing through the last three).
#include <cstdint>
#include <deque>
#include <optional>

namespace quarzadel {

class BitrateController {
 public:
  enum class Adjustment { congested, fallingBehind, recovered };
  struct Change {
    int64_t bitrate;
    Adjustment kind;
    bool operator==(const Change&) const = default;
  };

  static constexpr int64_t kMinimum = 61440;

  BitrateController(int64_t maximum, int64_t audioBitrate, int64_t start, int64_t minimum = kMinimum);

  // `sent` in bytes per second, `queued` in bytes.
  std::optional<Change> step(bool insufficient, int64_t sent, int64_t queued);
  // Forgets the windows and the counters; the bit rate stays.
  void reset();

  int64_t maximum = 0;
  int64_t minimum = kMinimum;
  int64_t audioBitrate = 0;
  int64_t bitrate = 0;
  int calmSeconds = 0;
  int holdSeconds = 0;
  std::deque<int64_t> recentSent;
  std::deque<int64_t> recentQueued;

  bool operator==(const BitrateController&) const = default;
};

}  // namespace quarzadel
