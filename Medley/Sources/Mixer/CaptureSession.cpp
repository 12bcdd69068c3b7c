#include "Medley/Sources/Mixer/CaptureSession.h"

#include <algorithm>

namespace medley {

namespace {

// Captured buffers are stamped on the host clock already.
class HostClock final : public ScreenSynchronizationClock {
 public:
  platform::MediaTime hostTimeFromClockTime(const platform::MediaTime& t) const override { return t; }
  platform::MediaTime clockTimeFromHostTime(const platform::MediaTime& t) const override { return t; }
};

}  // namespace

CaptureSession::CaptureSession(std::shared_ptr<platform::Runtime> runtime)
    : clock_(std::make_shared<HostClock>()), runtime_(std::move(runtime)) {}

CaptureSession::~CaptureSession() {
  stopRunning();
  if (restartTimer_) runtime_->cancel(*restartTimer_);
}

std::string CaptureSession::sessionPreset() const {
  std::lock_guard lock(mutex_);
  return sessionPreset_;
}

void CaptureSession::setSessionPreset(const std::string& preset) {
  std::vector<std::shared_ptr<DeviceUnit>> units;
  {
    std::lock_guard lock(mutex_);
    if (sessionPreset_ == preset) return;
    sessionPreset_ = preset;
    units = units_;
  }
  for (const auto& unit : units) unit->applySessionPreset(preset);
}

bool CaptureSession::isCapturing() const {
  std::lock_guard lock(mutex_);
  return std::any_of(units_.begin(), units_.end(), [](const auto& u) { return u->isCapturing(); });
}

platform::AsyncStream<bool> CaptureSession::isInturreped() {
  std::lock_guard lock(mutex_);
  auto stream = isInturreped_.stream();
  // A reader that comes while a camera is blinded learns it at once.
  (void)isInturreped_.yield(!interrupted_.empty());
  return stream;
}

platform::AsyncStream<CaptureRuntimeError> CaptureSession::runtimeError() {
  std::lock_guard lock(mutex_);
  return runtimeError_.stream();
}

bool CaptureSession::isMultiCamSessionEnabled() const {
  std::lock_guard lock(mutex_);
  return capabilities_.isMultiCamSessionEnabled;
}

void CaptureSession::setMultiCamSessionEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  capabilities_.isMultiCamSessionEnabled = enabled;
}

void CaptureSession::attachCapture(const std::shared_ptr<DeviceUnit>& unit) {
  if (!unit) return;
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (std::find(units_.begin(), units_.end(), unit) != units_.end()) return;
    units_.push_back(unit);
    start = isRunning_ && batchDepth_ == 0;
    if (start) restarts_[unit.get()].lastStart = runtime_->now();
  }
  if (start) unit->startCapturing();
}

void CaptureSession::detachCapture(const std::shared_ptr<DeviceUnit>& unit) {
  if (!unit) return;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(units_.begin(), units_.end(), unit);
    if (it == units_.end()) return;
    units_.erase(it);
    restarts_.erase(unit.get());
    clearInterruptionLocked(unit.get());
  }
  unit->stopCapturing();
}

void CaptureSession::configuration(const std::function<void(CaptureSessionConvertible&)>& body) {
  {
    std::lock_guard lock(mutex_);
    ++batchDepth_;
    ++configurationCount_;
  }
  std::exception_ptr error;
  try {
    body(*this);
  } catch (...) {
    error = std::current_exception();
  }
  bool commit = false;
  {
    std::lock_guard lock(mutex_);
    commit = --batchDepth_ == 0 && isRunning_;
  }
  if (commit) startUnits();
  if (error) std::rethrow_exception(error);
}

void CaptureSession::startRunningIfNeeded() {
  if (isRunning()) startUnits();
}

bool CaptureSession::isRunning() const {
  std::lock_guard lock(mutex_);
  return isRunning_;
}

void CaptureSession::startRunning() {
  {
    std::lock_guard lock(mutex_);
    if (isRunning_) return;
    isRunning_ = true;
  }
  startUnits();
}

void CaptureSession::stopRunning() {
  std::vector<std::shared_ptr<DeviceUnit>> units;
  {
    std::lock_guard lock(mutex_);
    if (!isRunning_) return;
    isRunning_ = false;
    runtimeError_.finish();
    restarts_.clear();
    if (restartTimer_) runtime_->cancel(*restartTimer_);
    restartTimer_.reset();
    if (!interrupted_.empty()) {
      interrupted_.clear();
      (void)isInturreped_.yield(false);
    }
    units = units_;
  }
  for (const auto& unit : units) unit->stopCapturing();
}

