#pragma once
// The commands of a connection that wait for their answer, by transaction id.
// Each wait ends once: with its answer, by its own time-out, or when the
// connection fails every wait at once. A time-out ends only the wait it was
// started for, never a later one under the same id. Used on its owner's queue
// only; the time-outs run there too.
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"

namespace rtmpmedley {

class RTMPPendingCommands {
 public:
  using Wait = platform::Continuation<RTMPResponse>;

  explicit RTMPPendingCommands(std::shared_ptr<platform::SerialQueue> queue);
  // Stops the time-outs; waits still stored fail as dropped.
  ~RTMPPendingCommands();
  RTMPPendingCommands(const RTMPPendingCommands&) = delete;
  RTMPPendingCommands& operator=(const RTMPPendingCommands&) = delete;

  void add(int64_t transactionId, Wait wait);
  // Fails the wait with `error` once `after` has passed, unless it ended
  // before; `expired` then runs, on the queue.
  void expireAfter(int64_t transactionId, platform::Nanos after, std::exception_ptr error,
                   std::function<void()> expired = {});
  // The wait, its time-out stopped; none when nothing waits under the id.
  std::optional<Wait> take(int64_t transactionId);
  // Fails every wait but the one of `except`.
  void failAll(const std::exception_ptr& error, std::optional<int64_t> except = std::nullopt);

  bool contains(int64_t transactionId) const { return state_->entries.count(transactionId) != 0; }
  size_t size() const { return state_->entries.size(); }

 private:
  struct Entry {
    Wait wait;
    uint64_t serial = 0;
    platform::TaskHandle<void> timeout;
  };
  struct State {
    std::map<int64_t, Entry> entries;
    uint64_t serial = 0;
  };
  static platform::Async<void> expire(std::weak_ptr<State> weak, int64_t transactionId, uint64_t serial,
                                      platform::Nanos after, std::exception_ptr error, std::function<void()> expired);

  const std::shared_ptr<platform::SerialQueue> queue_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace rtmpmedley
