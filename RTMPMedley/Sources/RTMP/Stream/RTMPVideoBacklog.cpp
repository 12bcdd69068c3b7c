#include "RTMPMedley/Sources/RTMP/Stream/RTMPVideoBacklog.h"

#include <string>

#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

bool RTMPVideoBacklog::admits(double time, bool keyFrame, const RTMPTransport::OutputProgress& progress) {
  while (!waiting_.empty() && waiting_.front().handedAfter <= progress.written) waiting_.pop_front();
  const bool over = !waiting_.empty() && time - waiting_.front().time > bound_;
  // A group starts again only at a key frame, and only once the wait is back under the bound.
  if (skipping_ && keyFrame && !over) skipping_ = false;
  if (!skipping_ && over) skipping_ = true;
  if (!skipping_) return true;
  const uint64_t dropped = ++dropped_;
  if (dropped == 1 || dropped % 300 == 0)
    RTMP_LOG_WARN("pictures waited more than " + std::to_string(bound_) + " s for the network: dropped up to the next key frame, " +
                  std::to_string(dropped) + " so far");
  return false;
}

void RTMPVideoBacklog::sent(double time, uint64_t handedAfter) { waiting_.push_back({handedAfter, time}); }

void RTMPVideoBacklog::reset() {
  waiting_.clear();
  skipping_ = false;
}

}  // namespace rtmpmedley
