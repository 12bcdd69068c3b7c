#pragma once
// Media waiting to be written, bounded by the length of program it holds (the
// sum of its items' durations) rather than by a count, so that the bound means
// the same at any frame rate or sound-buffer size. An item that would take the
// held length past the limit pushes the oldest items out first; the caller gets
// them back to count and report. Thread-safe: producers add from their queues,
// the writer takes from its own.
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quarzadel {

template <typename Item>
class TimedBacklog {
 public:
  explicit TimedBacklog(double limitSeconds) : limit_(limitSeconds) {}

  // Adds one item of `seconds` at the back; the items it pushed out, oldest first.
  // The newest item always stays, even one longer than the limit.
  std::vector<Item> push(Item item, double seconds) {
    std::vector<Item> dropped;
    std::lock_guard lock(mutex_);
    seconds = seconds > 0 ? seconds : 0;
    while (count_ > 0 && held_ + seconds > limit_) {
      auto& oldest = slots_[first_];
      held_ -= oldest.second;
      dropped.push_back(std::move(oldest.first));
      removeFront();
    }
    if (count_ == 0) held_ = 0;  // no rounding left over
    if (count_ == slots_.size()) grow();
    slots_[(first_ + count_) % slots_.size()] = {std::move(item), seconds};
    ++count_;
    held_ += seconds;
    return dropped;
  }

  // The oldest item, none when empty.
  std::optional<Item> pop() {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return std::nullopt;
    auto& oldest = slots_[first_];
    std::optional<Item> item(std::move(oldest.first));
    held_ = count_ == 1 ? 0 : held_ - oldest.second;
    removeFront();
    return item;
  }

  // The oldest item, left in place; none when empty.
  std::optional<Item> front() const {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return std::nullopt;
    return slots_[first_].first;
  }

  // Empties it; what it held, oldest first.
  std::vector<Item> takeAll() {
    std::lock_guard lock(mutex_);
    std::vector<Item> all;
    all.reserve(count_);
    while (count_ > 0) {
      all.push_back(std::move(slots_[first_].first));
      removeFront();
    }
    held_ = 0;
    return all;
  }

  // Empties it, for what nobody counts.
  void clear() {
    std::lock_guard lock(mutex_);
    while (count_ > 0) removeFront();
    held_ = 0;
  }

  size_t size() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  double heldSeconds() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  double limitSeconds() const { return limit_; }

 private:
  // The items sit in a ring that only grows: a steady flow through it allocates nothing.
  void removeFront() {
    slots_[first_].first = Item();  // lets go of what it refers to now
    first_ = (first_ + 1) % slots_.size();
    --count_;
  }
  void grow() {
    std::vector<std::pair<Item, double>> larger(std::max<size_t>(4, slots_.size() * 2));
    for (size_t i = 0; i < count_; ++i) larger[i] = std::move(slots_[(first_ + i) % slots_.size()]);
    slots_ = std::move(larger);
    first_ = 0;
  }

  const double limit_;
  mutable std::mutex mutex_;
  std::vector<std::pair<Item, double>> slots_;
  size_t first_ = 0;
  size_t count_ = 0;
  double held_ = 0;
};

}  // namespace quarzadel
