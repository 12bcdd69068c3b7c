#pragma once
// Raw pictures on their way to the video encoder: handed in from any thread,
// taken one at a time by one reader. Bounded by time, not by count: when the
// pictures held span more than `span` seconds of presentation time, the
// oldest are dropped (counted; the first and every 300th drop are logged), so
// an encoder that falls behind costs the oldest pictures, never memory, and
// what it encodes stays recent whatever the frame rate. A count may bound it
// too, whichever bound is tighter.
//
// One reader pass at a time: push() says when the queue went from idle to
// waiting, and the reader then takes pictures until pop() finds none, which
// makes the queue idle again. So a reader that keeps up is woken once per
// picture and a busy one once per batch.
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "Platform/Media/SampleBuffer.h"

namespace medley {

class RawPictureQueue {
 public:
  // Enough for an encoder's hiccup (a restart, a slow key frame); a 1080p
  // picture is 3 MiB, and on a busy start every picture held is resident.
  static constexpr double kDefaultSpan = 0.25;

  explicit RawPictureQueue(double span = kDefaultSpan) : span_(span) {}

  // True when the caller must start a reader pass (the queue was idle).
  bool push(platform::SampleBufferRef picture);
  // The oldest picture, or none; none makes the queue idle.
  platform::SampleBufferRef pop();

  // From the next push on at most `count` pictures wait (at least one); none: the span alone.
  void setMaxCount(std::optional<size_t> count);

  // Pictures dropped because the reader fell behind.
  uint64_t droppedCount() const;
  size_t size() const;
  double span() const { return span_; }

 private:
  const double span_;
  mutable std::mutex mutex_;
  std::deque<platform::SampleBufferRef> pictures_;
  std::optional<size_t> maxCount_;
  bool reading_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace medley
