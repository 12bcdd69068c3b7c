#pragma once
// The capture session of a mixer in manual mode: media come only through the
// mixer's appends, so it attaches nothing, never runs a configuration batch
// and only keeps its running flag.
#include <mutex>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"

namespace medley {

class NullCaptureSession final : public CaptureSessionConvertible {
 public:
  std::string sessionPreset() const override { return captureSessionPreset::defaultPreset(); }
  void setSessionPreset(const std::string&) override {}
  bool isCapturing() const override { return false; }
  // The same sequence on every read; each read yields the current value (false) once more.
  platform::AsyncStream<bool> isInturreped() override;
  platform::AsyncStream<CaptureRuntimeError> runtimeError() override;
  std::shared_ptr<ScreenSynchronizationClock> synchronizationClock() const override { return nullptr; }
  bool isMultiCamSessionEnabled() const override { return false; }
  void setMultiCamSessionEnabled(bool) override {}
  bool isMultitaskingCameraAccessEnabled() const override { return false; }
  void attachCapture(const std::shared_ptr<DeviceUnit>&) override {}
  void detachCapture(const std::shared_ptr<DeviceUnit>&) override {}
  void configuration(const std::function<void(CaptureSessionConvertible&)>&) override {}
  void startRunningIfNeeded() override {}

  bool isRunning() const override;
  void startRunning() override;
  void stopRunning() override;

 private:
  mutable std::mutex mutex_;
  std::optional<platform::AsyncStream<bool>> interrupted_;
  std::optional<platform::AsyncStreamWriter<bool>> interruptedWriter_;
  AsyncStreamedFlow<CaptureRuntimeError> runtimeError_;
  bool isRunning_ = false;
};

}  // namespace medley
