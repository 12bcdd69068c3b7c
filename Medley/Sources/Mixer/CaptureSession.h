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
#include <mutex>
#include <vector>

#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"

namespace medley {

class CaptureSession final : public CaptureSessionConvertible {
 public:
  struct Capabilities {
    bool isMultiCamSessionEnabled = true;
  };

  CaptureSession();
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
  // With the lock held: drops the unit's interruption, telling the end of the
  // session's when it was the last.
  void clearInterruptionLocked(const DeviceUnit* unit);

  mutable std::mutex mutex_;
  AsyncStreamedFlow<bool> isInturreped_;
  AsyncStreamedFlow<CaptureRuntimeError> runtimeError_;
  bool isRunning_ = false;
  std::string sessionPreset_ = kDefaultSessionPreset;
  Capabilities capabilities_;
  std::vector<std::shared_ptr<DeviceUnit>> units_;
  std::vector<const DeviceUnit*> interrupted_;
  int batchDepth_ = 0;
  int configurationCount_ = 0;
  const std::shared_ptr<ScreenSynchronizationClock> clock_;
};

}  // namespace medley
