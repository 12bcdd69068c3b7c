#include "Platform/Media/PCMBufferPool.h"

#include <cstring>

namespace platform {

std::shared_ptr<PCMBufferPool> PCMBufferPool::make(size_t keep) {
  return std::shared_ptr<PCMBufferPool>(new PCMBufferPool(keep));
}

PCMBufferRef PCMBufferPool::copy(const PCMBuffer& source) {
  const uint32_t frames = source.frameLength();
  if (frames == 0) return nullptr;
  PCMBufferRef storage;
  {
    std::lock_guard lock(mutex_);
    for (size_t i = free_.size(); i-- > 0;) {
      if (free_[i]->format() == source.format() && free_[i]->frameCapacity() >= frames) {
        storage = std::move(free_[i]);
        free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  if (!storage) {
    storage = PCMBuffer::make(source.format(), frames);
    if (!storage) return nullptr;
    std::lock_guard lock(mutex_);
    ++allocated_;
  }
  if (!storage->setFrameLength(frames) || storage->bufferCount() != source.bufferCount()) return nullptr;
  const size_t bytes = size_t{frames} * source.bytesPerFrameInBuffer();
  for (uint32_t i = 0; i < source.bufferCount(); ++i) {
    std::memcpy(storage->rawChannelData()[i], source.rawChannelData()[i], bytes);
  }
  // The copy handed out owns the storage until its last reference goes.
  PCMBuffer* raw = storage.get();
  std::weak_ptr<PCMBufferPool> weakPool = weak_from_this();
  return PCMBufferRef(raw, [weakPool, storage = std::move(storage)](PCMBuffer*) mutable {
    if (auto pool = weakPool.lock()) pool->recycle(std::move(storage));
  });
}

void PCMBufferPool::recycle(PCMBufferRef buffer) {
  std::lock_guard lock(mutex_);
  if (free_.size() < keep_) {
    free_.push_back(std::move(buffer));
  } else if (!free_.empty() && free_.front()->frameCapacity() < buffer->frameCapacity()) {
    free_.front() = std::move(buffer);  // the longest buffers serve every length
  }
}

size_t PCMBufferPool::freeCount() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

size_t PCMBufferPool::allocatedCount() const {
  std::lock_guard lock(mutex_);
  return allocated_;
}

}  // namespace platform
