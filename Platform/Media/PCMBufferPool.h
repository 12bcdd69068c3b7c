#pragma once
// Copies of sound buffers in recycled storage: a producer that reuses its buffer
// once a call returns hands a copy on, and a steady stream of copies allocates
// nothing. A copy comes back when its last reference goes (the pool is held
// weakly: a copy that outlives its pool frees itself). Buffers of another format
// are not kept; a longer buffer replaces a shorter one. Thread-safe.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Media/PCMBuffer.h"

namespace platform {

class PCMBufferPool : public std::enable_shared_from_this<PCMBufferPool> {
 public:
  // Released buffers kept for reuse; more are freed.
  static std::shared_ptr<PCMBufferPool> make(size_t keep);

  // A copy of the source's valid frames; nullptr for an empty or unallocatable one.
  PCMBufferRef copy(const PCMBuffer& source);

  // Released buffers waiting for reuse.
  size_t freeCount() const;
  // Buffers allocated so far (not reused ones).
  size_t allocatedCount() const;

  PCMBufferPool(const PCMBufferPool&) = delete;
  PCMBufferPool& operator=(const PCMBufferPool&) = delete;

 private:
  explicit PCMBufferPool(size_t keep) : keep_(keep) {}
  void recycle(PCMBufferRef buffer);

  const size_t keep_;
  mutable std::mutex mutex_;
  std::vector<PCMBufferRef> free_;
  size_t allocated_ = 0;
};

}  // namespace platform
