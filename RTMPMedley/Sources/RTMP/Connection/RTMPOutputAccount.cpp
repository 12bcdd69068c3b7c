#include "RTMPMedley/Sources/RTMP/Connection/RTMPOutputAccount.h"

#include <algorithm>

namespace rtmpmedley {

bool RTMPOutputAccount::windowOpening(const std::optional<platform::TcpKernelView>& kernel) {
  if (!kernel || !kernel->initialSlowStart || !kernel->peerWindow || kernel->minimumRoundTrip <= 0) return false;
  const uint64_t inFlight = kernel->unacknowledged - std::min(kernel->unacknowledged, kernel->unsent);
  return inFlight < *kernel->peerWindow &&
         kernel->roundTrip < 2 * kernel->minimumRoundTrip + kQueueingRoundTrip;
}

void RTMPOutputAccount::begin(platform::Nanos at) {
  *this = RTMPOutputAccount();
  lastReportAt_ = at;
  outputAt_ = at;
}

medley::NetworkTransportReport RTMPOutputAccount::report(const Sample& sample) {
  // Written bytes count as sent once the peer's kernel acknowledged them (the
  // kernel also holds TLS framing and the part of a write still under way, so
  // this errs a little towards unsent for a moment).
  const uint64_t unacknowledged = sample.kernel ? sample.kernel->unacknowledged : 0;
  const uint64_t kernelTook = sample.written - std::min(sample.written, unacknowledged);

  // No further than the peer's program is known to read: a window past what
  // it said it read, or a little past what its kernel had taken when its
  // receive window last moved on. The tighter bound holds.
  std::optional<uint64_t> allowed;
  platform::Nanos allowedSince = 0;
  auto bound = [&](uint64_t limit, platform::Nanos since) {
    if (kernelTook < limit || (allowed && *allowed <= limit)) return;
    allowed = limit;
    allowedSince = since;
  };
  if (sample.peerWindow > 0)
    bound(sample.peerRead + sample.peerWindow + kPeerReadSlack, sample.peerAllowedAt);
  if (sample.kernel && sample.kernel->peerWindow) {
    // A reading peer moves the edge on by about what its kernel takes; a
    // frozen one's creeps by the window's rounding at most. Both sides of the
    // comparison are the kernel's own counts: our count of written bytes lags
    // the kernel's while a write is under way.
    const uint64_t acknowledged = sample.kernel->acknowledged;
    const uint64_t edge = acknowledged + *sample.kernel->peerWindow;
    const uint64_t moved = windowEdge_ && edge > *windowEdge_ ? edge - *windowEdge_ : 0;
    if (!windowEdge_ || moved >= (acknowledged - std::min(acknowledged, acknowledgedAtWindowEdge_)) / 2) {
      windowEdge_ = edge;
      windowEdgeAt_ = sample.at;
      kernelTookAtWindowEdge_ = kernelTook;
      acknowledgedAtWindowEdge_ = acknowledged;
    }
    bound(kernelTookAtWindowEdge_ + kKernelReadSlack, windowEdgeAt_);
  }
  const uint64_t confirmed = allowed ? *allowed : kernelTook;

  if (confirmed > confirmedOut_) {
    // Grown since the last report: until now, unless held where the peer's
    // word allows. Then it stopped when the kernel's count reached that bound
    // (at the pace it grew between the reports), or when the word came if
    // that was later; so a frozen peer shows from about the moment it froze.
    platform::Nanos at = sample.at;
    if (allowed) {
      at = lastReportAt_;
      if (*allowed > kernelTookAtReport_ && kernelTook > kernelTookAtReport_)
        at += static_cast<platform::Nanos>(static_cast<double>(sample.at - lastReportAt_) *
                                           static_cast<double>(*allowed - kernelTookAtReport_) /
                                           static_cast<double>(kernelTook - kernelTookAtReport_));
      at = std::clamp(std::max(at, allowedSince), lastReportAt_, sample.at);
    }
    outputAt_ = at;
    confirmedOut_ = confirmed;
  }
  lastReportAt_ = sample.at;
  kernelTookAtReport_ = kernelTook;

  // Waiting: our queue, what our kernel has not sent, and what the peer's
  // kernel took beyond what its program reads. Once the connection is gone
  // nothing is waiting any more.
  uint64_t backlog = 0;
  if (sample.connected) {
    const uint64_t unsent = sample.kernel ? std::min(sample.kernel->unsent, unacknowledged) : 0;
    backlog = windowOpening(sample.kernel) ? 0 : sample.queued + unsent;
    backlog += kernelTook - std::min(kernelTook, confirmedOut_);
  }
  return medley::NetworkTransportReport{static_cast<int64_t>(backlog), static_cast<int64_t>(sample.totalIn),
                                        static_cast<int64_t>(confirmedOut_), outputAt_};
}

}  // namespace rtmpmedley
