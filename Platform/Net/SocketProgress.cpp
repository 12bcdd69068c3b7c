#include "Platform/Net/SocketProgress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace platform {

std::optional<uint64_t> socketProgress(int fd) {
  if (fd < 0) return std::nullopt;
  struct tcp_info info {};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  // Older kernels fill a shorter structure without the byte counts.
  if (length < offsetof(struct tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return std::nullopt;
  return info.tcpi_bytes_acked + info.tcpi_bytes_received;
}

}  // namespace platform
