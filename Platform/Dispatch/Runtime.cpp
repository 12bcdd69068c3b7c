#include "Platform/Dispatch/Runtime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <condition_variable>
#include <deque>
#include <map>
#include <optional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace platform {

std::shared_ptr<SerialQueue> Runtime::mainQueue() {
  static std::mutex m;
  std::lock_guard lock(m);
  auto q = main_.lock();
  if (!q) main_ = q = std::make_shared<SerialQueue>("main", shared_from_this(), SerialQueue::Kind::main,
                                                    QualityOfService::userInteractive);
  return q;
}

std::shared_ptr<SerialQueue> Runtime::globalQueue() {
  static std::mutex m;
  std::lock_guard lock(m);
  auto q = global_.lock();
  if (!q) global_ = q = std::make_shared<SerialQueue>("global", shared_from_this(), SerialQueue::Kind::concurrent,
                                                      QualityOfService::defaultQoS);
  return q;
}

namespace {

// The shared runtime once made; never destroyed.
std::atomic<ThreadRuntime*> sharedRuntime{nullptr};

// Run first by exit() once registered: ends the process with exit's status and
// destroys no static object under a job that still runs. A stream that job
// holds locked (a write to a full pipe) is left unflushed rather than waited for.
void endLeavingStatics(int status, void*) {
  for (FILE* stream : {stdout, stderr}) {
    if (::ftrylockfile(stream) != 0) continue;
    ::fflush_unlocked(stream);
    ::funlockfile(stream);
  }
  std::_Exit(status);
}

}  // namespace

std::shared_ptr<Runtime> Runtime::shared() {
  // Never destroyed: queues and the jobs they never ran still hold it at exit.
  // Programs stop its workers before main returns (RuntimeStopAtReturn); the
  // stop at exit is for exit() called elsewhere, and comes only after the static
  // objects made since this first use are destroyed.
  static std::shared_ptr<ThreadRuntime>* runtime = [] {
    auto* made = new std::shared_ptr<ThreadRuntime>(std::make_shared<ThreadRuntime>());
    sharedRuntime = made->get();
    std::atexit(stopRuntimeBeforeExit);
    return made;
  }();
  return *runtime;
}

void stopRuntimeBeforeExit() {
  if (auto* runtime = sharedRuntime.load()) runtime->stopForExit(seconds(1));
}

namespace {
// The pool whose job runs on this thread, if any.
thread_local const void* tlsWorkerOf = nullptr;
// The pool whose timer thread this is, if any.
thread_local const void* tlsTimerThreadOf = nullptr;
// The job a worker runs next, left by the job it is running (postFollowing).
thread_local Job tlsFollowing;
}  // namespace

struct ThreadRuntime::Impl {
  std::mutex mutex;
  std::condition_variable workCv;
  std::condition_variable timerCv;
  std::deque<Job> work;
  struct Timer {
    Job job;
    // Hands work on only: run by the timer thread, not a worker.
    bool onTimerThread = false;
  };
  std::map<std::pair<Nanos, TimerId>, Timer> timers;
  std::map<TimerId, Nanos> timerIndex;
  TimerId nextId = 1;
  bool stopping = false;
  // Process exit has begun: no job starts any more.
  bool halted = false;
  // The end of the wait for the running jobs, set by the first stop for exit.
  std::optional<std::chrono::steady_clock::time_point> exitDeadline;
  int running = 0;
  std::condition_variable idleCv;
  // A child forked without exec has none of the threads (and maybe a held mutex).
  const pid_t pid = ::getpid();
  std::vector<std::thread> threads;

  std::mutex mainMutex;
  std::condition_variable mainCv;
  std::deque<Job> mainJobs;
  bool mainStop = false;
};

ThreadRuntime::ThreadRuntime(int workers) : impl_(std::make_shared<Impl>()) {
  if (workers <= 0) workers = std::max(8u, std::thread::hardware_concurrency());
  for (int i = 0; i < workers; ++i) {
    impl_->threads.emplace_back([impl = impl_] {
      tlsWorkerOf = impl.get();
      for (;;) {
        Job job;
        {
          std::unique_lock lock(impl->mutex);
          impl->workCv.wait(lock, [&] { return impl->stopping || impl->halted || !impl->work.empty(); });
          // Halted for exit: park (a thread that ended unjoined counts as leaked).
          if (impl->halted) impl->workCv.wait(lock, [&] { return impl->stopping; });
          if (impl->halted || impl->work.empty()) return;
          job = std::move(impl->work.front());
          impl->work.pop_front();
          ++impl->running;
        }
        // A job and the one it left to follow it run back to back.
        while (job) {
          job();
          job = std::exchange(tlsFollowing, nullptr);  // what it held goes before the job counts as done
        }
        {
          std::lock_guard lock(impl->mutex);
          if (--impl->running == 0 && impl->halted) impl->idleCv.notify_all();
        }
      }
    });
  }
  impl_->threads.emplace_back([impl = impl_] {
    tlsTimerThreadOf = impl.get();
    std::unique_lock lock(impl->mutex);
    while (!impl->stopping && !impl->halted) {
      if (impl->timers.empty()) {
        impl->timerCv.wait(lock);
        continue;
      }
      auto it = impl->timers.begin();
      Nanos due = it->first.first;
      Nanos t = monotonicNow();
      if (due > t) {
        impl->timerCv.wait_for(lock, std::chrono::nanoseconds(due - t));
        continue;
      }
      Impl::Timer timer = std::move(it->second);
      impl->timerIndex.erase(it->first.second);
      impl->timers.erase(it);
      if (!timer.onTimerThread) {
        impl->work.push_back(std::move(timer.job));
        impl->workCv.notify_one();
        continue;
      }
      lock.unlock();
      try {
        timer.job();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "timer thread: uncaught exception: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "timer thread: uncaught exception\n");
      }
      timer.job = nullptr;  // what it held goes before the lock is taken again
      lock.lock();
    }
    impl->timerCv.wait(lock, [&] { return impl->stopping; });
  });
}

