#include "Quarzadel/Capture/ScreenShare.h"

#include <algorithm>
#include <cmath>

#include "Platform/Capture/X11ScreenCapturer.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Capture/SyntheticScreenImage.h"
#include "Quarzadel/Log/Log.h"

namespace quarzadel {

namespace {

int evenSide(double v) {
  const auto n = static_cast<int64_t>(std::round(v));
  if (n < 3) return 2;
  return static_cast<int>(n & ~int64_t{1});
}

}  // namespace

std::shared_ptr<ScreenShare> ScreenShare::make(std::shared_ptr<platform::ScreenCapturer> capturer,
                                               std::shared_ptr<platform::SerialQueue> mainQueue,
                                               std::shared_ptr<platform::UserDefaults> defaults) {
  return std::make_shared<ScreenShare>(std::move(capturer), std::move(mainQueue), std::move(defaults));
}

ScreenShare::ScreenShare(std::shared_ptr<platform::ScreenCapturer> capturer,
                         std::shared_ptr<platform::SerialQueue> mainQueue,
                         std::shared_ptr<platform::UserDefaults> defaults)
    : capturer_(std::move(capturer)), mainQueue_(std::move(mainQueue)), defaults_(std::move(defaults)) {}

ScreenShare::~ScreenShare() {
  if (synthetic_) synthetic_->cancel();
  if (stream_) stream_->stop();
}

std::pair<int, int> ScreenShare::captureSize(double widthPoints, double heightPoints, double scale, int outputWidth,
                                             int outputHeight) {
  const double w = std::max(widthPoints * scale, 2.0);
  const double h = std::max(heightPoints * scale, 2.0);
  const double f = std::min({outputWidth / w, outputHeight / h, 1.0});
  return {evenSide(w * f), evenSide(h * f)};
}

std::shared_ptr<platform::ScreenCapturer> ScreenShare::systemCapturer(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<platform::X11ScreenCapturer>(std::nullopt, std::move(runtime),
                                                       std::string(kAppIdentifierPrefix) + ".screen-capture");
}

ScreenShare::Content ScreenShare::contentOf(const Target& target) {
  return target.kind == Target::Kind::window ? Content::window : Content::display;
}

std::vector<ScreenShare::Target> ScreenShare::presentPicker(StreamConfig::Resolution resolution) {
  outputWidth_ = resolution == StreamConfig::Resolution::hd1080 ? 1920 : 1280;
  outputHeight_ = resolution == StreamConfig::Resolution::hd1080 ? 1080 : 720;
  if (!capturer_) {
    const std::string error = "No screen capture on this system.";
    Log::screenPickerFailed(error, __FILE__);
    if (onStopped) onStopped(kNotAvailable + error);
    return {};
  }
  try {
    return capturer_->targets();
  } catch (const std::exception& error) {
    Log::screenPickerFailed(error, __FILE__);
    if (onStopped) onStopped(kNotAvailable + std::string(error.what()));
    return {};
  }
}

void ScreenShare::share(const Target& target) {
  const Content kind = contentOf(target);
  const auto [width, height] = captureSize(target.width, target.height, 1.0, outputWidth_, outputHeight_);
  if (stream_) {
    stream_->update(target, width, height);
    content_ = kind;
    Log::screenShareChanged(kind, __FILE__);
    if (onStarted) onStarted(kind);
    return;
  }
  frames_->clear();
  std::weak_ptr<ScreenShare> weak = weak_from_this();
  std::weak_ptr<platform::SerialQueue> weakMain = mainQueue_;
  platform::ScreenCapturer::Handlers handlers;
  handlers.onFrame = [frames = frames_](platform::PixelBufferRef buffer, double time) {
    frames->push(std::move(buffer), time);
  };
  handlers.onStop = [weak, weakMain](const std::string& reason) {
    if (auto main = weakMain.lock())
      main->async([weak, reason] {
        if (auto self = weak.lock()) self->stop(reason);
      });
  };
  try {
    if (!capturer_) throw platform::ScreenCaptureError("No screen capture on this system.");
    stream_ = capturer_->start(target, width, height, std::move(handlers));
  } catch (const std::exception& error) {
    Log::screenShareFailed(error, __FILE__);
    if (onStopped) onStopped(kCouldNotStart + std::string(error.what()));
    return;
  }
  // A synthetic picture would keep pushing between the real frames.
  if (synthetic_) synthetic_->cancel();
  synthetic_.reset();
  content_ = kind;
  Log::screenShareStarted(kind, target.width, target.height, __FILE__);
  if (onStarted) onStarted(kind);
}

void ScreenShare::stop(const std::optional<std::string>& reason) {
  if (!content_) return;
  if (synthetic_) synthetic_->cancel();
  synthetic_.reset();
  if (stream_) stream_->stop();
  stream_.reset();
  content_.reset();
  if (reason) Log::screenShareEnded(std::string_view(*reason), __FILE__);
  else Log::screenShareEnded(std::nullopt, __FILE__);
  if (onStopped) onStopped(reason);
}

void ScreenShare::startSynthetic() {
  if (content_) stop(std::nullopt);
  frames_->clear();
  platform::PixelBufferRef image;
  if (defaults_)
    if (auto path = defaults_->string(SyntheticScreenImage::kDefaultsKey)) image = SyntheticScreenImage::contentsOfFile(*path);
  auto queue = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.synthetic-screen",
                                           mainQueue_->runtime(), platform::QualityOfService::userInitiated);
  auto count = std::make_shared<int64_t>(0);
  const auto period = static_cast<platform::Nanos>(kSyntheticPeriod * 1e9);
  // The frames store, not the share, is held: the timer may outlive a stop by one fire.
  synthetic_ = platform::RepeatingTimer::start(queue, 0, period, [frames = frames_, image, count, queue] {
    auto picture = image ? image : SyntheticScreenImage::pattern(*count);
    if (picture) frames->push(picture, queue->runtime()->nowSeconds());
    ++*count;
  });
  content_ = Content::display;
  Log::screenShareStartedSynthetic(__FILE__);
  if (onStarted) onStarted(Content::display);
}

}  // namespace quarzadel
