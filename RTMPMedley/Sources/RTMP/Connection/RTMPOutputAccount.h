#pragma once
// How much of a connection's output the peer took, and what still waits: the
// socket's figures for the network monitor, made from what the kernel and the
// peer's program say. Sent means taken by the peer as far as we can tell:
// acknowledged by its kernel, and no further than its program is known to
// read, from its RTMP acknowledgements (when it sends them) or from its TCP
// receive window (whose right edge moves only while it reads). Waiting means
// held in our queue, not yet sent by our kernel, or taken by the peer's kernel
// beyond what its program reads; bytes merely on their way are neither, so a
// long round trip is no backlog. Not thread-safe: its owner calls it in turn.
#include <cstdint>
#include <optional>

#include "Medley/Sources/Network/NetworkTransportReport.h"
#include "Platform/Net/TcpKernelView.h"
#include "Platform/Time/HostClock.h"

namespace rtmpmedley {

class RTMPOutputAccount {
 public:
  // Beyond a peer's RTMP window (whose steps already carry its program's read
  // granularity): little, so that a server that froze shows within a tenth of
  // a second at a live rate. Bytes still on their way wait for the next
  // acknowledgement, which a reading server sends many times a second.
  static constexpr uint64_t kPeerReadSlack = 4 * 1024;
  // Taken by the peer's kernel while its window's edge stood still: a reading
  // peer may answer one burst before it reads it, a frozen one fills its buffer.
  static constexpr uint64_t kKernelReadSlack = 64 * 1024;

  // The figures at one moment.
  struct Sample {
    platform::Nanos at = 0;
    bool connected = false;
    uint64_t queued = 0;   // in our queue, not yet handed to the kernel
    uint64_t written = 0;  // handed to the kernel since the connection began
    uint64_t totalIn = 0;
    std::optional<platform::TcpKernelView> kernel;
    // The peer program's word (its RTMP acknowledgements): bytes read, its
    // window (0: it never said), and when what that allows last grew.
    uint64_t peerRead = 0;
    uint64_t peerWindow = 0;
    platform::Nanos peerAllowedAt = 0;
  };

  // A round trip longer than twice the shortest by more than this says a queue
  // on the path is filling.
  static constexpr platform::Nanos kQueueingRoundTrip = 20'000'000;

  // Whether what waits in our queue and our kernel waits only for the
  // congestion window to open: no loss yet (it still doubles each round
  // trip), the peer's window has room, and no queue on the path stretches
  // the round trip. A key frame at the start of a long round trip waits so
  // for a second; a slow link drops packets or stretches the round trip, and
  // a peer that stops reading closes its window, so neither is hidden long.
  static bool windowOpening(const std::optional<platform::TcpKernelView>& kernel);

  // A new connection at `at`: everything counts from zero.
  void begin(platform::Nanos at);
  medley::NetworkTransportReport report(const Sample& sample);

 private:
  // Bytes counted as taken by the peer: never fewer than at the last report.
  uint64_t confirmedOut_ = 0;
  // When that count last grew, as near as the reports tell.
  std::optional<platform::Nanos> outputAt_;
  // The last report's time, and the bytes its peer's kernel had acknowledged then.
  platform::Nanos lastReportAt_ = 0;
  uint64_t kernelTookAtReport_ = 0;
  // The right edge of the peer's receive window (in the kernel's count) at
  // the report where it last kept up with what the peer's kernel took, that
  // report's time and what the peer's kernel had taken then.
  std::optional<uint64_t> windowEdge_;
  platform::Nanos windowEdgeAt_ = 0;
  uint64_t kernelTookAtWindowEdge_ = 0;
  uint64_t acknowledgedAtWindowEdge_ = 0;
};

}  // namespace rtmpmedley
