#include "Platform/Concurrency/BlockingWait.h"

#include "Platform/Dispatch/VirtualRuntime.h"

namespace platform::detail {

void driveVirtualRuntimeUntil(Runtime& runtime, const std::function<bool()>& done) {
  auto* v = dynamic_cast<VirtualRuntime*>(&runtime);
  if (!v) throw std::logic_error("virtual runtime of an unknown kind");
  for (;;) {
    v->runUntilIdle();
    if (done()) return;
    auto next = v->nextTimerTime();
    if (!next) throw std::logic_error("blockingWait: the task can never finish (nothing left to run)");
    v->advanceTo(*next);
  }
}

}  // namespace platform::detail
