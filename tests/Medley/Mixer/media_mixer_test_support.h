#pragma once
// Outputs that record what a media mixer hands them, and fake capture devices.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "Medley/Sources/Mixer/MediaMixer.h"

namespace mixertest {

class RecordingOutput final : public medley::MediaMixerOutput {
 public:
  RecordingOutput(std::optional<uint8_t> video, std::optional<uint8_t> audio) {
    tracks.videoTrackId = video;
    tracks.audioTrackId = audio;
  }
  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return tracks.videoTrackId; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return tracks.audioTrackId; }
  void mixer(medley::MediaMixer&, const platform::SampleBufferRef& b) override {
    std::lock_guard lock(mutex);
    pictures.push_back(b);
  }
  void mixer(medley::MediaMixer&, const platform::PCMBufferRef& b, const platform::AudioTime& when) override {
    std::lock_guard lock(mutex);
    sounds.push_back(b);
    times.push_back(when);
  }
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override {
    tracks.select(id, mediaType);
    co_return;
  }
  size_t pictureCount() {
    std::lock_guard lock(mutex);
    return pictures.size();
  }
  medley::MediaMixerTrackSelection tracks;
  std::mutex mutex;
  std::vector<platform::SampleBufferRef> pictures;
  std::vector<platform::PCMBufferRef> sounds;
  std::vector<platform::AudioTime> times;
};

// A camera whose frames the test delivers by hand, as the device thread would.
class FakeCamera final : public platform::VideoCaptureDevice {
 public:
  FakeCamera() {
    info_.uniqueID = "fake:0";
    info_.name = "Fake camera";
    formats_.push_back({platform::v4l2FourCC("NV12"), 640, 480, false,
                        {platform::FrameRateRange::between({1, 30}, {1, 5})}});
    formats_.push_back({platform::v4l2FourCC("NV12"), 640, 480, false, {platform::FrameRateRange::fixed({1, 60})}});
    formats_.push_back({platform::v4l2FourCC("NV12"), 1280, 720, false, {platform::FrameRateRange::fixed({1, 10})}});
  }
  const platform::VideoCaptureDeviceInfo& info() const override { return info_; }
  void open() override {
    if (failOpen) throw platform::VideoCaptureError(platform::VideoCaptureError::Kind::busy, 16, "busy");
    opened = true;
    active = 0;
  }
  std::vector<platform::VideoCaptureFormat> formats() const override { return opened ? formats_ : decltype(formats_){}; }
  std::optional<size_t> activeFormatIndex() const override { return active; }
  platform::FrameDuration activeMinFrameDuration() const override { return duration; }
  void configure(size_t index, std::optional<platform::FrameDuration> d) override {
    ++configureCount;
    active = index;
    if (d) duration = *d;
    EventHandler ended;
    platform::VideoCaptureError error = restartError;
    {
      std::lock_guard lock(mutex);
      if (!refuseRestart || !frame) return;
      // As a driver that will not stream again after the change: the stream ends, told once.
      refuseRestart = false;
      frame = nullptr;
      ended = std::exchange(event, nullptr);
    }
    ended({error.kind == platform::VideoCaptureError::Kind::disconnected ? platform::VideoCaptureEvent::Kind::disconnected
                                                                         : platform::VideoCaptureEvent::Kind::runtimeError,
           error.what()});
    error.streamEnded = true;
    throw error;
  }
  // As the real device, the camera holds its lock for the whole start, slow
  // driver (beforeStart) included, and for the whole stop.
  void startStreaming(FrameHandler onFrame, EventHandler onEvent) override {
    const Inside inside(*this);
    std::lock_guard lock(mutex);
    if (beforeStart) beforeStart();
    if (failStart) {
      ++starts;
      throw startError;
    }
    frame = std::move(onFrame);
    event = std::move(onEvent);
    ++starts;
  }
  void stopStreaming() override {
    const Inside inside(*this);
    std::lock_guard lock(mutex);
    if (beforeStop) beforeStop();
    frame = nullptr;
    event = nullptr;
  }
  void close() override { closed = true; }

