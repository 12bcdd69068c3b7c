#pragma once
// The 2-byte MPEG-4 AudioSpecificConfig (object type, sampling-frequency index,
// channel configuration) and the 7-byte ADTS header written in front of raw AAC
// packets. The RTMP audio sequence header carries the 2-byte form.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/FormatDescription.h"

namespace medley {

struct AudioSpecificConfig {
  enum class AudioObjectType : uint8_t {
    unknown = 0,
    aacMain = 1,
    aacLc = 2,
    aacSsr = 3,
    aacLtp = 4,
    aacSbr = 5,
    aacScalable = 6,
    twinqVQ = 7,
    celp = 8,
    hxvc = 9,
  };

  enum class SamplingFrequency : uint8_t {
    hz96000 = 0,
    hz88200 = 1,
    hz64000 = 2,
    hz48000 = 3,
    hz44100 = 4,
    hz32000 = 5,
    hz24000 = 6,
    hz22050 = 7,
    hz16000 = 8,
    hz12000 = 9,
    hz11025 = 10,
    hz8000 = 11,
    hz7350 = 12,
  };

  enum class ChannelConfiguration : uint8_t {
    definedInAOTSpecificConfig = 0,
    frontCenter = 1,
    frontLeftAndFrontRight = 2,
    frontCenterAndFrontLeftAndFrontRight = 3,
    frontCenterAndFrontLeftAndFrontRightAndBackCenter = 4,
    frontCenterAndFrontLeftAndFrontRightAndBackLeftAndBackRight = 5,
    frontCenterAndFrontLeftAndFrontRightAndBackLeftAndBackRightLFE = 6,
    frontCenterAndFrontLeftAndFrontRightAndSideLeftAndSideRightAndBackLeftAndBackRightLFE = 7,
  };

  static constexpr size_t adtsHeaderSize = 7;

  AudioObjectType type = AudioObjectType::aacLc;
  SamplingFrequency frequency = SamplingFrequency::hz48000;
  ChannelConfiguration channelConfig = ChannelConfiguration::frontLeftAndFrontRight;
  bool frameLengthFlag = false;

  AudioSpecificConfig() = default;
  AudioSpecificConfig(AudioObjectType t, SamplingFrequency f, ChannelConfiguration c, bool frameLength = false)
      : type(t), frequency(f), channelConfig(c), frameLengthFlag(frameLength) {}

  // None for fewer than two bytes or a type, frequency index or channel
  // configuration outside the defined values.
  static std::optional<AudioSpecificConfig> fromBytes(std::span<const uint8_t> bytes);
  // From an AAC description: type from the format flags (1..9), frequency from
  // the rate, configuration from the channel count (0..6 or 8).
  static std::optional<AudioSpecificConfig> fromFormatDescription(const platform::FormatDescription* description);
  static std::optional<AudioSpecificConfig> fromStreamDescription(const platform::AudioStreamBasicDescription& asbd);

  std::array<uint8_t, 2> bytes() const;

  // Writes the ADTS header for a payload of `payloadLength` bytes into the
  // first seven bytes of `destination`. False (nothing written) when the
  // destination is shorter than the header, the type is unknown or the frame
  // does not fit the header's 13-bit length.
  bool makeHeader(size_t payloadLength, std::span<uint8_t> destination) const;

  // The AAC format the configuration describes; none when it has no channels.
  std::optional<platform::AudioFormat> makeAudioFormat() const;

  std::string debugDescription() const;

  friend bool operator==(const AudioSpecificConfig&, const AudioSpecificConfig&) = default;
};

using AudioObjectType = AudioSpecificConfig::AudioObjectType;
using SamplingFrequency = AudioSpecificConfig::SamplingFrequency;
using ChannelConfiguration = AudioSpecificConfig::ChannelConfiguration;

// 1..9 give the type of that raw value (the format flags of an AAC description).
std::optional<AudioObjectType> audioObjectType(uint8_t raw);
std::optional<AudioObjectType> audioObjectTypeFromObjectID(std::optional<uint32_t> objectID);

std::optional<SamplingFrequency> samplingFrequency(uint8_t index);
// Exactly the 13 defined rates (the rate truncated to an integer).
std::optional<SamplingFrequency> samplingFrequencyFromRate(double sampleRate);
double sampleRate(SamplingFrequency frequency);

std::optional<ChannelConfiguration> channelConfiguration(uint8_t raw);
// Counts 0..6 give that configuration, 8 the 8-channel one; 7 and above 8 none.
std::optional<ChannelConfiguration> channelConfigurationFromCount(uint32_t channels);
uint32_t channelCount(ChannelConfiguration configuration);
// The layout of configurations with more than two channels.
std::optional<platform::AudioChannelLayoutTag> channelLayoutTag(ChannelConfiguration configuration);

namespace aacLayoutTag {
constexpr platform::AudioChannelLayoutTag mpeg_3_0_B = (114u << 16) | 3;
constexpr platform::AudioChannelLayoutTag mpeg_4_0_B = (116u << 16) | 4;
constexpr platform::AudioChannelLayoutTag mpeg_5_0_D = (120u << 16) | 5;
constexpr platform::AudioChannelLayoutTag mpeg_5_1_D = (124u << 16) | 6;
constexpr platform::AudioChannelLayoutTag mpeg_7_1_B = (127u << 16) | 8;
}  // namespace aacLayoutTag

}  // namespace medley
