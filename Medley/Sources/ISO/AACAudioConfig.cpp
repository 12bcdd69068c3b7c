#include "Medley/Sources/ISO/AACAudioConfig.h"

#include <sstream>

namespace medley {

namespace {
constexpr double kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                             22050, 16000, 12000, 11025, 8000,  7350};
constexpr size_t kMaxFrameLength = (1u << 13) - 1;
}  // namespace

std::optional<AudioObjectType> audioObjectType(uint8_t raw) {
  if (raw > 9) return std::nullopt;
  return static_cast<AudioObjectType>(raw);
}

std::optional<AudioObjectType> audioObjectTypeFromObjectID(std::optional<uint32_t> objectID) {
  if (!objectID || *objectID == 0 || *objectID > 9) return std::nullopt;
  return static_cast<AudioObjectType>(*objectID);
}

std::optional<SamplingFrequency> samplingFrequency(uint8_t index) {
  if (index > 12) return std::nullopt;
  return static_cast<SamplingFrequency>(index);
}

std::optional<SamplingFrequency> samplingFrequencyFromRate(double rate) {
  if (!(rate >= 0 && rate < 1e9)) return std::nullopt;
  const auto whole = static_cast<int64_t>(rate);
  for (uint8_t i = 0; i < std::size(kRates); ++i) {
    if (static_cast<int64_t>(kRates[i]) == whole) return static_cast<SamplingFrequency>(i);
  }
  return std::nullopt;
}

double sampleRate(SamplingFrequency frequency) { return kRates[static_cast<uint8_t>(frequency)]; }

std::optional<ChannelConfiguration> channelConfiguration(uint8_t raw) {
  if (raw > 7) return std::nullopt;
  return static_cast<ChannelConfiguration>(raw);
}

std::optional<ChannelConfiguration> channelConfigurationFromCount(uint32_t channels) {
  if (channels <= 6) return static_cast<ChannelConfiguration>(channels);
  if (channels == 8) return ChannelConfiguration::frontCenterAndFrontLeftAndFrontRightAndSideLeftAndSideRightAndBackLeftAndBackRightLFE;
  return std::nullopt;
}

uint32_t channelCount(ChannelConfiguration configuration) {
  const auto raw = static_cast<uint8_t>(configuration);
  return raw == 7 ? 8 : raw;
}

std::optional<platform::AudioChannelLayoutTag> channelLayoutTag(ChannelConfiguration configuration) {
  switch (static_cast<uint8_t>(configuration)) {
    case 3: return aacLayoutTag::mpeg_3_0_B;
    case 4: return aacLayoutTag::mpeg_4_0_B;
    case 5: return aacLayoutTag::mpeg_5_0_D;
    case 6: return aacLayoutTag::mpeg_5_1_D;
    case 7: return aacLayoutTag::mpeg_7_1_B;
    default: return std::nullopt;
  }
}

std::optional<AudioSpecificConfig> AudioSpecificConfig::fromBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const auto type = audioObjectType(bytes[0] >> 3);
  const auto frequency = samplingFrequency(static_cast<uint8_t>(((bytes[0] & 7) << 1) | (bytes[1] >> 7)));
  const auto channels = channelConfiguration((bytes[1] >> 3) & 15);
  if (!type || !frequency || !channels) return std::nullopt;
  return AudioSpecificConfig(*type, *frequency, *channels, false);
}

std::optional<AudioSpecificConfig> AudioSpecificConfig::fromStreamDescription(
    const platform::AudioStreamBasicDescription& asbd) {
  const auto type = audioObjectTypeFromObjectID(asbd.formatFlags);
  const auto frequency = samplingFrequencyFromRate(asbd.sampleRate);
  const auto channels = channelConfigurationFromCount(asbd.channelsPerFrame);
  if (!type || !frequency || !channels) return std::nullopt;
  return AudioSpecificConfig(*type, *frequency, *channels, false);
}

std::optional<AudioSpecificConfig> AudioSpecificConfig::fromFormatDescription(
    const platform::FormatDescription* description) {
  if (description == nullptr) return std::nullopt;
  const auto* asbd = description->streamBasicDescription();
  if (asbd == nullptr) return std::nullopt;
  return fromStreamDescription(*asbd);
}

std::array<uint8_t, 2> AudioSpecificConfig::bytes() const {
  const auto t = static_cast<uint8_t>(type);
  const auto f = static_cast<uint8_t>(frequency);
  const auto c = static_cast<uint8_t>(channelConfig);
  return {static_cast<uint8_t>((t << 3) | (f >> 1)), static_cast<uint8_t>(((f & 1) << 7) | (c << 3))};
}

bool AudioSpecificConfig::makeHeader(size_t payloadLength, std::span<uint8_t> destination) const {
  if (destination.size() < adtsHeaderSize || type == AudioObjectType::unknown) return false;
  if (payloadLength > kMaxFrameLength - adtsHeaderSize) return false;
  const size_t length = payloadLength + adtsHeaderSize;
  const auto profile = static_cast<uint8_t>(static_cast<uint8_t>(type) - 1);
  const auto f = static_cast<uint8_t>(frequency);
  const auto c = static_cast<uint8_t>(channelConfig);
  destination[0] = 0xFF;
  destination[1] = 0xF9;
  destination[2] = static_cast<uint8_t>((profile << 6) | (f << 2) | (c >> 2));
  destination[3] = static_cast<uint8_t>(((c & 3) << 6) | (length >> 11));
  destination[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
  destination[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  destination[6] = 0xFC;
  return true;
}

std::optional<platform::AudioFormat> AudioSpecificConfig::makeAudioFormat() const {
  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = sampleRate(frequency);
  asbd.formatID = platform::audioFormatID::mpeg4AAC;
  asbd.formatFlags = static_cast<uint8_t>(type);
  asbd.framesPerPacket = frameLengthFlag ? 960 : 1024;
  asbd.channelsPerFrame = channelCount(channelConfig);
  return platform::AudioFormat::fromStreamDescription(asbd, channelLayoutTag(channelConfig));
}

std::string AudioSpecificConfig::debugDescription() const {
  std::ostringstream out;
  out << "AudioSpecificConfig{type: " << int(static_cast<uint8_t>(type))
      << ",frequency: " << sampleRate(frequency)
      << ",channelConfig: " << int(static_cast<uint8_t>(channelConfig))
      << ",frameLengthFlag: " << (frameLengthFlag ? "true" : "false") << "}";
  return out.str();
}

}  // namespace medley
