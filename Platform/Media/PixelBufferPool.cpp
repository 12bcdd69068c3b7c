#include "Platform/Media/PixelBufferPool.h"

#include <malloc.h>

namespace platform {

const char* PixelBufferPool::describe(Status s) {
  switch (s) {
    case Status::ok: return "ok";
    case Status::exhausted: return "pixel buffer pool exhausted: its maximum number of buffers is in use";
    case Status::allocationFailed: return "pixel buffer allocation failed";
  }
  return "?";
}

PixelBufferPool::PixelBufferPool(int width, int height, PixelFormat format, size_t minimum, Attributes attributes)
    : width_(width), height_(height), format_(format), minimum_(minimum), attributes_(std::move(attributes)) {}

PixelBufferPool::~PixelBufferPool() = default;

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(int width, int height, PixelFormat format,
                                                       size_t minimumBufferCount, Attributes attributes) {
  if (attributes.maximumBufferCount != 0 && attributes.maximumBufferCount < minimumBufferCount) return nullptr;
  if (!PixelBuffer::isValidSize(width, height) || layoutOf(format).planeCount == 0) return nullptr;
  std::shared_ptr<PixelBufferPool> pool(
      new PixelBufferPool(width, height, format, minimumBufferCount, std::move(attributes)));
  pool->free_.reserve(minimumBufferCount);
  for (size_t i = 0; i < minimumBufferCount; ++i) {
    std::unique_ptr<PixelBuffer> b(new PixelBuffer(width, height, format));
    if (!b->allocate()) return nullptr;
    pool->free_.push_back(Idle{std::move(b), pool->now()});
  }
  return pool;
}

Nanos PixelBufferPool::now() const {
  if (attributes_.idleRelease <= 0) return 0;
  return attributes_.clock ? attributes_.clock->now() : monotonicNow();
}

void PixelBufferPool::collectIdle(Nanos now, std::vector<std::unique_ptr<PixelBuffer>>& freed) {
  if (attributes_.idleRelease <= 0) return;
  size_t idle = 0;
  while (idle < free_.size() && inUse_ + free_.size() - idle > minimum_ &&
         now - free_[idle].since >= attributes_.idleRelease) {
    ++idle;
  }
  if (idle == 0) return;
  for (size_t i = 0; i < idle; ++i) freed.push_back(std::move(free_[i].buffer));
  free_.erase(free_.begin(), free_.begin() + static_cast<std::ptrdiff_t>(idle));
}

void PixelBufferPool::free(std::vector<std::unique_ptr<PixelBuffer>>& buffers) {
  if (buffers.empty()) return;
  buffers.clear();
  // Pictures are large: give their pages back to the system rather than keep
  // them in the allocator for a burst that may never come again.
  malloc_trim(0);
}

void PixelBufferPool::releaseIdle() {
  std::vector<std::unique_ptr<PixelBuffer>> freed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    collectIdle(now(), freed);
  }
  free(freed);
}

PixelBufferRef PixelBufferPool::makePixelBuffer(Status* status) {
  std::unique_ptr<PixelBuffer> buffer;
  std::vector<std::unique_ptr<PixelBuffer>> freed;
  const Nanos time = now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attributes_.maximumBufferCount != 0 && inUse_ >= attributes_.maximumBufferCount) {
      if (status) *status = Status::exhausted;
      return nullptr;
    }
    if (!free_.empty()) {
      buffer = std::move(free_.back().buffer);
      free_.pop_back();
    }
    ++inUse_;  // counted before allocating, so a concurrent caller cannot pass the maximum
    collectIdle(time, freed);
  }
  free(freed);
  if (!buffer) {
    buffer.reset(new PixelBuffer(width_, height_, format_));
    if (!buffer->allocate()) {
      std::lock_guard<std::mutex> lock(mutex_);
      --inUse_;
      if (status) *status = Status::allocationFailed;
      return nullptr;
    }
  }
  buffer->setColorAttachments(attributes_.colorAttachments);
  if (status) *status = Status::ok;
  std::weak_ptr<PixelBufferPool> weakPool = weak_from_this();
  return PixelBufferRef(buffer.release(), [weakPool](PixelBuffer* b) {
    if (auto pool = weakPool.lock()) {
      pool->recycle(b);
    } else {
      delete b;
    }
  });
}

void PixelBufferPool::recycle(PixelBuffer* buffer) {
  std::unique_ptr<PixelBuffer> owned(buffer);
  std::vector<std::unique_ptr<PixelBuffer>> freed;
  const Nanos time = now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --inUse_;
    free_.push_back(Idle{std::move(owned), time});
    collectIdle(time, freed);
  }
  free(freed);
}

size_t PixelBufferPool::inUseCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUse_;
}

size_t PixelBufferPool::freeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return free_.size();
}

void PixelBufferPool::flush() {
  std::vector<std::unique_ptr<PixelBuffer>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t keep = inUse_ >= minimum_ ? 0 : minimum_ - inUse_;
    while (free_.size() > keep) {
      dropped.push_back(std::move(free_.back().buffer));
      free_.pop_back();
    }
  }
  // Freed outside the lock.
}

}  // namespace platform
