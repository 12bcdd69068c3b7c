#pragma once
// An observable value. set() tells the subscribers the new value before it is
// stored (while value() still gives the old one), on every set, equal or not.
// A new subscriber is first given the current value. Thread-safe; sets are
// serialized.
//
//   Published<bool> live{false};
//   auto sub = live.subscribe(mainQueue, [this](bool v) { ... });  // until `sub` goes
#include <memory>
#include <mutex>

#include "Platform/Published/Subject.h"

namespace platform {

template <class T>
class Published {
 public:
  using Sink = typename Publisher<T>::Sink;

  Published() : Published(T{}) {}
  explicit Published(T initial) : core_(std::make_shared<Core>(std::move(initial))) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  T value() const {
    std::lock_guard lock(core_->valueMutex);
    return core_->value;
  }

  void set(T newValue) {
    std::lock_guard serial(core_->subject.sendMutex());
    core_->subject.send(newValue);
    std::lock_guard lock(core_->valueMutex);
    core_->value = std::move(newValue);
  }
  Published& operator=(T newValue) {
    set(std::move(newValue));
    return *this;
  }

  // The current value, then every value set.
  Publisher<T> publisher() const {
    std::weak_ptr<Core> weak = core_;
    return Publisher<T>([weak](Sink s) -> Subscription {
      auto core = weak.lock();
      if (!core) return {};
      std::lock_guard serial(core->subject.sendMutex());
      auto gate = std::make_shared<detail::SinkGate<T>>(std::move(s));
      auto sub = core->subject.attach(gate);
      T current = [&] {
        std::lock_guard lock(core->valueMutex);
        return core->value;
      }();
      gate->deliver(current);
      return sub;
    });
  }

  [[nodiscard]] Subscription subscribe(Sink s) const { return publisher().sink(std::move(s)); }
  // Delivers on `queue`, in order.
  [[nodiscard]] Subscription subscribe(std::shared_ptr<SerialQueue> queue, Sink s) const {
    return publisher().receiveOn(std::move(queue)).sink(std::move(s));
  }

  size_t subscriberCount() const { return core_->subject.subscriberCount(); }

 private:
  struct Core {
    explicit Core(T v) : value(std::move(v)) {}
    mutable std::mutex valueMutex;
    T value;
    Subject<T> subject;
  };
  std::shared_ptr<Core> core_;
};

}  // namespace platform
