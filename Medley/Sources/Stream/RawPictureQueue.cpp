#include "Medley/Sources/Stream/RawPictureQueue.h"

#include <string>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {
constexpr double kTolerance = 1e-6;
}  // namespace

bool RawPictureQueue::push(platform::SampleBufferRef picture) {
  if (!picture) return false;
  uint64_t dropped = 0;
  bool startReader = false;
  {
    std::lock_guard lock(mutex_);
    const double newest = picture->presentationTime().seconds();
    pictures_.push_back(std::move(picture));
    // Pictures exactly a span apart (on a frame grid) both stay.
    const auto full = [&] {
      if (pictures_.size() <= 1) return false;
      if (maxCount_ && pictures_.size() > *maxCount_) return true;
      return newest - pictures_.front()->presentationTime().seconds() > span_ + kTolerance;
    };
    while (full()) {
      pictures_.pop_front();
      dropped = ++dropped_;
    }
    startReader = !reading_;
    reading_ = true;
  }
  if (dropped == 1 || (dropped > 0 && dropped % 300 == 0))
    MEDLEY_LOG_WARN("encoder behind: dropped the oldest raw pictures beyond " + std::to_string(span_) + " s, " +
                    std::to_string(dropped) + " so far");
  return startReader;
}

platform::SampleBufferRef RawPictureQueue::pop() {
  std::lock_guard lock(mutex_);
  if (pictures_.empty()) {
    reading_ = false;
    return nullptr;
  }
  auto picture = std::move(pictures_.front());
  pictures_.pop_front();
  return picture;
}

void RawPictureQueue::setMaxCount(std::optional<size_t> count) {
  std::lock_guard lock(mutex_);
  maxCount_ = count;
}

uint64_t RawPictureQueue::droppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

size_t RawPictureQueue::size() const {
  std::lock_guard lock(mutex_);
  return pictures_.size();
}

}  // namespace medley
