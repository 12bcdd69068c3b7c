#pragma once
// The program's end. The shared runtime stops its workers by itself at exit, but
// only after the static objects made since its first use are destroyed, under
// the jobs still running; a program stops it before main returns instead.

namespace platform {

// The shared runtime, if made, starts no job or timer any more and waits at
// most 1 s for the running ones, so that none runs while static objects are
// destroyed; a job still running then ends the process at exit (with its status)
// without destroying them. Idempotent; a program that calls exit() calls it first.
void stopRuntimeBeforeExit();

// Made first in main, so that it ends after every local: stops the shared
// runtime as main returns.
class RuntimeStopAtReturn {
 public:
  RuntimeStopAtReturn() = default;
  RuntimeStopAtReturn(const RuntimeStopAtReturn&) = delete;
  RuntimeStopAtReturn& operator=(const RuntimeStopAtReturn&) = delete;
  ~RuntimeStopAtReturn() { stopRuntimeBeforeExit(); }
};

}  // namespace platform
