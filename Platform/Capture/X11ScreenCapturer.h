#pragma once
// Screen capture on X11: the screens of the display and its managed top-level
// windows, captured through shared memory (MIT-SHM, plain image reads where the
// server lacks it) on a 1/30 s timer of a ".screen-capture" queue. A picture equal
// to the previous one is not delivered, so a still screen sends nothing. A window
// reaching past the screen's edge is captured where it lies on the screen, black
// elsewhere. This process's own windows (the preview) are not offered.
#include <memory>
#include <optional>
#include <string>

#include "Platform/Capture/ScreenCapture.h"
#include "Platform/Dispatch/Runtime.h"

namespace platform {

class X11ScreenCapturer final : public ScreenCapturer {
 public:
  // `display` none: the DISPLAY of the environment.
  explicit X11ScreenCapturer(std::optional<std::string> display = std::nullopt,
                             std::shared_ptr<Runtime> runtime = Runtime::shared(),
                             std::string queueLabel = "screen-capture");
  std::vector<ScreenCaptureTarget> targets() override;
  std::unique_ptr<ScreenCaptureStream> start(const ScreenCaptureTarget& target, int width, int height,
                                             Handlers handlers) override;

 private:
  std::optional<std::string> display_;
  std::shared_ptr<Runtime> runtime_;
  std::string queueLabel_;
};

}  // namespace platform
