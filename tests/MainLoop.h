#pragma once
// A main thread of a test's own that runs a real runtime's main queue.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "Eventually.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Dispatch/Runtime.h"

namespace qztest {

struct MainLoop {
  std::shared_ptr<platform::ThreadRuntime> runtime;
  std::thread thread{[this] { runtime->runMainLoop(); }};
  ~MainLoop() {
    runtime->stopMainLoop();
    thread.join();
  }
  // Runs `work` on the main queue; true when it ended within 20 s, so a hang fails here, not at ctest's time-out.
  bool run(platform::Async<void> work) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto body = [](platform::Async<void> inner, std::shared_ptr<std::atomic<bool>> flag) -> platform::Async<void> {
      co_await std::move(inner);
      *flag = true;
    };
    platform::spawnDetached(runtime->mainQueue(), body(std::move(work), done));
    return eventually([&] { return done->load(); }, std::chrono::seconds(20));
  }
  void sync(const std::function<void()>& job) { runtime->mainQueue()->sync(job); }
};

}  // namespace qztest
