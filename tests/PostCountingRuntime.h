#pragma once
// Virtual time that counts the jobs handed to workers: each post is a worker
// woken on a real runtime, so a test can hold a path to the wakes it may cost.
#include <atomic>
#include <memory>

#include "Platform/Dispatch/VirtualRuntime.h"

namespace qztest {

class PostCountingRuntime final : public platform::Runtime {
 public:
  static std::shared_ptr<PostCountingRuntime> make(platform::Nanos start = platform::seconds(1000)) {
    return std::make_shared<PostCountingRuntime>(start);
  }
  explicit PostCountingRuntime(platform::Nanos start) : inner_(platform::VirtualRuntime::make(start)) {}

  platform::Nanos now() const override { return inner_->now(); }
  void post(platform::Job job) override {
    ++posts_;
    inner_->post(std::move(job));
  }
  void postMain(platform::Job job) override { post(std::move(job)); }
  // Timers are counted by what they post when they fire.
  TimerId postAt(platform::Nanos when, platform::Job job) override {
    return inner_->postAt(when, [this, job = std::move(job)] {
      ++posts_;
      job();
    });
  }
  TimerId postHandOffAt(platform::Nanos when, platform::Job job) override {
    return inner_->postAt(when, std::move(job));
  }
  bool cancel(TimerId id) override { return inner_->cancel(id); }
  bool isVirtual() const override { return true; }
  void runUntil(const std::function<bool()>& done) override { inner_->runUntil(done); }

  void advance(platform::Nanos d) { inner_->advance(d); }
  void runUntilIdle() { inner_->runUntilIdle(); }
  size_t pendingTimers() const { return inner_->pendingTimers(); }
  // Jobs posted so far.
  long posts() const { return posts_.load(); }

 private:
  std::shared_ptr<platform::VirtualRuntime> inner_;
  std::atomic<long> posts_{0};
};

}  // namespace qztest
