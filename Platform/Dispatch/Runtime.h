#pragma once
// The runtime runs jobs on worker threads and at host times. Everything that
// waits or repeats (queues, timers, sleeps, tasks) goes through one runtime, so a
// test can swap in VirtualRuntime and advance time deterministically.
#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Time/HostClock.h"

namespace platform {

using Job = std::function<void()>;

class SerialQueue;

class Runtime : public Clock, public std::enable_shared_from_this<Runtime> {
 public:
  using TimerId = uint64_t;

  // Runs the job soon, on any worker thread.
  virtual void post(Job job) = 0;
  // The same for a hand-off that the calling job makes as its last work and
  // never waits for: a worker may keep it and run it as soon as the calling
  // job returns, which saves waking another worker only to take it over.
  virtual void postFollowing(Job job) { post(std::move(job)); }
  // Before the calling job blocks: what it left to follow it goes to any
  // worker, since it may be what the job waits for.
  virtual void releaseFollowing() {}
  // Runs the job on the main thread (the one that runs runMainLoop()).
  virtual void postMain(Job job) = 0;
  // Runs the job on a worker thread once host time reaches `when`.
  virtual TimerId postAt(Nanos when, Job job) = 0;
  // The same for a job that only hands work on (to a queue or a waiter) and
  // never blocks: the runtime may run it on its timer thread, which saves the
  // worker that would only pass it along. Cancelled like postAt's.
  virtual TimerId postHandOffAt(Nanos when, Job job) { return postAt(when, std::move(job)); }
  // Cancels a timer that has not fired; true when it was still pending.
  virtual bool cancel(TimerId id) = 0;
  // True when every job runs on the thread that drives the runtime (virtual time).
  virtual bool isVirtual() const { return false; }
  // Virtual runtimes run pending work until `done` holds; real ones block until it is
  // signalled by the job. Used by SerialQueue::sync.
  virtual void runUntil(const std::function<bool()>& done) {}

  // The main serial queue, run by the main thread.
  std::shared_ptr<SerialQueue> mainQueue();
  // A concurrent executor for work bound to no actor ("global queue").
  std::shared_ptr<SerialQueue> globalQueue();

  // The process runtime (worker pool, timer thread, main loop).
  static std::shared_ptr<Runtime> shared();

 protected:
  // Weak: the queues hold the runtime. Main and global queues keep no state of their
  // own, so a fresh object after the last one went away behaves the same.
  std::weak_ptr<SerialQueue> main_;
  std::weak_ptr<SerialQueue> global_;
};

// Real threads: a pool of workers, one timer thread, and a main loop.
class ThreadRuntime final : public Runtime {
 public:
  explicit ThreadRuntime(int workers = 0);
  ~ThreadRuntime() override;

  Nanos now() const override { return monotonicNow(); }
  void post(Job job) override;
  void postFollowing(Job job) override;
  void releaseFollowing() override;
  void postMain(Job job) override;
  TimerId postAt(Nanos when, Job job) override;
  TimerId postHandOffAt(Nanos when, Job job) override;
  bool cancel(TimerId id) override;

  // Runs main-thread jobs until stopMainLoop() is called.
  void runMainLoop();
  void stopMainLoop();
  // Runs the main-thread jobs already posted (for tools without a loop of their own).
  void drainMain();

  // For process exit: no job or timer starts any more; waits at most `bound` for
  // the jobs that are running. The shared runtime does this at exit by itself.
  void stopForExit(Nanos bound);

 private:
  struct Impl;
  TimerId addTimer(Nanos when, Job job, bool onTimerThread);
  // Shared with the threads: the last owner of the runtime may be a job running on
  // one of them, which then cannot join itself.
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
