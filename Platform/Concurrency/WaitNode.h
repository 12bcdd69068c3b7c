#pragma once
// One suspended wait: the frame to resume, where to resume it and with what.
// Whoever resolves it first (a value, an error, a cancellation) wins; later
// attempts are no-ops. The frame is resumed as a job of its own executor.
// Shared between the waiting frame and whatever will resolve it, so that nothing
// touches the frame after handing it over.
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Concurrency/Async.h"

namespace platform::detail {

template <class T>
class WaitNode : public std::enable_shared_from_this<WaitNode<T>> {
 public:
  template <TaskPromise P>
  static std::shared_ptr<WaitNode> make(std::coroutine_handle<P> h) {
    auto n = std::make_shared<WaitNode>();
    n->handle_ = h;
    n->executor_ = h.promise().executor;
    n->cancellation_ = h.promise().cancellation;
    return n;
  }

  template <class... V>
  bool resolve(V&&... v) {
    return finish([&](ResultBox<T>& box) { box.setValue(std::forward<V>(v)...); });
  }
  bool fail(std::exception_ptr e) {
    return finish([&](ResultBox<T>& box) { box.setException(std::move(e)); });
  }

  bool isResolved() const {
    std::lock_guard lock(mutex_);
    return resolved_;
  }

  // Runs `onCancel` if the waiting task is cancelled before the node is resolved
  // (at once when it already is). `onCancel` decides how to resolve.
  void interruptOnCancel(std::function<void()> onCancel) {
    auto cancellation = cancellation_;
    if (!cancellation) return;
    std::weak_ptr<WaitNode> weak = this->shared_from_this();
    auto id = cancellation->addHandler([weak, onCancel = std::move(onCancel)] {
      if (auto self = weak.lock(); self && !self->isResolved()) onCancel();
    });
    if (id == 0) return;
    bool stale;
    {
      std::lock_guard lock(mutex_);
      stale = resolved_;
      if (!stale) handlerId_ = id;
    }
    if (stale) cancellation->removeHandler(id);
  }

  // In await_resume, on the resumed frame.
  T take() { return box_.take(); }

 private:
  template <class F>
  bool finish(F set) {
    std::coroutine_handle<> h;
    std::shared_ptr<SerialQueue> executor;
    std::shared_ptr<CancellationState> cancellation;
    CancellationState::HandlerId handlerId;
    {
      std::lock_guard lock(mutex_);
      if (resolved_) return false;
      resolved_ = true;
      set(box_);
      h = handle_;
      executor = executor_;
      cancellation = cancellation_;
      handlerId = handlerId_;
    }
    if (handlerId) cancellation->removeHandler(handlerId);
    scheduleResume(std::move(executor), h, std::move(cancellation));
    return true;
  }

  mutable std::mutex mutex_;
  bool resolved_ = false;
  ResultBox<T> box_;
  std::coroutine_handle<> handle_;
  std::shared_ptr<SerialQueue> executor_;
  std::shared_ptr<CancellationState> cancellation_;
  CancellationState::HandlerId handlerId_ = 0;
};

}  // namespace platform::detail
