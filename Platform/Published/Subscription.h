#pragma once
// A subscription to a publisher, released by RAII: destroying it (or cancel())
// unsubscribes. Once cancel() has returned, the subscriber is not called again
// and no call of it is running on another thread (one running on this thread,
// i.e. cancel() from inside the subscriber, finishes normally). So do not release
// a subscription while holding a lock that its subscriber takes.
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace platform {

class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Subscription(Subscription&& o) noexcept : cancel_(std::exchange(o.cancel_, nullptr)) {}
  Subscription& operator=(Subscription&& o) noexcept {
    if (this != &o) {
      cancel();
      cancel_ = std::exchange(o.cancel_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { cancel(); }

  void cancel() {
    if (auto c = std::exchange(cancel_, nullptr)) c();
  }
  bool isActive() const { return static_cast<bool>(cancel_); }

  // One subscription that cancels all of these, in order.
  static Subscription all(std::vector<Subscription> parts) {
    if (parts.empty()) return {};
    auto shared = std::make_shared<std::vector<Subscription>>(std::move(parts));
    return Subscription([shared] {
      for (auto& p : *shared) p.cancel();
    });
  }

  // Keeps it in a bag of subscriptions owned by the subscriber.
  void store(std::vector<Subscription>& bag) && { bag.push_back(std::move(*this)); }

 private:
  std::function<void()> cancel_;
};

}  // namespace platform
