#pragma once
// Media waiting to be written, bounded by the length of program it holds (the
// sum of its items' durations) rather than by a count, so that the bound means
// the same at any frame rate or sound-buffer size. An item that would take the
// held length past the limit pushes the oldest items out first; the caller gets
// them back to count and report. Thread-safe: producers add from their queues,
// the writer takes from its own.
#include <cstddef>
#include <deque>
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
    while (!items_.empty() && held_ + seconds > limit_) {
      held_ -= items_.front().second;
      dropped.push_back(std::move(items_.front().first));
      items_.pop_front();
    }
    if (items_.empty()) held_ = 0;  // no rounding left over
    items_.emplace_back(std::move(item), seconds);
    held_ += seconds;
    return dropped;
  }

  // The oldest item, none when empty.
  std::optional<Item> pop() {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return std::nullopt;
    auto item = std::move(items_.front().first);
    held_ = items_.size() == 1 ? 0 : held_ - items_.front().second;
    items_.pop_front();
    return item;
  }

  // The oldest item, left in place; none when empty.
  std::optional<Item> front() const {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return std::nullopt;
    return items_.front().first;
  }

  // Empties it; what it held, oldest first.
  std::vector<Item> takeAll() {
    std::lock_guard lock(mutex_);
    std::vector<Item> all;
    all.reserve(items_.size());
    for (auto& entry : items_) all.push_back(std::move(entry.first));
    items_.clear();
    held_ = 0;
    return all;
  }

  size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  double heldSeconds() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  double limitSeconds() const { return limit_; }

 private:
  const double limit_;
  mutable std::mutex mutex_;
  std::deque<std::pair<Item, double>> items_;
  double held_ = 0;
};

}  // namespace quarzadel
