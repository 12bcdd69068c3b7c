#pragma once
// The capture session of a mixer that captures: it holds the attached device
// units, starts their delivery while it runs (and stops it when it stops or a
// unit is detached), batches configuration changes so that devices attached
// in one batch start together at its end, and passes the devices' runtime
// errors on to the reader of runtimeError(). It is interrupted while the
// privacy control of any of its running devices is on; isInturreped() tells
// each change, starting with the state at the time of the read. Buffers are
// stamped on the host clock. Used from the media mixer's actor; errors and
// interruptions arrive from any thread.
//
// A device that fails is started again no sooner than a second after its last
// start, and the pause doubles (up to half a minute) while it keeps failing
// soon after each start; a restart due later is made by a timer. A device that
// went away is not started again: attaching it anew brings it back.
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"
#include "Platform/Dispatch/Runtime.h"

namespace medley {

class CaptureSession final : public CaptureSessionConvertible, public std::enable_shared_from_this<CaptureSession> {
 public:
  struct Capabilities {
    bool isMultiCamSessionEnabled = true;
  };

  static constexpr platform::Nanos kFirstRestartPause = 1'000'000'000;
  static constexpr platform::Nanos kLongestRestartPause = 30'000'000'000;
  // A device that ran this long before failing is started again at the first pause.
  static constexpr platform::Nanos kSteadyRun = 10'000'000'000;

  // Restarts are timed on `runtime`; a session not owned by a shared_ptr makes
  // no timed restart.
  explicit CaptureSession(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~CaptureSession() override;

  std::string sessionPreset() const override;
  void setSessionPreset(const std::string& preset) override;
  bool isCapturing() const override;
  platform::AsyncStream<bool> isInturreped() override;
  platform::AsyncStream<CaptureRuntimeError> runtimeError() override;
  std::shared_ptr<ScreenSynchronizationClock> synchronizationClock() const override { return clock_; }
  bool isMultiCamSessionEnabled() const override;
  void setMultiCamSessionEnabled(bool enabled) override;
  bool isMultitaskingCameraAccessEnabled() const override { return false; }
  void attachCapture(const std::shared_ptr<DeviceUnit>& unit) override;
  void detachCapture(const std::shared_ptr<DeviceUnit>& unit) override;
  void configuration(const std::function<void(CaptureSessionConvertible&)>& body) override;
  void startRunningIfNeeded() override;

  bool isRunning() const override;
  void startRunning() override;
  void stopRunning() override;

  // From a device unit, on any thread: dropped without a reader.
  void sessionRuntimeError(const CaptureRuntimeError& error);
  // From a device unit that stopped delivering, on any thread: the failure is
  // reported as a runtime error and paces the device's next start. Ignored for
  // a unit that is not attached or while the session is stopped.
  void deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const CaptureRuntimeError& error, bool disconnected);
  // From a device unit, on any thread. Ignored for a unit that is not attached
  // or while the session is stopped (a late report of a stopped device).
  void deviceInterrupted(const std::shared_ptr<DeviceUnit>& unit, bool interrupted);
  bool isInterrupted() const;
  // Units attached now, in the order of attachment.
  std::vector<std::shared_ptr<DeviceUnit>> units() const;
  // Configuration batches run so far.
  int configurationCount() const;

 private:
  void startUnits();
  void scheduleRestartLocked(platform::Nanos when);

  struct Restart {
    platform::Nanos lastStart = 0;
    platform::Nanos pause = 0;
    platform::Nanos notBefore = 0;
    bool disconnected = false;
    bool starting = false;  // started by startUnits, which has not yet seen the outcome
  };
  // With the lock held: drops the unit's interruption, telling the end of the
  // session's when it was the last.
  void clearInterruptionLocked(const DeviceUnit* unit);

  mutable std::mutex mutex_;
  AsyncStreamedFlow<bool> isInturreped_;
  AsyncStreamedFlow<CaptureRuntimeError> runtimeError_;
  bool isRunning_ = false;
  std::string sessionPreset_ = captureSessionPreset::defaultPreset();
  Capabilities capabilities_;
  std::vector<std::shared_ptr<DeviceUnit>> units_;
  std::vector<const DeviceUnit*> interrupted_;
  int batchDepth_ = 0;
  int configurationCount_ = 0;
  const std::shared_ptr<ScreenSynchronizationClock> clock_;
  const std::shared_ptr<platform::Runtime> runtime_;
  std::map<const DeviceUnit*, Restart> restarts_;
  std::optional<platform::Runtime::TimerId> restartTimer_;
  platform::Nanos restartTimerAt_ = 0;
};

}  // namespace medley
