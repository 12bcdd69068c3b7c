#pragma once
// Recycles pictures of one size and format so that no frame allocates.
//
// makePixelBuffer() hands out a released buffer when there is one and
// otherwise allocates, so the pool grows past its minimum while buffers are
// held elsewhere; it never waits. With a maximum, it fails (nullptr and
// Status::exhausted) once that many buffers are out. A released buffer comes
// back through its shared_ptr deleter, which holds the pool weakly: a buffer
// that outlives its pool simply frees itself. Thread-safe.
//
// With an idle release time, a pool grown while buffers were held (a stall
// downstream) shrinks back: released buffers beyond the minimum that nobody
// took for that long are freed, least recently used first, and their memory
// goes back to the system. Reuse takes the most recently released buffer, so
// the ones a steady load does not need are the ones that age.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Media/PixelBuffer.h"
#include "Platform/Time/HostClock.h"

namespace platform {

struct PixelBufferPoolAttributes {
  // 0: no limit.
  size_t maximumBufferCount = 0;
  // Set on every buffer handed out.
  ColorAttachments colorAttachments;
  // Released buffers beyond the minimum unused this long are freed; 0: kept.
  Nanos idleRelease = 0;
  // The clock idleRelease is measured on; the host clock when none.
  std::shared_ptr<const Clock> clock;
};

class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
 public:
  using Attributes = PixelBufferPoolAttributes;

  enum class Status { ok, exhausted, allocationFailed };
  static const char* describe(Status s);

  // Allocates the minimum count at once; nullptr for an invalid size, or a
  // maximum below the minimum.
  static std::shared_ptr<PixelBufferPool> make(int width, int height, PixelFormat format,
                                               size_t minimumBufferCount, Attributes attributes = {});

  // A buffer for one writer; nullptr when exhausted or out of memory (see status).
  PixelBufferRef makePixelBuffer(Status* status = nullptr);

  int width() const { return width_; }
  int height() const { return height_; }
  PixelFormat format() const { return format_; }
  size_t minimumBufferCount() const { return minimum_; }
  const Attributes& attributes() const { return attributes_; }

  // Buffers currently out of the pool.
  size_t inUseCount() const;
  // Released buffers waiting for reuse.
  size_t freeCount() const;
  // Drops released buffers beyond the minimum (after a burst).
  void flush();
  // Frees what has been idle for the idle release time; the pool does this by
  // itself whenever a buffer is taken or released.
  void releaseIdle();

  PixelBufferPool(const PixelBufferPool&) = delete;
  PixelBufferPool& operator=(const PixelBufferPool&) = delete;
  ~PixelBufferPool();

 private:
  PixelBufferPool(int width, int height, PixelFormat format, size_t minimum, Attributes attributes);
  struct Idle {
    std::unique_ptr<PixelBuffer> buffer;
    Nanos since = 0;  // released then
  };
  void recycle(PixelBuffer* buffer);
  Nanos now() const;
  // Under the lock: moves the buffers idle too long into `freed`.
  void collectIdle(Nanos now, std::vector<std::unique_ptr<PixelBuffer>>& freed);
  static void free(std::vector<std::unique_ptr<PixelBuffer>>& buffers);

  const int width_;
  const int height_;
  const PixelFormat format_;
  const size_t minimum_;
  const Attributes attributes_;

  mutable std::mutex mutex_;  // held only to move a pointer in or out of free_
  // Oldest release first.
  std::vector<Idle> free_;
  size_t inUse_ = 0;
};

}  // namespace platform
