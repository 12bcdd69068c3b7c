#pragma once
// What a TCP connection's peer has taken and given: the bytes it acknowledged
// (its kernel takes no more than its receive buffer holds before its
// application reads) plus the bytes received from it. Bytes still in our own
// send buffer do not count, so an upload whose body fits that buffer still
// shows the peer's pace.
#include <cstdint>
#include <optional>

namespace platform {

// None when the descriptor is no TCP socket or the kernel does not count.
std::optional<uint64_t> socketProgress(int fd);

}  // namespace platform
