#include "Platform/Media/PCMBufferPool.h"

#include <atomic>
#include <cstring>

namespace platform {

std::shared_ptr<PCMBufferPool> PCMBufferPool::make(size_t keep) {
  return std::shared_ptr<PCMBufferPool>(new PCMBufferPool(keep));
}

namespace {

// Nobody but the pool holds it: whoever let go last is done with its frames.
bool released(const PCMBufferRef& buffer) {
  if (buffer.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

}  // namespace

PCMBufferRef PCMBufferPool::copy(const PCMBuffer& source) {
  const uint32_t frames = source.frameLength();
  if (frames == 0) return nullptr;
  PCMBufferRef storage;
  {
    std::lock_guard lock(mutex_);
    for (const auto& buffer : buffers_) {
      if (released(buffer) && buffer->format() == source.format() && buffer->frameCapacity() >= frames) {
        storage = buffer;
        break;
      }
    }
    // What a burst left released past what is kept goes as the flow comes back.
    if (storage && buffers_.size() > keep_ + 1) trim();
  }
  if (!storage) {
    storage = PCMBuffer::make(source.format(), frames);
    if (!storage) return nullptr;
    std::lock_guard lock(mutex_);
    ++allocated_;
    buffers_.push_back(storage);
    trim();
  }
  if (!storage->setFrameLength(frames) || storage->bufferCount() != source.bufferCount()) return nullptr;
  const size_t bytes = size_t{frames} * source.bytesPerFrameInBuffer();
  for (uint32_t i = 0; i < source.bufferCount(); ++i) {
    std::memcpy(storage->rawChannelData()[i], source.rawChannelData()[i], bytes);
  }
  return storage;
}

void PCMBufferPool::trim() const {
  for (;;) {
    size_t idle = 0;
    auto shortest = buffers_.end();
    for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
      if (!released(*it)) continue;
      ++idle;
      // Of equal ones the newest goes: the oldest are the flow's.
      if (shortest == buffers_.end() || (*it)->frameCapacity() <= (*shortest)->frameCapacity()) shortest = it;
    }
    if (idle <= keep_) return;
    buffers_.erase(shortest);
  }
}

size_t PCMBufferPool::freeCount() const {
  std::lock_guard lock(mutex_);
  trim();
  size_t idle = 0;
  for (const auto& buffer : buffers_) idle += released(buffer) ? 1 : 0;
  return idle;
}

size_t PCMBufferPool::allocatedCount() const {
  std::lock_guard lock(mutex_);
  return allocated_;
}

}  // namespace platform