ThreadRuntime::~ThreadRuntime() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->workCv.notify_all();
  impl_->timerCv.notify_all();
  for (auto& t : impl_->threads) {
    if (t.get_id() == std::this_thread::get_id()) t.detach();
    else t.join();
  }
}

void ThreadRuntime::stopForExit(Nanos bound) {
  if (::getpid() != impl_->pid) return;
  std::unique_lock lock(impl_->mutex);
  impl_->halted = true;
  impl_->workCv.notify_all();
  impl_->timerCv.notify_all();
  // A later stop (exit() after the stop before return) waits no longer than the first.
  if (!impl_->exitDeadline) impl_->exitDeadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(bound);
  // A job that calls exit() is one of the running ones: do not wait for it.
  const int self = tlsWorkerOf == impl_.get() ? 1 : 0;
  if (impl_->idleCv.wait_until(lock, *impl_->exitDeadline, [&] { return impl_->running <= self; })) return;
  // The shared runtime's job still runs: static objects must outlive it.
  static std::atomic<bool> leaving{false};
  if (this == sharedRuntime.load() && !leaving.exchange(true)) ::on_exit(endLeavingStatics, nullptr);
}

void ThreadRuntime::post(Job job) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->work.push_back(std::move(job));
  }
  impl_->workCv.notify_one();
}

void ThreadRuntime::postFollowing(Job job) {
  // One job only: a second one may be due while the first still waits, so it
  // goes to any worker.
  if (tlsWorkerOf != impl_.get() || tlsFollowing) return post(std::move(job));
  tlsFollowing = std::move(job);
}

void ThreadRuntime::releaseFollowing() {
  if (tlsWorkerOf == impl_.get() && tlsFollowing) post(std::exchange(tlsFollowing, nullptr));
}

void ThreadRuntime::postMain(Job job) {
  {
    std::lock_guard lock(impl_->mainMutex);
    impl_->mainJobs.push_back(std::move(job));
  }
  impl_->mainCv.notify_one();
}

Runtime::TimerId ThreadRuntime::postAt(Nanos when, Job job) { return addTimer(when, std::move(job), false); }

Runtime::TimerId ThreadRuntime::postHandOffAt(Nanos when, Job job) { return addTimer(when, std::move(job), true); }

Runtime::TimerId ThreadRuntime::addTimer(Nanos when, Job job, bool onTimerThread) {
  std::lock_guard lock(impl_->mutex);
  TimerId id = impl_->nextId++;
  auto [it, added] = impl_->timers.emplace(std::make_pair(when, id), Impl::Timer{std::move(job), onTimerThread});
  impl_->timerIndex.emplace(id, when);
  // The timer thread sleeps until its earliest timer: only a new earliest one
  // changes that, and the timer thread itself looks again before it sleeps.
  if (it == impl_->timers.begin() && tlsTimerThreadOf != impl_.get()) impl_->timerCv.notify_one();
  return id;
}

bool ThreadRuntime::cancel(TimerId id) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->timerIndex.find(id);
  if (it == impl_->timerIndex.end()) return false;
  impl_->timers.erase({it->second, id});
  impl_->timerIndex.erase(it);
  return true;
}

void ThreadRuntime::runMainLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(impl_->mainMutex);
      impl_->mainCv.wait(lock, [&] { return impl_->mainStop || !impl_->mainJobs.empty(); });
      if (impl_->mainStop) {
        impl_->mainStop = false;
        return;
      }
      job = std::move(impl_->mainJobs.front());
      impl_->mainJobs.pop_front();
    }
    job();
  }
}

void ThreadRuntime::stopMainLoop() {
  {
    std::lock_guard lock(impl_->mainMutex);
    impl_->mainStop = true;
  }
  impl_->mainCv.notify_all();
}

void ThreadRuntime::drainMain() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(impl_->mainMutex);
      if (impl_->mainJobs.empty()) return;
      job = std::move(impl_->mainJobs.front());
      impl_->mainJobs.pop_front();
    }
    job();
  }
}

}  // namespace platform
