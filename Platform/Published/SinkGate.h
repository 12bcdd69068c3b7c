#pragma once
// Guards one subscriber: calls pass only while open, and closing waits for a
// call running on another thread, so a subscriber that captured `this` is safe
// once its subscription is gone.
#include <functional>
#include <memory>
#include <mutex>

namespace platform::detail {

template <class T>
class SinkGate {
 public:
  explicit SinkGate(std::function<void(const T&)> sink) : sink_(std::move(sink)) {}

  void deliver(const T& value) {
    std::function<void(const T&)> released;
    std::lock_guard lock(mutex_);
    if (!open_ || !sink_) return;
    ++depth_;
    try {
      sink_(value);
    } catch (...) {
      --depth_;
      throw;
    }
    --depth_;
    // Closed from inside the call: release it now that it has returned.
    if (!open_ && depth_ == 0) released = std::move(sink_);
  }

  void close() {
    std::function<void(const T&)> released;  // destroyed after the lock is let go
    std::lock_guard lock(mutex_);
    open_ = false;
    if (depth_ == 0) released = std::move(sink_);
  }

  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  mutable std::recursive_mutex mutex_;
  bool open_ = true;
  int depth_ = 0;
  std::function<void(const T&)> sink_;
};

}  // namespace platform::detail
