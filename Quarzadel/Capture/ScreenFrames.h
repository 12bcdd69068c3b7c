#pragma once
// The latest shared-screen frame with its host-clock time, and the consumers told
// of each new frame. Written by the screen share's capture, read by the screen
// frame sources. Consumers are called outside the lock, on the pushing thread, so
// they may take the lock themselves; they must not block.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "Platform/Media/PixelBuffer.h"

namespace quarzadel {

class ScreenFrames {
 public:
  using Consumer = std::function<void(platform::PixelBufferRef buffer, double hostSeconds)>;
  using Frame = std::pair<platform::PixelBufferRef, double>;

  void push(platform::PixelBufferRef buffer, double hostSeconds);
  void clear();
  std::optional<Frame> latest() const;

  // A key for removeConsumer().
  uint64_t addConsumer(Consumer consumer);
  void removeConsumer(uint64_t key);
  size_t consumerCount() const;

 private:
  mutable std::mutex lock_;
  std::optional<Frame> latest_;
  std::map<uint64_t, Consumer> consumers_;
  uint64_t nextKey_ = 1;
};

}  // namespace quarzadel
