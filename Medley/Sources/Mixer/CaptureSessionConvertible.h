#pragma once
// The capture session as the media mixer and its capture units see it: the
// running state, the attached device units, configuration batches and the
// runtime errors of the devices. CaptureSession captures; NullCaptureSession
// (manual mode) captures nothing and only keeps its running flag.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Medley/Sources/Mixer/DeviceUnit.h"
#include "Medley/Sources/Screen/ScreenSynchronizationClock.h"
#include "Medley/Sources/Stream/Runner.h"
#include "Platform/Concurrency/AsyncStream.h"

namespace medley {

// A device that failed while the session ran.
struct CaptureRuntimeError {
  enum class Code : int {
    unknown = -11800,
    // The device cannot stream in its active format; another one may do.
    unsupportedDeviceActiveFormat = -11873,
  };
  Code code = Code::unknown;
  std::string description;
  // The device concerned, when one is named.
  std::shared_ptr<DeviceUnit> device;
};

class CaptureSessionConvertible : public Runner {
 public:

  // One of captureSessionPreset's names; captureSessionPreset::defaultPreset() at first.
  virtual std::string sessionPreset() const = 0;
  virtual void setSessionPreset(const std::string& preset) = 0;
  // Whether devices are delivering.
  virtual bool isCapturing() const = 0;
  // Interruptions of the session.
  virtual platform::AsyncStream<bool> isInturreped() = 0;
  // A new sequence of runtime errors; the one read before ends.
  virtual platform::AsyncStream<CaptureRuntimeError> runtimeError() = 0;
  // The clock that stamps captured buffers; none when nothing is captured.
  virtual std::shared_ptr<ScreenSynchronizationClock> synchronizationClock() const = 0;
  virtual bool isMultiCamSessionEnabled() const = 0;
  virtual void setMultiCamSessionEnabled(bool enabled) = 0;
  virtual bool isMultitaskingCameraAccessEnabled() const = 0;

  // None is ignored.
  virtual void attachCapture(const std::shared_ptr<DeviceUnit>& unit) = 0;
  virtual void detachCapture(const std::shared_ptr<DeviceUnit>& unit) = 0;
  // Runs `body` inside one configuration batch: devices attached in it start
  // together when it ends. Rethrows what `body` threw, after closing the batch.
  virtual void configuration(const std::function<void(CaptureSessionConvertible&)>& body) = 0;
  // Restarts devices that stopped while the session runs.
  virtual void startRunningIfNeeded() = 0;
};

}  // namespace medley
