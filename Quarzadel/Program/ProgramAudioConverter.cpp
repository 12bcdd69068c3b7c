#include "Quarzadel/Program/ProgramAudioConverter.h"

#include <cstring>

namespace quarzadel {

ProgramAudioConverter::ProgramAudioConverter(platform::AudioFormat outputFormat)
    : outputFormat_(std::move(outputFormat)) {}

platform::PCMBufferRef ProgramAudioConverter::copyDirect(const platform::PCMBuffer& input) const {
  const uint32_t n = input.frameLength();
  auto out = platform::PCMBuffer::make(outputFormat_, n);
  if (!out || out->floatChannelData() == nullptr || !out->setFrameLength(n)) return nullptr;
  float* const* src = input.floatChannelData();
  float* const* dst = out->floatChannelData();
  const uint32_t second = input.format().channelCount() > 1 ? 1 : 0;
  std::memcpy(dst[0], src[0], n * sizeof(float));
  std::memcpy(dst[1], src[second], n * sizeof(float));
  return out;
}

platform::PCMBufferRef ProgramAudioConverter::convert(const platform::PCMBufferRef& input) {
  if (!input) return nullptr;
  const platform::AudioFormat& in = input->format();
  const uint32_t n = input->frameLength();

  if (in.sampleRate() == outputFormat_.sampleRate() && in.commonFormat() == platform::CommonFormat::float32 &&
      !in.isInterleaved() && in.channelCount() >= 1 && input->floatChannelData() != nullptr) {
    if (auto out = copyDirect(*input)) return out;
  }

  if (!converterFormat_ || !(*converterFormat_ == in)) {
    converter_ = platform::AudioConverter::make(in, outputFormat_);
    if (converter_ && in.channelCount() == 1) converter_->setChannelMap({0, 0});
    converterFormat_ = in;
  }
  if (!converter_) return nullptr;

  const double ratio = outputFormat_.sampleRate() / in.sampleRate();
  const double wanted = static_cast<double>(n) * ratio + 16;
  // A rate so low that one buffer would not fit any output buffer: refuse it.
  if (!(wanted < 4294967296.0)) return nullptr;
  auto out = platform::PCMBuffer::make(outputFormat_, static_cast<uint32_t>(wanted));
  if (!out) return nullptr;

  bool handedOver = false;
  const auto status = converter_->convert(
      *out, [&](uint32_t, platform::AudioConverter::InputStatus& st) -> platform::PCMBufferRef {
        if (handedOver) {
          st = platform::AudioConverter::InputStatus::noDataNow;
          return nullptr;
        }
        handedOver = true;
        st = platform::AudioConverter::InputStatus::haveData;
        return input;
      });
  if (status == platform::AudioConverter::OutputStatus::error) return nullptr;
  return out;
}

}  // namespace quarzadel
