#include "Quarzadel/Capture/SyntheticToneSource.h"

#include <cmath>
#include <numbers>

#include "Platform/Media/PCMBuffer.h"

namespace quarzadel {

namespace {

platform::Nanos nanos(double seconds) { return static_cast<platform::Nanos>(std::llround(seconds * 1e9)); }

int64_t floorMod(int64_t a, int64_t m) {
  const int64_t r = a % m;
  return r < 0 ? r + m : r;
}

}  // namespace

ToneSpec SyntheticToneSource::makeSpec(const platform::UserDefaults& defaults) {
  return ToneSpec{kID, defaults.string(kNameDefaultsKey).value_or(kDefaultName)};
}

const ToneSpec& SyntheticToneSource::toneSpec() {
  static const ToneSpec spec = makeSpec(*platform::UserDefaults::standard());
  return spec;
}

SyntheticToneSource::SyntheticToneSource() : SyntheticToneSource(toneSpec()) {}

SyntheticToneSource::SyntheticToneSource(ToneSpec spec)
    : spec_(std::move(spec)), format_(platform::AudioFormat::standard(static_cast<double>(kSampleRate), 1)) {}

SyntheticToneSource::~SyntheticToneSource() = default;

float SyntheticToneSource::sampleAt(int64_t index) {
  if (floorMod(index, kCycleFrames) >= kBeepFrames) return 0.0f;
  // 1 kHz divides 48 kHz: the sine repeats every 48 samples, so the phase is taken
  // from the index exactly rather than from a large time in seconds.
  constexpr int64_t period = kSampleRate / kBeepHz;
  const double phase = 2.0 * std::numbers::pi * static_cast<double>(floorMod(index, period)) / period;
  return static_cast<float>(kAmplitude * std::sin(phase));
}

void SyntheticToneSource::start(std::shared_ptr<platform::SerialQueue> deliveryQueue, BufferHandler onBuffer,
                                FailureHandler /*onFailure: the tone cannot fail*/) {
  if (timer_ || !deliveryQueue) return;
  std::weak_ptr<SyntheticToneSource> weak = weak_from_this();
  std::weak_ptr<platform::SerialQueue> weakQueue = deliveryQueue;
  timer_ = platform::RepeatingTimer::start(
      deliveryQueue, nanos(kFirstFire), nanos(kPeriod), [weak, weakQueue, onBuffer = std::move(onBuffer)] {
        auto tone = weak.lock();
        auto queue = weakQueue.lock();
        if (tone && queue) tone->tick(*queue, onBuffer);
      });
}

void SyntheticToneSource::stop() {
  if (timer_) timer_->cancel();
  timer_.reset();
}

void SyntheticToneSource::tick(const platform::SerialQueue& deliveryQueue, const BufferHandler& onBuffer) {
  const double now = platform::toSeconds(deliveryQueue.now());
  const auto target = static_cast<int64_t>(std::floor((now - kLag) * static_cast<double>(kSampleRate)));
  int64_t next = nextSample_.value_or(target - kBufferFrames);
  while (target - next >= kBufferFrames) {
    auto buffer = platform::PCMBuffer::make(format_, kBufferFrames);
    if (!buffer || buffer->floatChannelData() == nullptr) return;
    buffer->setFrameLength(kBufferFrames);
    float* samples = buffer->floatChannelData()[0];
    for (uint32_t i = 0; i < kBufferFrames; ++i) samples[i] = sampleAt(next + i);
    const double time = static_cast<double>(next) / static_cast<double>(kSampleRate);
    next += kBufferFrames;
    // Advanced per buffer: a later failure in this tick must not send these again.
    nextSample_ = next;
    if (onBuffer) onBuffer(buffer, time);
  }
  nextSample_ = next;
}

}  // namespace quarzadel
