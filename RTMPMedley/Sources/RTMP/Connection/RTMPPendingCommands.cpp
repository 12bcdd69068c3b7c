#include "RTMPMedley/Sources/RTMP/Connection/RTMPPendingCommands.h"

#include "Platform/Concurrency/Sleep.h"

namespace rtmpmedley {

RTMPPendingCommands::RTMPPendingCommands(std::shared_ptr<platform::SerialQueue> queue) : queue_(std::move(queue)) {}

RTMPPendingCommands::~RTMPPendingCommands() {
  for (auto& [id, entry] : state_->entries) entry.timeout.cancel();
}

void RTMPPendingCommands::add(int64_t transactionId, Wait wait) {
  Entry entry{std::move(wait), ++state_->serial, {}};
  auto& slot = state_->entries[transactionId];
  slot.timeout.cancel();
  slot = std::move(entry);
}

void RTMPPendingCommands::expireAfter(int64_t transactionId, platform::Nanos after, std::exception_ptr error,
                                      std::function<void()> expired) {
  auto it = state_->entries.find(transactionId);
  if (it == state_->entries.end()) return;
  it->second.timeout.cancel();
  it->second.timeout = platform::spawn(queue_, &RTMPPendingCommands::expire, std::weak_ptr<State>(state_),
                                       transactionId, it->second.serial, after, std::move(error), std::move(expired));
}

std::optional<RTMPPendingCommands::Wait> RTMPPendingCommands::take(int64_t transactionId) {
  auto it = state_->entries.find(transactionId);
  if (it == state_->entries.end()) return std::nullopt;
  Entry entry = std::move(it->second);
  state_->entries.erase(it);
  entry.timeout.cancel();
  return std::move(entry.wait);
}

void RTMPPendingCommands::failAll(const std::exception_ptr& error, std::optional<int64_t> except) {
  auto entries = std::move(state_->entries);
  state_->entries.clear();
  if (except) {
    if (auto kept = entries.extract(*except)) state_->entries.insert(std::move(kept));
  }
  for (auto& [id, entry] : entries) {
    entry.timeout.cancel();
    entry.wait.resume(error);
  }
}

platform::Async<void> RTMPPendingCommands::expire(std::weak_ptr<State> weak, int64_t transactionId, uint64_t serial,
                                                  platform::Nanos after, std::exception_ptr error,
                                                  std::function<void()> expired) {
  try {
    co_await platform::sleepFor(after);
  } catch (const platform::CancellationError&) {
    co_return;
  }
  auto state = weak.lock();
  if (!state) co_return;
  auto it = state->entries.find(transactionId);
  if (it == state->entries.end() || it->second.serial != serial) co_return;
  Wait wait = std::move(it->second.wait);
  state->entries.erase(it);
  wait.resume(std::move(error));
  if (expired) expired();
}

}  // namespace rtmpmedley
