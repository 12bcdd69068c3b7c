// A program that returns from main while a worker still starts and stops
// synthetic cameras: the list of live cameras, a static object made after the
// shared runtime, must outlive that job. Run as a child by the capture tests;
// says "cameras done" once the job has ended and exits 0 (the address
// sanitizer ends it otherwise).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"

namespace {

std::atomic<bool> working{false};
std::atomic<bool> returning{false};

}  // namespace

int main() {
  platform::RuntimeStopAtReturn stopRuntime;
  alarm(10);
  auto runtime = platform::Runtime::shared();
  using quarzadel::SyntheticVideoSource;
  const SyntheticVideoSource::Spec spec{"synthetic-exit", "Exit", 16, 16, 30, {0, 0, 0}, 0, false};
  auto delivery = platform::SerialQueue::make("exit.delivery", runtime);
  // The first camera makes the list; staying live, it keeps the list's storage.
  auto kept = SyntheticVideoSource::make(spec, runtime);
  kept->start(delivery, [](auto&&...) {}, [](const std::string&) {});

  platform::SerialQueue::make("exit.cameras", runtime)->async([runtime, delivery, spec, kept] {
    auto cycle = [&] {
      auto camera = SyntheticVideoSource::make(spec, runtime);
      camera->start(delivery, [](auto&&...) {}, [](const std::string&) {});
      (void)quarzadel::SyntheticSources::liveSources();
      camera->stop();
    };
    working = true;
    while (!returning) cycle();
    // Well past main's return: the static objects go in far less.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) cycle();
    kept->stop();
    std::puts("cameras done");
    std::fflush(stdout);
  });
  while (!working) std::this_thread::yield();
  returning = true;
  return 0;
}
