#include "Medley/Sources/Mixer/NullCaptureSession.h"

namespace medley {

platform::AsyncStream<bool> NullCaptureSession::isInturreped() {
  std::lock_guard lock(mutex_);
  if (!interrupted_) {
    auto [stream, writer] = platform::AsyncStream<bool>::make(platform::BufferingPolicy::unbounded());
    interrupted_.emplace(std::move(stream));
    interruptedWriter_.emplace(std::move(writer));
  }
  (void)interruptedWriter_->yield(false);
  return *interrupted_;
}

platform::AsyncStream<CaptureRuntimeError> NullCaptureSession::runtimeError() {
  std::lock_guard lock(mutex_);
  return runtimeError_.stream();
}

bool NullCaptureSession::isRunning() const {
  std::lock_guard lock(mutex_);
  return isRunning_;
}

void NullCaptureSession::startRunning() {
  std::lock_guard lock(mutex_);
  isRunning_ = true;
}

void NullCaptureSession::stopRunning() {
  std::lock_guard lock(mutex_);
  if (!isRunning_) return;
  runtimeError_.finish();
  isRunning_ = false;
}

}  // namespace medley
