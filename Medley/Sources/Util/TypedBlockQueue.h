#pragma once
// Buffers (sample buffers, by default) kept in presentation-time order and
// released by time: dequeue(t) gives the newest buffer due at t and drops the
// older ones. Bounded by its capacity. Used from its owner's queue or actor only.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>

#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class TypedBlockQueueError : public std::runtime_error {
 public:
  enum class Kind {
    invalidCapacity,  // a negative capacity
    full,             // enqueue with `capacity` buffers queued
    invalidBuffer,    // enqueue of no buffer
  };
  TypedBlockQueueError(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
  Kind kind;
};

template <class T = platform::SampleBuffer>
class TypedBlockQueue {
 public:
  using BufferRef = std::shared_ptr<T>;

  // `capacity` 0 sets no limit; a negative one throws invalidCapacity.
  explicit TypedBlockQueue(long capacity) : capacity_(checked(capacity)) {}

  size_t capacity() const { return capacity_; }
  bool isEmpty() const { return queue_.empty(); }
  size_t count() const { return queue_.size(); }
  // The earliest buffer, or none.
  BufferRef head() const { return queue_.empty() ? nullptr : queue_.front(); }

  // Places the buffer after every queued one that is not later. Throws full or invalidBuffer.
  void enqueue(BufferRef buffer) {
    if (!buffer) throw TypedBlockQueueError(TypedBlockQueueError::Kind::invalidBuffer, "no buffer to enqueue");
    if (capacity_ > 0 && queue_.size() >= capacity_)
      throw TypedBlockQueueError(TypedBlockQueueError::Kind::full, "buffer queue is full");
    const platform::MediaTime pts = buffer->presentationTime();
    auto at = std::upper_bound(queue_.begin(), queue_.end(), pts,
                               [](const platform::MediaTime& t, const BufferRef& b) { return t < b->presentationTime(); });
    queue_.insert(at, std::move(buffer));
  }

  // The earliest buffer, removed; none when empty.
  BufferRef dequeue() {
    if (queue_.empty()) return nullptr;
    BufferRef head = std::move(queue_.front());
    queue_.pop_front();
    return head;
  }

  // The newest buffer presented at or before `time`, removing it and every
  // older one; none (and nothing removed) when the earliest is later.
  BufferRef dequeue(const platform::MediaTime& time) {
    BufferRef result;
    while (!queue_.empty() && queue_.front()->presentationTime() <= time) {
      result = std::move(queue_.front());
      queue_.pop_front();
    }
    return result;
  }

  void reset() { queue_.clear(); }

 private:
  static size_t checked(long capacity) {
    if (capacity < 0)
      throw TypedBlockQueueError(TypedBlockQueueError::Kind::invalidCapacity, "negative buffer queue capacity");
    return static_cast<size_t>(capacity);
  }

  const size_t capacity_;
  std::deque<BufferRef> queue_;
};

}  // namespace medley
