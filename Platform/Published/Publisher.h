#pragma once
// A publisher of values: something a subscriber can be attached to, with the
// usual operators. Each operator makes a new publisher; each sink() makes an
// independent subscription.
//
//   auto sub = a.publisher().combineLatest(b.publisher()).dropFirst()
//                .receiveOn(mainQueue).sink([](const auto& ab) { ... });
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Published/SinkGate.h"
#include "Platform/Published/Subscription.h"

namespace platform {

template <class T>
class Publisher {
 public:
  using Value = T;
  using Sink = std::function<void(const T&)>;
  using SubscribeFn = std::function<Subscription(Sink)>;

  explicit Publisher(SubscribeFn subscribe) : subscribe_(std::move(subscribe)) {}

  // Attaches `sink`; it is called until the subscription is released.
  [[nodiscard]] Subscription sink(Sink s) const { return subscribe_(std::move(s)); }

  // Skips the first `n` values of each subscription.
  Publisher dropFirst(size_t n = 1) const {
    auto up = subscribe_;
    return Publisher([up, n](Sink s) {
      auto seen = std::make_shared<std::atomic<size_t>>(0);
      return up([s = std::move(s), seen, n](const T& v) {
        if (seen->fetch_add(1) < n) return;
        s(v);
      });
    });
  }

  Publisher filter(std::function<bool(const T&)> keep) const {
    auto up = subscribe_;
    return Publisher([up, keep](Sink s) {
      return up([s = std::move(s), keep](const T& v) {
        if (keep(v)) s(v);
      });
    });
  }

  template <class F>
  auto map(F f) const -> Publisher<std::decay_t<std::invoke_result_t<F&, const T&>>> {
    using R = std::decay_t<std::invoke_result_t<F&, const T&>>;
    auto up = subscribe_;
    return Publisher<R>([up, f](std::function<void(const R&)> s) {
      return up([s = std::move(s), f](const T& v) mutable { s(f(v)); });
    });
  }

  // Passes a value only when it differs from the last one passed.
  Publisher removeDuplicates() const {
    auto up = subscribe_;
    return Publisher([up](Sink s) {
      struct Last {
        std::mutex m;
        std::optional<T> value;
      };
      auto last = std::make_shared<Last>();
      return up([s = std::move(s), last](const T& v) {
        {
          std::lock_guard lock(last->m);
          if (last->value && *last->value == v) return;
          last->value = v;
        }
        s(v);
      });
    });
  }

  // Delivers each value as a job of `queue`, in order.
  Publisher receiveOn(std::shared_ptr<SerialQueue> queue) const {
    auto up = subscribe_;
    return Publisher([up, queue](Sink s) {
      auto gate = std::make_shared<detail::SinkGate<T>>(std::move(s));
      auto upstream = std::make_shared<Subscription>(up([gate, queue](const T& v) {
        queue->async([gate, v] { gate->deliver(v); });
      }));
      return Subscription([gate, upstream] {
        upstream->cancel();
        gate->close();
      });
    });
  }

  template <class U>
  Publisher<std::pair<T, U>> combineLatest(const Publisher<U>& other) const;

 private:
  SubscribeFn subscribe_;
};

// The latest value of each, as a pair, once both have published; then on
// every value of either. Calls of the subscriber never overlap.
template <class A, class B>
Publisher<std::pair<A, B>> combineLatest(const Publisher<A>& a, const Publisher<B>& b) {
  return Publisher<std::pair<A, B>>([a, b](std::function<void(const std::pair<A, B>&)> s) {
    struct Latest {
      std::recursive_mutex m;
      std::optional<A> a;
      std::optional<B> b;
    };
    auto latest = std::make_shared<Latest>();
    auto emit = [latest, s] {
      if (latest->a && latest->b) s(std::pair<A, B>(*latest->a, *latest->b));
    };
    std::vector<Subscription> parts;
    parts.push_back(a.sink([latest, emit](const A& v) {
      std::lock_guard lock(latest->m);
      latest->a = v;
      emit();
    }));
    parts.push_back(b.sink([latest, emit](const B& v) {
      std::lock_guard lock(latest->m);
      latest->b = v;
      emit();
    }));
    return Subscription::all(std::move(parts));
  });
}

// Subscribes `fn(a, b)` to the latest values of both publishers.
template <class A, class B, class F>
[[nodiscard]] Subscription combineLatest(const Publisher<A>& a, const Publisher<B>& b, F fn) {
  return combineLatest(a, b).sink([fn](const std::pair<A, B>& ab) { fn(ab.first, ab.second); });
}

template <class T>
template <class U>
Publisher<std::pair<T, U>> Publisher<T>::combineLatest(const Publisher<U>& other) const {
  return platform::combineLatest(*this, other);
}

}  // namespace platform
