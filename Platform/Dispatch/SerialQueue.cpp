#include "Platform/Dispatch/SerialQueue.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

namespace platform {
namespace {

thread_local SerialQueue* tlsCurrent = nullptr;

struct CurrentScope {
  SerialQueue* saved;
  explicit CurrentScope(SerialQueue* q) : saved(tlsCurrent) { tlsCurrent = q; }
  ~CurrentScope() { tlsCurrent = saved; }
};

void runGuarded(const std::string& label, Job& job) {
  try {
    job();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "queue %s: uncaught exception: %s\n", label.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "queue %s: uncaught exception\n", label.c_str());
  }
}

}  // namespace

std::shared_ptr<SerialQueue> SerialQueue::make(std::string label, std::shared_ptr<Runtime> runtime,
                                               QualityOfService qos) {
  return std::make_shared<SerialQueue>(std::move(label), std::move(runtime), Kind::serial, qos);
}

SerialQueue::SerialQueue(std::string label, std::shared_ptr<Runtime> runtime, Kind kind, QualityOfService qos)
    : label_(std::move(label)), runtime_(std::move(runtime)), kind_(kind), qos_(qos) {}

SerialQueue::~SerialQueue() = default;

SerialQueue* SerialQueue::current() { return tlsCurrent; }

bool SerialQueue::isCurrent() const {
  if (tlsCurrent == this) return true;
  return kind_ == Kind::main && tlsCurrent && tlsCurrent->kind_ == Kind::main;
}

void SerialQueue::async(Job job) { submit(std::move(job), false); }

void SerialQueue::asyncFollowing(Job job) { submit(std::move(job), true); }

void SerialQueue::submit(Job job, bool following) {
  switch (kind_) {
    case Kind::main:
      runtime_->postMain([self = shared_from_this(), job = std::move(job)]() mutable {
        CurrentScope scope(self.get());
        runGuarded(self->label_, job);
      });
      return;
    case Kind::concurrent:
      runtime_->post([self = shared_from_this(), job = std::move(job)]() mutable {
        CurrentScope scope(self.get());
        runGuarded(self->label_, job);
      });
      return;
    case Kind::serial:
      break;
  }
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (!scheduled_) scheduled_ = schedule = true;
  }
  if (!schedule) return;
  Job turn = [self = shared_from_this()] { self->drain(); };
  if (following) runtime_->postFollowing(std::move(turn));
  else runtime_->post(std::move(turn));
}

void SerialQueue::drain() {
  CurrentScope scope(this);
  // A bounded batch, then yield the worker so that one busy queue cannot starve others.
  for (int n = 0; n < 64; ++n) {
    Job job;
    {
      std::lock_guard lock(mutex_);
      if (jobs_.empty()) {
        scheduled_ = false;
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    runGuarded(label_, job);
  }
  runtime_->post([self = shared_from_this()] { self->drain(); });
}

void SerialQueue::sync(const Job& job) {
  if (isCurrent()) throw std::logic_error("sync on queue " + label_ + " from its own job would wait forever");
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  };
  auto done = std::make_shared<Done>();
  async([&job, done] {
    // The caller waits for this job: its error goes to the caller, and the
    // caller is released whatever happens.
    std::exception_ptr error;
    try {
      job();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(done->m);
      done->done = true;
      done->error = std::move(error);
    }
    done->cv.notify_all();
  });
  std::exception_ptr error;
  if (runtime_->isVirtual()) {
    runtime_->runUntil([&] {
      std::lock_guard lock(done->m);
      return done->done;
    });
    error = std::exchange(done->error, nullptr);
  } else {
    runtime_->releaseFollowing();
    std::unique_lock lock(done->m);
    done->cv.wait(lock, [&] { return done->done; });
    // Taken here, so the error is released on this thread only.
    error = std::exchange(done->error, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

Runtime::TimerId SerialQueue::asyncAfter(Nanos delay, Job job) {
  std::weak_ptr<SerialQueue> weak = shared_from_this();
  return runtime_->postHandOffAt(runtime_->now() + delay, [weak, job = std::move(job)]() mutable {
    if (auto self = weak.lock()) self->async(std::move(job));
  });
}

}  // namespace platform
