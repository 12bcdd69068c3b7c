#pragma once
// A labelled serial queue: jobs run one at a time, in the order they were
// submitted, on the runtime's workers (or on the main thread for the main queue).
// It is also the executor of actors and tasks.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Dispatch/Runtime.h"

namespace platform {

enum class QualityOfService { background, utility, defaultQoS, userInitiated, userInteractive };

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
 public:
  enum class Kind { serial, main, concurrent };

  static std::shared_ptr<SerialQueue> make(std::string label,
                                           std::shared_ptr<Runtime> runtime = Runtime::shared(),
                                           QualityOfService qos = QualityOfService::defaultQoS);

  SerialQueue(std::string label, std::shared_ptr<Runtime> runtime, Kind kind, QualityOfService qos);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  QualityOfService qos() const { return qos_; }
  const std::shared_ptr<Runtime>& runtime() const { return runtime_; }
  Nanos now() const { return runtime_->now(); }

  // Runs the job after every job submitted before it.
  void async(Job job);
  // The same for a hand-off that the calling job makes as its last work and never
  // waits for: when the queue must be started, it starts on the calling worker
  // right after the calling job (Runtime::postFollowing).
  void asyncFollowing(Job job);
  // Runs the job and waits for it; what the job throws is rethrown here. Calling
  // it from the queue's own job would wait on itself forever: that throws
  // std::logic_error instead.
  void sync(const Job& job);
  // Runs the job on the queue once `delay` has passed.
  Runtime::TimerId asyncAfter(Nanos delay, Job job);

  // True when the calling thread is running a job of this queue.
  bool isCurrent() const;
  // The queue whose job is running on this thread, or null.
  static SerialQueue* current();

 private:
  void drain();
  void submit(Job job, bool following);

  const std::string label_;
  const std::shared_ptr<Runtime> runtime_;
  const Kind kind_;
  const QualityOfService qos_;
  std::mutex mutex_;
  std::deque<Job> jobs_;
  bool scheduled_ = false;
};

using Executor = SerialQueue;

}  // namespace platform
