#include "Quarzadel/Studio/BitrateController.h"

#include <algorithm>
#include <numeric>

namespace quarzadel {

BitrateController::BitrateController(int64_t maximum, int64_t audioBitrate, int64_t start, int64_t minimum)
    : maximum(maximum), minimum(minimum), audioBitrate(audioBitrate), bitrate(std::clamp(start, minimum, maximum)) {}

void BitrateController::reset() {
  calmSeconds = 0;
  holdSeconds = 0;
  recentSent.clear();
  recentQueued.clear();
}

std::optional<BitrateController::Change> BitrateController::step(bool insufficient, int64_t sent, int64_t queued) {
  recentSent.push_back(sent);
  while (recentSent.size() > 5) recentSent.pop_front();
  recentQueued.push_back(queued);
  while (recentQueued.size() > 3) recentQueued.pop_front();

  int64_t averageSent = std::accumulate(recentSent.begin(), recentSent.end(), int64_t{0}) /
                        static_cast<int64_t>(recentSent.size());
  int64_t measured = averageSent * 8;
  int64_t budget = measured - audioBitrate;
  int64_t smallestQueued = *std::min_element(recentQueued.begin(), recentQueued.end());
  double queueTime = 0;
  if (smallestQueued > 0)
    queueTime = static_cast<double>(smallestQueued * 8) /
                static_cast<double>(std::max({(audioBitrate + bitrate) / 4, measured, int64_t{1}}));
  if (holdSeconds > 0) --holdSeconds;

  bool congested = (insufficient && smallestQueued > 32768) || queueTime > 1.5;
  if (congested) {
    calmSeconds = 0;
    if (holdSeconds != 0 && queueTime <= 6.0) return std::nullopt;
    bool behind = queueTime > 3.0;
    int64_t candidate = budget > 0 ? (behind ? budget * 6 / 10 : budget * 9 / 10) : bitrate * 8 / 10;
    int64_t next = std::max({candidate, bitrate * 7 / 10, minimum});
    if (next < bitrate) {
      bitrate = next;
      holdSeconds = 3;
      return Change{next, behind ? Adjustment::fallingBehind : Adjustment::congested};
    }
    return std::nullopt;
  }
  // Calm is a queue that does not stand: a key frame's burst queued at one
  // report and gone by the next is no backlog, and on a long round trip such
  // a burst shows at every other report.
  if (smallestQueued < 65536 && sent > 0) {
    ++calmSeconds;
    if (calmSeconds >= 15 && bitrate < maximum) {
      calmSeconds = 0;
      bitrate = std::min(bitrate + maximum / 10, maximum);
      return Change{bitrate, Adjustment::recovered};
    }
    return std::nullopt;
  }
  calmSeconds = 0;
  return std::nullopt;
}

}  // namespace quarzadel
