#pragma once
// The socket's outgoing messages as gather writes, from a pool so that a
// steady stream of messages allocates nothing. A message whose payload has an
// owner is written where it lies; one without, or one cut into chunks so small
// that the pieces would cost more than copying them, is copied once into the
// write's own buffer (kept for the next message). Writes come back to the pool when
// the connection lets go of them, on any thread; writes still out when the
// pool goes away free themselves.
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Net/TcpConnection.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkedMessage.h"

namespace rtmpmedley {

class RTMPSocketWritePool : public std::enable_shared_from_this<RTMPSocketWritePool> {
 public:
  // Idle writes kept, and the largest copy buffer one of them keeps.
  static constexpr size_t kMaxIdle = 64;
  static constexpr size_t kMaxKeptCopy = 64 * 1024;
  // Smaller chunks are copied: a write request then carries more than a few
  // kilobytes, as one of larger pieces does.
  static constexpr size_t kMinGatherChunkSize = 1024;

  static std::shared_ptr<RTMPSocketWritePool> make() {
    return std::shared_ptr<RTMPSocketWritePool>(new RTMPSocketWritePool());
  }
  ~RTMPSocketWritePool();

  // A write of the chunks; none for empty chunks.
  platform::TcpConnection::GatherPtr take(RTMPChunkedMessage chunks);
  // Writes waiting in the pool.
  size_t idleCount() const;

 private:
  class Write;
  RTMPSocketWritePool() { idle_.reserve(kMaxIdle); }
  void giveBack(Write* write);

  mutable std::mutex mutex_;
  std::vector<Write*> idle_;
};

}  // namespace rtmpmedley
