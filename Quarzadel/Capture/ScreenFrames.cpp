#include "Quarzadel/Capture/ScreenFrames.h"

#include <vector>

namespace quarzadel {

void ScreenFrames::push(platform::PixelBufferRef buffer, double hostSeconds) {
  std::vector<Consumer> toTell;
  {
    std::lock_guard guard(lock_);
    latest_ = Frame{buffer, hostSeconds};
    for (const auto& [key, consumer] : consumers_) toTell.push_back(consumer);
  }
  for (const auto& consumer : toTell) consumer(buffer, hostSeconds);
}

void ScreenFrames::clear() {
  std::lock_guard guard(lock_);
  latest_.reset();
}

std::optional<ScreenFrames::Frame> ScreenFrames::latest() const {
  std::lock_guard guard(lock_);
  return latest_;
}

uint64_t ScreenFrames::addConsumer(Consumer consumer) {
  std::lock_guard guard(lock_);
  const uint64_t key = nextKey_++;
  consumers_.emplace(key, std::move(consumer));
  return key;
}

void ScreenFrames::removeConsumer(uint64_t key) {
  std::lock_guard guard(lock_);
  consumers_.erase(key);
}

size_t ScreenFrames::consumerCount() const {
  std::lock_guard guard(lock_);
  return consumers_.size();
}

}  // namespace quarzadel
