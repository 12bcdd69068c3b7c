#pragma once
// The cancellation state of one task: a flag, and handlers run once when the
// flag is set (they interrupt sleeps and stream waits). Shared by every frame of
// the task; child tasks of a race get their own state linked to their parent's.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

class CancellationState {
 public:
  using HandlerId = uint64_t;

  static std::shared_ptr<CancellationState> make() { return std::make_shared<CancellationState>(); }

  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

  // Sets the flag and runs the registered handlers on the calling thread, once.
  // Returns false when it was already cancelled.
  bool cancel();

  // Registers a handler run when the state is cancelled. When it already is, the
  // handler runs now, on this thread, and 0 is returned. Handlers must be short and
  // must not wait: they run on whatever thread cancels.
  HandlerId addHandler(std::function<void()> handler);
  // Unregisters a handler; false when it already ran or was never registered.
  bool removeHandler(HandlerId id);

  size_t handlerCount() const;

 private:
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  std::map<HandlerId, std::function<void()>> handlers_;
  HandlerId nextId_ = 1;
};

// Keeps `child` cancelled whenever `parent` is, while it lives.
class CancellationLink {
 public:
  CancellationLink(std::shared_ptr<CancellationState> parent, std::shared_ptr<CancellationState> child);
  ~CancellationLink();
  CancellationLink(const CancellationLink&) = delete;
  CancellationLink& operator=(const CancellationLink&) = delete;

 private:
  std::shared_ptr<CancellationState> parent_;
  CancellationState::HandlerId id_ = 0;
};

}  // namespace platform
