#pragma once
// Copies of sound buffers in recycled storage: a producer that reuses its buffer
// once a call returns hands a copy on, and a steady stream of copies allocates
// nothing. The pool hands out its own references to its buffers and takes one
// again once nobody else holds it; a copy that outlives its pool frees itself.
// A buffer serves copies of its format up to its length; of the released ones,
// the longest are kept. Thread-safe.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Media/PCMBuffer.h"

namespace platform {

class PCMBufferPool {
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
  // Under the lock: frees the shortest released buffers past what is kept.
  void trim() const;

  const size_t keep_;
  mutable std::mutex mutex_;
  // Every buffer handed out and not yet freed; the released ones are held by this alone.
  mutable std::vector<PCMBufferRef> buffers_;
  size_t allocated_ = 0;
};

}  // namespace platform
