#pragma once
// A subject: sends each value to every current subscriber, on the sending
// thread, in subscription order. Sends are serialized; a subscriber may send,
// subscribe or unsubscribe from inside its call. Destroying the subject
// releases every subscriber.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Published/Publisher.h"

namespace platform {

template <class T>
class Subject {
 public:
  Subject() : core_(std::make_shared<Core>()) {}
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;

  void send(const T& value) const { core_->send(value); }

  Publisher<T> publisher() const {
    std::weak_ptr<Core> weak = core_;
    return Publisher<T>([weak](typename Publisher<T>::Sink s) -> Subscription {
      auto core = weak.lock();
      if (!core) return {};
      return core->attach(std::make_shared<detail::SinkGate<T>>(std::move(s)));
    });
  }

  [[nodiscard]] Subscription sink(typename Publisher<T>::Sink s) const { return publisher().sink(std::move(s)); }

  size_t subscriberCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->gates.size();
  }

  // Serializes with send(); for owners that must act between two sends.
  std::recursive_mutex& sendMutex() const { return core_->sendMutex; }

  // Adds an open gate (for owners that first deliver something to it alone).
  Subscription attach(std::shared_ptr<detail::SinkGate<T>> gate) const { return core_->attach(std::move(gate)); }

 private:
  struct Core : std::enable_shared_from_this<Core> {
    std::recursive_mutex sendMutex;
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<detail::SinkGate<T>>> gates;
    uint64_t nextId = 1;

    ~Core() {
      for (auto& [id, gate] : gates) gate->close();
    }

    void send(const T& value) {
      std::lock_guard serial(sendMutex);
      std::vector<std::shared_ptr<detail::SinkGate<T>>> snapshot;
      {
        std::lock_guard lock(mutex);
        snapshot.reserve(gates.size());
        for (auto& [id, gate] : gates) snapshot.push_back(gate);
      }
      for (auto& gate : snapshot) gate->deliver(value);
    }

    Subscription attach(std::shared_ptr<detail::SinkGate<T>> gate) {
      uint64_t id;
      {
        std::lock_guard lock(mutex);
        id = nextId++;
        gates.emplace(id, gate);
      }
      std::weak_ptr<Core> weak = this->shared_from_this();
      return Subscription([weak, id, gate] {
        gate->close();
        if (auto core = weak.lock()) {
          std::shared_ptr<detail::SinkGate<T>> removed;
          std::lock_guard lock(core->mutex);
          auto it = core->gates.find(id);
          if (it != core->gates.end()) {
            removed = std::move(it->second);
            core->gates.erase(it);
          }
        }
      });
    }
  };

  std::shared_ptr<Core> core_;
};

}  // namespace platform
