#pragma once
// What the kernel knows of one TCP socket: on the sending side what it holds,
// what of that it has not sent yet, and what the peer's TCP last told it (its
// acknowledgements and its receive window); and what it received. A call makes three system calls
// (two ioctls and TCP_INFO); empty when the descriptor is not an open TCP socket.
#include <cstdint>
#include <optional>

#include "Platform/Time/HostClock.h"

namespace platform {

struct TcpKernelView {
  // Written and not yet acknowledged by the peer's TCP, unsent bytes included.
  uint64_t unacknowledged = 0;
  // Written and not yet sent: what waits for the congestion or receive window.
  // Bytes in flight are not in it.
  uint64_t unsent = 0;
  // Acknowledged by the peer's TCP, and received from it, since the connection
  // began; both zero on a kernel that does not count them (countsBytes false).
  uint64_t acknowledged = 0;
  uint64_t received = 0;
  bool countsBytes = false;
  // The receive window the peer last advertised, in bytes; empty on a kernel
  // that does not say. Its right edge (acknowledged + window) moves on only
  // while the peer's program reads.
  std::optional<uint64_t> peerWindow;
  // No loss has been seen yet: the congestion window still doubles each round trip.
  bool initialSlowStart = false;
  // Smoothed round trip, and the shortest seen: a queue on the path shows as the difference.
  Nanos roundTrip = 0;
  Nanos minimumRoundTrip = 0;
};

std::optional<TcpKernelView> readTcpKernelView(int descriptor);

}  // namespace platform