  bool deliver(platform::PixelBufferRef picture, double seconds) {
    FrameHandler f;
    {
      std::lock_guard lock(mutex);
      f = frame;
    }
    if (!f) return false;
    f(std::move(picture), platform::MediaTime::fromSeconds(seconds, 1'000'000'000));
    return true;
  }
  bool streaming() {
    std::lock_guard lock(mutex);
    return frame != nullptr;
  }

  platform::VideoCaptureDeviceInfo info_;
  std::vector<platform::VideoCaptureFormat> formats_;
  std::optional<size_t> active;
  platform::FrameDuration duration;
  bool opened = false, closed = false, failOpen = false, failStart = false;
  platform::VideoCaptureError startError{platform::VideoCaptureError::Kind::busy, 16, "busy"};  // with failStart
  bool refuseRestart = false;  // the next change while streaming, once, with restartError
  platform::VideoCaptureError restartError{platform::VideoCaptureError::Kind::busy, 16, "Device or resource busy"};
  int configureCount = 0;
  int starts = 0;
  // Run inside the driver, under the camera's lock (set them under it).
  std::function<void()> beforeStart, beforeStop;
  // Starts and stops that came while another start or stop was inside the camera.
  std::atomic<int> overlaps{0};
  std::mutex mutex;
  FrameHandler frame;
  EventHandler event;

 private:
  struct Inside {
    explicit Inside(FakeCamera& c) : camera(c) {
      if (camera.inside_.fetch_add(1) > 0) ++camera.overlaps;
    }
    ~Inside() { --camera.inside_; }
    FakeCamera& camera;
  };
  std::atomic<int> inside_{0};
};

// Device controls held in a table: present controls take any value in their range.
class FakeControls final : public medley::VideoDeviceControls {
 public:
  bool isSupported(Control c, int32_t v) const override {
    if (c == Control::torch) return hasTorch && (v == 0 || v == 2);
    if (c == Control::horizontalFlip) return hasFlip && (v == 0 || v == 1);
    return hasRotation && v % 90 == 0;
  }
  bool set(Control c, int32_t v) override {
    if (!isSupported(c, v)) return false;
    values[static_cast<int>(c)] = v;
    ++sets[static_cast<int>(c)];
    return true;
  }
  std::optional<int32_t> get(Control c) const override { return values[static_cast<int>(c)]; }
  bool hasTorch = true, hasFlip = true, hasRotation = false;
  std::optional<int32_t> values[3];
  int sets[3] = {0, 0, 0};

  // The privacy switch, when the camera has one: the test flips it with
  // setPrivacy(), and the running watch reports it as the driver's thread would.
  struct Watch final : PrivacyWatch {
    Watch(FakeControls& c, int id) : controls(c), id(id) { ++controls.watches; }
    ~Watch() override {
      std::lock_guard lock(controls.mutex);
      --controls.watches;
      if (controls.watchID == id) controls.onChange = nullptr;
    }
    FakeControls& controls;
    const int id;
  };
  std::optional<bool> privacy() const override {
    std::lock_guard lock(mutex);
    return privacyOn;
  }
  std::unique_ptr<PrivacyWatch> watchPrivacy(std::function<void(bool)> f) override {
    std::lock_guard lock(mutex);
    if (!privacyOn) return nullptr;
    onChange = std::move(f);
    return std::make_unique<Watch>(*this, ++watchID);
  }
  void setPrivacy(bool on) {
    std::function<void(bool)> f;
    {
      std::lock_guard lock(mutex);
      privacyOn = on;
      f = onChange;
    }
    if (f) f(on);
  }
  mutable std::mutex mutex;
  std::optional<bool> privacyOn;
  std::function<void(bool)> onChange;
  int watches = 0, watchID = 0;
};

}  // namespace mixertest
