#include "Quarzadel/Capture/SyntheticVideoSource.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Quarzadel/Capture/SyntheticSources.h"

namespace quarzadel {

namespace {
constexpr YCbCr kWhite{235, 128, 128};

platform::ColorAttachments bt709Matrix() {
  platform::ColorAttachments tags;
  tags.matrix = platform::YCbCrMatrix::itu_r_709_2;
  tags.mode = platform::AttachmentMode::shouldPropagate;
  return tags;
}
}  // namespace

std::shared_ptr<SyntheticVideoSource> SyntheticVideoSource::make(Spec spec, std::shared_ptr<platform::Runtime> runtime) {
  std::shared_ptr<const SyntheticClip> clip = spec.noise ? SyntheticSources::clip() : nullptr;
  return make(std::move(spec), std::move(runtime), std::move(clip));
}

std::shared_ptr<SyntheticVideoSource> SyntheticVideoSource::make(Spec spec, std::shared_ptr<platform::Runtime> runtime,
                                                                 std::shared_ptr<const SyntheticClip> clip) {
  return std::make_shared<SyntheticVideoSource>(std::move(spec), std::move(runtime), std::move(clip));
}

SyntheticVideoSource::SyntheticVideoSource(Spec spec, std::shared_ptr<platform::Runtime> runtime,
                                           std::shared_ptr<const SyntheticClip> clip)
    : spec_(std::move(spec)),
      runtime_(std::move(runtime)),
      clip_(spec_.noise ? std::move(clip) : nullptr),
      pool_(platform::PixelBufferPool::make(spec_.width, spec_.height, platform::PixelFormat::nv12VideoRange, 3,
                                            {.idleRelease = platform::seconds(kPoolIdleReleaseSeconds),
                                             .clock = runtime_})) {}

SyntheticVideoSource::~SyntheticVideoSource() {
  if (timer_) timer_->cancel();
  SyntheticSources::unregisterLive(this);
}

void SyntheticVideoSource::start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
                                 FailureHandler onFailure) {
  if (SyntheticSources::fault(spec_.id) == SyntheticSources::Fault::unplugged) {
    deliveryQueue->async([onFailure, sentence = spec_.name + kDisconnected] {
      if (onFailure) onFailure(sentence);
    });
    return;
  }
  if (!(spec_.fps > 0)) return;
  const double interval = 1.0 / spec_.fps;
  // One fire per grid slot, just after the slot's delivery instant (its start
  // plus the latency): a fire comes late, never early, so it lands in the slot
  // it is meant for. The interval is rounded up to whole nanoseconds, so the
  // grid of fires drifts later, by under a nanosecond a frame, and stays inside
  // its slots for weeks.
  const double now = runtime_->nowSeconds();
  const double firstSlot = std::ceil((now + kFirstFire - kFireAfterSlot) / interval);
  const auto firstDelay = platform::seconds(firstSlot * interval + spec_.latency + kFireAfterSlot - now);
  const auto step = static_cast<platform::Nanos>(std::ceil(interval * 1e9));
  timer_ = platform::RepeatingTimer::start(
      deliveryQueue, firstDelay, step,
      platform::weakHandler(shared_from_this(), [interval, onFrame](SyntheticVideoSource& camera) {
        camera.tick(interval, onFrame);
      }));
  SyntheticSources::registerLive(shared_from_this(), [deliveryQueue, onFailure](const std::string& sentence) {
    deliveryQueue->async([onFailure, sentence] {
      if (onFailure) onFailure(sentence);
    });
  });
}

void SyntheticVideoSource::stop() {
  if (timer_) timer_->cancel();
  timer_.reset();
  SyntheticSources::unregisterLive(this);
}

void SyntheticVideoSource::tick(double interval, const FrameHandler& onFrame) {
  // The slot whose delivery is due: a picture is drawn at its delivery, so a
  // camera with latency hands over at once what it draws.
  const auto slot = static_cast<int64_t>(std::floor((runtime_->nowSeconds() - spec_.latency) / interval));
  if (slot == lastGridIndex_) return;
  const double pts = static_cast<double>(slot) * interval;
  if (pts < frozenUntil_.load()) return;
  if (SyntheticSources::fault(spec_.id)) return;
  lastGridIndex_ = slot;
  if (platform::PixelBufferRef buffer = render(pts)) onFrame(buffer, pts);
}

platform::PixelBufferRef SyntheticVideoSource::render(double t) {
  if (!pool_) return nullptr;
  platform::PixelBufferRef buffer = pool_->makePixelBuffer();
  if (!buffer) return nullptr;
  const NV12Frame f = NV12Frame::of(*buffer);
  if (f.isEmpty()) return nullptr;

  // A clip too short for one frame falls back to the noise picture below.
  if (clip_ && clip_->copyFrame(t, spec_.fps, *buffer)) {
    drawn_.erase(buffer->serial());
    buffer->setColorAttachments(bt709Matrix());
    return buffer;
  }

  const double p = std::fmod(t, 2.0);
  const double tri = std::min(p, 2 - p);
  const double half = 0.5 / spec_.fps;
  const bool flash = half > tri;
  const YCbCr color = flash ? kWhite : yCbCr(spec_.color);
  const int bar = barWidth(f.width);
  // Clamped: a time before zero would put the bar left of the picture.
  const int x = flash ? -1 : std::clamp(static_cast<int>((f.width - bar) * p / 2), 0, std::max(0, f.width - bar));
  auto paintColumns = [&](int x0, uint8_t y) {
    const auto count = static_cast<size_t>(std::min(bar, f.width - x0));
    for (int row = 0; row < f.height; ++row) std::memset(f.y + static_cast<ptrdiff_t>(row) * f.strideY + x0, y, count);
  };

  if (!spec_.noise) {
    const auto it = drawn_.find(buffer->serial());
    if (it != drawn_.end() && it->second.color == color) {
      // The same field: move the bar.
      if (it->second.barX != x) {
        if (it->second.barX >= 0) paintColumns(it->second.barX, color.y);
        if (x >= 0) paintColumns(x, kWhite.y);
      }
      it->second.barX = x;
      buffer->setColorAttachments(bt709Matrix());
      return buffer;
    }
  }

  for (int row = 0; row < f.height; ++row) {
    uint8_t* line = f.y + static_cast<ptrdiff_t>(row) * f.strideY;
    if (spec_.noise && !flash)
      arc4random_buf(line, static_cast<size_t>(f.width));
    else
      std::memset(line, color.y, static_cast<size_t>(f.width));
    if (!flash) std::memset(line + x, kWhite.y, static_cast<size_t>(std::min(bar, f.width - x)));
  }
  // One chroma row, copied to the others.
  for (int pair = 0; pair < f.chromaWidth(); ++pair) {
    f.uv[2 * pair] = color.cb;
    f.uv[2 * pair + 1] = color.cr;
  }
  for (int row = 1; row < f.chromaHeight(); ++row)
    std::memcpy(f.uv + static_cast<ptrdiff_t>(row) * f.strideUV, f.uv, static_cast<size_t>(f.chromaWidth()) * 2);
  if (spec_.noise) {
    drawn_.erase(buffer->serial());
  } else {
    // Freed buffers leave their entries behind: forget them all once they
    // outnumber the buffers alive (the next few pictures are drawn whole).
    if (drawn_.size() > 2 * (pool_->inUseCount() + pool_->freeCount())) drawn_.clear();
    drawn_[buffer->serial()] = Drawn{color, x};
  }
  buffer->setColorAttachments(bt709Matrix());
  return buffer;
}

}  // namespace quarzadel
