#pragma once
#include "Platform/Concurrency/Async.h"

namespace medley {

// The start/stop seam of the media components that are actors: each call runs
// on the actor's queue.
class AsyncRunner {
 public:
  virtual ~AsyncRunner() = default;
  virtual platform::Async<bool> isRunning() = 0;
  virtual platform::Async<void> startRunning() = 0;
  virtual platform::Async<void> stopRunning() = 0;
};

}  // namespace medley
