#include "Medley/Sources/Extension/AudioFormatFactory.h"

namespace medley {

std::optional<platform::AudioChannelLayoutTag> AVAudioUtil::makeChannelLayout(uint32_t channels) {
  namespace tag = platform::channelLayoutTag;
  switch (channels) {
    case 0:
    case 1:
    case 2: return std::nullopt;
    case 3: return tag::mpeg_3_0_B;
    case 4: return tag::quadraphonic;
    case 5: return tag::pentagonal;
    case 6: return tag::hexagonal;
    case 8: return tag::octagonal;
    default:
      if (channels > 0xFFFF) return std::nullopt;
      return tag::discreteInOrder | channels;
  }
}

std::optional<platform::AudioFormat> AVAudioUtil::makeAudioFormat(const platform::FormatDescription* description) {
  if (description == nullptr) return std::nullopt;
  const auto* asbd = description->streamBasicDescription();
  if (asbd == nullptr) return std::nullopt;
  const auto layout = makeChannelLayout(asbd->channelsPerFrame);
  using namespace platform::audioFormatFlags;
  if (asbd->formatID == platform::audioFormatID::linearPCM && (asbd->formatFlags & isBigEndian)) {
    const bool interleaved = (asbd->formatFlags & isNonInterleaved) == 0;
    if (asbd->bitsPerChannel == 16) {
      platform::AudioFormat format = layout ? platform::AudioFormat(platform::CommonFormat::int16, asbd->sampleRate, interleaved, *layout)
                                            : platform::AudioFormat(platform::CommonFormat::int16, asbd->sampleRate,
                                                                    asbd->channelsPerFrame, interleaved);
      if (!format.isValid()) return std::nullopt;
      return format;
    }
    // Other depths keep their depth: 24-bit samples read as 16-bit ones would be noise.
    platform::AudioStreamBasicDescription native = *asbd;
    native.formatFlags &= ~isBigEndian;
    return platform::AudioFormat::fromStreamDescription(native, layout);
  }
  return platform::AudioFormat::fromStreamDescription(*asbd, layout);
}

}  // namespace medley
