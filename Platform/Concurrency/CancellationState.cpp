#include "Platform/Concurrency/CancellationState.h"

#include <vector>

namespace platform {

bool CancellationState::cancel() {
  std::map<HandlerId, std::function<void()>> run;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_.load(std::memory_order_relaxed)) return false;
    cancelled_.store(true, std::memory_order_release);
    run.swap(handlers_);
  }
  for (auto& [id, handler] : run) handler();
  return true;
}

CancellationState::HandlerId CancellationState::addHandler(std::function<void()> handler) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_.load(std::memory_order_relaxed)) {
      HandlerId id = nextId_++;
      handlers_.emplace(id, std::move(handler));
      return id;
    }
  }
  handler();
  return 0;
}

bool CancellationState::removeHandler(HandlerId id) {
  std::function<void()> dropped;  // destroyed outside the lock: it may own anything
  std::lock_guard lock(mutex_);
  auto it = handlers_.find(id);
  if (it == handlers_.end()) return false;
  dropped = std::move(it->second);
  handlers_.erase(it);
  return true;
}

size_t CancellationState::handlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

CancellationLink::CancellationLink(std::shared_ptr<CancellationState> parent, std::shared_ptr<CancellationState> child)
    : parent_(std::move(parent)) {
  if (!parent_) return;
  std::weak_ptr<CancellationState> weak = child;
  id_ = parent_->addHandler([weak] {
    if (auto c = weak.lock()) c->cancel();
  });
}

CancellationLink::~CancellationLink() {
  if (parent_ && id_) parent_->removeHandler(id_);
}

}  // namespace platform
