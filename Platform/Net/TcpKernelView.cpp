#include "Platform/Net/TcpKernelView.h"

// The kernel's own tcp_info, which is newer than the C library's (that one
// lacks the peer's window); so this file leaves <netinet/tcp.h> out.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace platform {

namespace {
// IPPROTO_TCP, whose header would bring the C library's tcp_info back.
constexpr int kTcpLevel = 6;
}  // namespace

std::optional<TcpKernelView> readTcpKernelView(int descriptor) {
  if (descriptor < 0) return std::nullopt;
  int held = 0, unsent = 0;
  if (::ioctl(descriptor, SIOCOUTQ, &held) != 0 || held < 0) return std::nullopt;
  if (::ioctl(descriptor, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) return std::nullopt;
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(descriptor, kTcpLevel, TCP_INFO, &info, &length) != 0) return std::nullopt;
  TcpKernelView view;
  view.unacknowledged = static_cast<uint64_t>(held);
  view.unsent = static_cast<uint64_t>(unsent);
  // An older kernel fills less of the structure: what it left out stays unknown.
  auto filled = [length](size_t offset, size_t size) { return static_cast<size_t>(length) >= offset + size; };
  if (filled(offsetof(tcp_info, tcpi_bytes_received), sizeof info.tcpi_bytes_received)) {
    view.acknowledged = info.tcpi_bytes_acked;
    view.received = info.tcpi_bytes_received;
    view.countsBytes = true;
  }
  if (filled(offsetof(tcp_info, tcpi_snd_wnd), sizeof info.tcpi_snd_wnd)) view.peerWindow = info.tcpi_snd_wnd;
  // Until the first loss sets one the kernel reports an infinite threshold.
  view.initialSlowStart = info.tcpi_snd_ssthresh >= 0x7fffffffu;
  view.roundTrip = static_cast<Nanos>(info.tcpi_rtt) * 1000;
  if (filled(offsetof(tcp_info, tcpi_min_rtt), sizeof info.tcpi_min_rtt))
    view.minimumRoundTrip = static_cast<Nanos>(info.tcpi_min_rtt) * 1000;
  return view;
}

}  // namespace platform
