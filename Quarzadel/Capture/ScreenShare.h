#pragma once
// Puts a display or a window on air. The host picks among what the capture lists
// (there is no system picker); at most one capture runs, and its newest frame is
// kept in `frames()` for the screen frame sources. For tests it can share a
// synthetic picture instead. One per Studio; every operation runs on the main
// queue, and the capture's reports reach it only through that queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Capture/ScreenCapture.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Capture/ScreenFrames.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

class ScreenShare : public std::enable_shared_from_this<ScreenShare> {
 public:
  enum class Content { display, window, application };
  using Target = platform::ScreenCaptureTarget;

  static constexpr double kSyntheticPeriod = 3.0;
  static constexpr const char* kCouldNotStart = "Screen sharing couldn't start: ";
  static constexpr const char* kNotAvailable = "Screen sharing isn't available: ";

  // `defaults` gives the synthetic share's image ("SyntheticScreenImage").
  static std::shared_ptr<ScreenShare> make(std::shared_ptr<platform::ScreenCapturer> capturer,
                                           std::shared_ptr<platform::SerialQueue> mainQueue,
                                           std::shared_ptr<platform::UserDefaults> defaults);
  ScreenShare(std::shared_ptr<platform::ScreenCapturer> capturer, std::shared_ptr<platform::SerialQueue> mainQueue,
              std::shared_ptr<platform::UserDefaults> defaults);
  ~ScreenShare();
  ScreenShare(const ScreenShare&) = delete;
  ScreenShare& operator=(const ScreenShare&) = delete;

  // Called when a share starts or its content changes; when a share ends or
  // cannot start (with the sentence for the host, if any).
  std::function<void(Content)> onStarted;
  std::function<void(const std::optional<std::string>& reason)> onStopped;

  // Sets the size the capture is scaled to and lists what can be shared. When
  // nothing can be listed (no X display) reports "Screen sharing isn't available:
  // ..." through onStopped and gives an empty list.
  std::vector<Target> presentPicker(StreamConfig::Resolution resolution);
  // The host chose a target: a new capture, or the running one follows it.
  void share(const Target& target);
  // Ends the share; nothing when nothing is shared.
  void stop(const std::optional<std::string>& reason = std::nullopt);
  // Replaces any share by the synthetic picture.
  void startSynthetic();

  std::optional<Content> content() const { return content_; }
  const std::shared_ptr<ScreenFrames>& frames() const { return frames_; }
  bool isSynthetic() const { return synthetic_ != nullptr; }

  // The capture's pixel size for content of w x h points at `scale`, fitted into
  // `outputSize` without enlarging, each side even (or 2).
  static std::pair<int, int> captureSize(double widthPoints, double heightPoints, double scale, int outputWidth,
                                         int outputHeight);
  static Content contentOf(const Target& target);
  // The system's capture (X11), its frames on a ".screen-capture" queue.
  static std::shared_ptr<platform::ScreenCapturer> systemCapturer(
      std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

 private:
  std::shared_ptr<platform::ScreenCapturer> capturer_;
  std::shared_ptr<platform::SerialQueue> mainQueue_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::optional<Content> content_;
  std::shared_ptr<ScreenFrames> frames_ = std::make_shared<ScreenFrames>();
  std::unique_ptr<platform::ScreenCaptureStream> stream_;
  std::unique_ptr<platform::RepeatingTimer> synthetic_;
  int outputWidth_ = 1920;
  int outputHeight_ = 1080;
};

}  // namespace quarzadel
