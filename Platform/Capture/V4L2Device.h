#pragma once
// A V4L2 camera: formats from the driver's lists, memory-mapped streaming on a
// thread of its own, each frame converted to NV12 with libyuv (Motion JPEG
// decoded through libjpeg-turbo). A vanished device (ENODEV) ends streaming
// with `disconnected`; the privacy control going on reports `interrupted`.
// A format change while streaming parks the thread while the device has no
// buffers; a stream that cannot restart after it ends with `runtimeError`, or
// with `disconnected` when the device went away meanwhile. Opening, starting,
// stopping, changing the format and closing take turns: one caller at a time.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Platform/Capture/CaptureFrameConverter.h"
#include "Platform/Capture/VideoCaptureDevice.h"

namespace platform {

class V4L2Device final : public VideoCaptureDevice {
 public:
  static constexpr unsigned kBufferCount = 4;

  explicit V4L2Device(VideoCaptureDeviceInfo info);
  ~V4L2Device() override;

  const VideoCaptureDeviceInfo& info() const override { return info_; }
  void open() override;
  std::vector<VideoCaptureFormat> formats() const override;
  std::optional<size_t> activeFormatIndex() const override;
  FrameDuration activeMinFrameDuration() const override;
  void configure(size_t index, std::optional<FrameDuration> minFrameDuration) override;
  void startStreaming(FrameHandler onFrame, EventHandler onEvent) override;
  void stopStreaming() override;
  void close() override;

  // The privacy control's value on an open device; none when it has none.
  static std::optional<bool> readPrivacy(int fd);

 private:
  struct Mapping {
    void* start = nullptr;
    size_t length = 0;
  };

  int xioctl(unsigned long request, void* arg) const;
  void readActiveLocked();
  void allocateLocked();
  void releaseLocked();
  void run();
  // Holds the streaming thread where it touches no device (waits until it is
  // there); false when no thread runs to hold.
  bool parkThreadLocked(std::unique_lock<std::mutex>& lock);
  void resumeThreadLocked();
  void drainWake();
  // Joins a thread that ended by itself; its buffers go with it.
  void reapEndedThreadLocked();
  // With controlMutex_ held.
  void stopControlled();
  // One readable frame: converted and requeued. False when streaming ended.
  bool dequeue(PixelBufferRef& picture, MediaTime& time, std::optional<VideoCaptureEvent>& event);
  void reportPrivacy(std::optional<VideoCaptureEvent>& event);

  const VideoCaptureDeviceInfo info_;
  // Held by open, configure, start, stop and close for their whole run (taken
  // before mutex_): a stop cannot end the thread while a configure has it
  // parked, and only one caller ever joins it. The thread never takes it.
  std::mutex controlMutex_;
  mutable std::mutex mutex_;
  std::condition_variable streamingChanged_;
  int fd_ = -1;
  int wake_ = -1;
  std::vector<VideoCaptureFormat> formats_;
  std::optional<size_t> active_;
  FrameDuration duration_;
  CapturedFrameLayout layout_;
  CaptureFrameConverter converter_;
  std::vector<Mapping> buffers_;
  bool streamOn_ = false;

  std::thread thread_;
  std::atomic<bool> running_{false};
  // Set once the thread touches the device no more (it may still tell its end).
  bool threadEnded_ = true;
  int parkRequests_ = 0;
  bool parked_ = false;
  // Why the stream did not come back after a format change.
  std::optional<VideoCaptureError> restartFailure_;
  FrameHandler onFrame_;
  EventHandler onEvent_;
};

}  // namespace platform