void CaptureSession::sessionRuntimeError(const CaptureRuntimeError& error) {
  std::lock_guard lock(mutex_);
  (void)runtimeError_.yield(error);
}

void CaptureSession::deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const CaptureRuntimeError& error,
                                  bool disconnected) {
  if (!unit) return;
  std::lock_guard lock(mutex_);
  if (!isRunning_ || std::find(units_.begin(), units_.end(), unit) == units_.end()) return;
  auto& restart = restarts_[unit.get()];
  const auto now = runtime_->now();
  if (disconnected) {
    restart.disconnected = true;
  } else {
    const bool steady = restart.pause == 0 || now - restart.lastStart >= kSteadyRun;
    restart.pause = steady ? kFirstRestartPause : std::min(restart.pause * 2, kLongestRestartPause);
    restart.notBefore = restart.lastStart + restart.pause;
  }
  (void)runtimeError_.yield(error);
}

void CaptureSession::deviceInterrupted(const std::shared_ptr<DeviceUnit>& unit, bool interrupted) {
  if (!unit) return;
  std::lock_guard lock(mutex_);
  if (!interrupted) {
    clearInterruptionLocked(unit.get());
    return;
  }
  if (!isRunning_ || std::find(units_.begin(), units_.end(), unit) == units_.end()) return;
  if (std::find(interrupted_.begin(), interrupted_.end(), unit.get()) != interrupted_.end()) return;
  interrupted_.push_back(unit.get());
  if (interrupted_.size() == 1) (void)isInturreped_.yield(true);
}

bool CaptureSession::isInterrupted() const {
  std::lock_guard lock(mutex_);
  return !interrupted_.empty();
}

void CaptureSession::clearInterruptionLocked(const DeviceUnit* unit) {
  auto it = std::find(interrupted_.begin(), interrupted_.end(), unit);
  if (it == interrupted_.end()) return;
  interrupted_.erase(it);
  if (interrupted_.empty()) (void)isInturreped_.yield(false);
}

std::vector<std::shared_ptr<DeviceUnit>> CaptureSession::units() const {
  std::lock_guard lock(mutex_);
  return units_;
}

int CaptureSession::configurationCount() const {
  std::lock_guard lock(mutex_);
  return configurationCount_;
}

void CaptureSession::startUnits() {
  std::vector<std::shared_ptr<DeviceUnit>> due;
  {
    std::lock_guard lock(mutex_);
    if (!isRunning_) return;
    const auto now = runtime_->now();
    std::optional<platform::Nanos> next;
    for (const auto& unit : units_) {
      if (unit->isCapturing()) continue;
      auto& restart = restarts_[unit.get()];
      if (restart.disconnected || restart.starting) continue;
      if (restart.notBefore > now) {
        next = next ? std::min(*next, restart.notBefore) : restart.notBefore;
        continue;
      }
      restart.lastStart = now;
      restart.starting = true;
      due.push_back(unit);
    }
    if (next) scheduleRestartLocked(*next);
  }
  for (const auto& unit : due) {
    unit->startCapturing();
    const bool started = unit->isCapturing();
    std::lock_guard lock(mutex_);
    auto it = restarts_.find(unit.get());
    if (it == restarts_.end()) continue;  // stopped or detached meanwhile
    auto& restart = it->second;
    restart.starting = false;
    if (started) continue;
    // A failed start may be told after it returns (a microphone tells it from
    // its own queue). Until then another caller must not open the device again
    // at once; the failure, when told, sets the real pause.
    restart.notBefore = std::max(restart.notBefore, restart.lastStart + kFirstRestartPause);
    scheduleRestartLocked(restart.notBefore);
  }
}

void CaptureSession::scheduleRestartLocked(platform::Nanos when) {
  if (restartTimer_ && restartTimerAt_ <= when) return;
  std::weak_ptr<CaptureSession> weak = weak_from_this();
  if (weak.expired()) return;
  if (restartTimer_) runtime_->cancel(*restartTimer_);
  restartTimerAt_ = when;
  restartTimer_ = runtime_->postAt(when, [weak] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      self->restartTimer_.reset();
    }
    self->startUnits();
  });
}

}  // namespace medley
