#pragma once
// How a stream of sound is laid out: rate, channels, sample type and packing,
// or a compressed format (AAC, Opus) with its packet shape. A small value type.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/FourCC.h"

namespace platform {

class FormatDescription;

namespace audioFormatID {
constexpr FourCC linearPCM = fourCC("lpcm");
constexpr FourCC mpeg4AAC = fourCC("aac ");
constexpr FourCC opus = fourCC("opus");
}  // namespace audioFormatID

namespace audioFormatFlags {
constexpr uint32_t isFloat = 1u << 0;
constexpr uint32_t isBigEndian = 1u << 1;
constexpr uint32_t isSignedInteger = 1u << 2;
constexpr uint32_t isPacked = 1u << 3;
constexpr uint32_t isNonInterleaved = 1u << 5;
}  // namespace audioFormatFlags

// The numeric channel-layout tags (high 16 bits: layout, low 16: channel count).
using AudioChannelLayoutTag = uint32_t;
namespace channelLayoutTag {
constexpr AudioChannelLayoutTag mono = (100u << 16) | 1;
constexpr AudioChannelLayoutTag stereo = (101u << 16) | 2;
constexpr AudioChannelLayoutTag mpeg_3_0_B = 0x720003;
constexpr AudioChannelLayoutTag quadraphonic = 0x6C0004;
constexpr AudioChannelLayoutTag pentagonal = 0x6D0005;
constexpr AudioChannelLayoutTag hexagonal = 0x6E0006;
constexpr AudioChannelLayoutTag octagonal = 0x6F0008;
constexpr AudioChannelLayoutTag discreteInOrder = 0x930000;  // | channel count
constexpr uint32_t channelCount(AudioChannelLayoutTag t) { return t & 0xFFFF; }
}  // namespace channelLayoutTag

struct AudioStreamBasicDescription {
  double sampleRate = 0;
  FourCC formatID = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
  friend bool operator==(const AudioStreamBasicDescription&, const AudioStreamBasicDescription&) = default;
};

enum class CommonFormat { other = 0, float32 = 1, float64 = 2, int16 = 3, int32 = 4 };
const char* commonFormatName(CommonFormat f);

class AudioFormat {
 public:
  // Invalid (sample rate 0, no channels).
  AudioFormat() = default;
  // Native-endian linear PCM. Invalid for `other`, a non-positive rate or no channels.
  AudioFormat(CommonFormat format, double sampleRate, uint32_t channels, bool interleaved);
  // With a layout, the channel count is the layout's.
  AudioFormat(CommonFormat format, double sampleRate, bool interleaved, AudioChannelLayoutTag layout);
  // 32-bit float, planar: the format the pipelines exchange.
  static AudioFormat standard(double sampleRate, uint32_t channels);
  // Any description, PCM or compressed; none for a description that cannot be
  // valid (no rate, no channels, PCM sizes that do not add up, a layout for
  // another channel count).
  static std::optional<AudioFormat> fromStreamDescription(const AudioStreamBasicDescription& asbd,
                                                          std::optional<AudioChannelLayoutTag> layout = {});

  bool isValid() const { return asbd_.sampleRate > 0 && asbd_.channelsPerFrame > 0; }
  double sampleRate() const { return asbd_.sampleRate; }
  uint32_t channelCount() const { return asbd_.channelsPerFrame; }
  CommonFormat commonFormat() const { return common_; }
  bool isInterleaved() const { return (asbd_.formatFlags & audioFormatFlags::isNonInterleaved) == 0; }
  bool isPCM() const { return asbd_.formatID == audioFormatID::linearPCM; }
  // Float32, planar.
  bool isStandard() const { return common_ == CommonFormat::float32 && !isInterleaved(); }
  FourCC formatID() const { return asbd_.formatID; }
  uint32_t formatFlags() const { return asbd_.formatFlags; }
  uint32_t bytesPerPacket() const { return asbd_.bytesPerPacket; }
  uint32_t bytesPerFrame() const { return asbd_.bytesPerFrame; }
  uint32_t framesPerPacket() const { return asbd_.framesPerPacket; }
  uint32_t bitsPerChannel() const { return asbd_.bitsPerChannel; }
  // Bytes of one sample of one channel (PCM); 0 otherwise.
  uint32_t bytesPerSample() const;
  std::optional<AudioChannelLayoutTag> channelLayoutTag() const { return layout_; }
  const AudioStreamBasicDescription& streamDescription() const { return asbd_; }

  // The format as a format description (media type audio), with a magic cookie.
  std::shared_ptr<const FormatDescription> makeFormatDescription(std::vector<uint8_t> magicCookie = {}) const;

  // e.g. "<2 ch, 48000 Hz, Float32, deinterleaved>" or "<2 ch, 48000 Hz, 'aac ' (0x00000000) 0 bits/channel, ...>".
  std::string description() const;

  friend bool operator==(const AudioFormat& a, const AudioFormat& b) {
    return a.asbd_ == b.asbd_ && a.layout_ == b.layout_;
  }

 private:
  AudioStreamBasicDescription asbd_;
  CommonFormat common_ = CommonFormat::other;
  std::optional<AudioChannelLayoutTag> layout_;
};

}  // namespace platform
