#include "Platform/Media/AudioFormat.h"

#include <cstdio>

#include "Platform/Media/FormatDescription.h"

namespace platform {
namespace {

uint32_t sampleBytes(CommonFormat f) {
  switch (f) {
    case CommonFormat::float32: return 4;
    case CommonFormat::float64: return 8;
    case CommonFormat::int16: return 2;
    case CommonFormat::int32: return 4;
    case CommonFormat::other: return 0;
  }
  return 0;
}

// The common format a native-endian PCM description is, or `other`.
CommonFormat commonFormatOf(const AudioStreamBasicDescription& d) {
  using namespace audioFormatFlags;
  if (d.formatID != audioFormatID::linearPCM || (d.formatFlags & isBigEndian)) return CommonFormat::other;
  const bool interleaved = (d.formatFlags & isNonInterleaved) == 0;
  const uint32_t bytes = d.bitsPerChannel / 8;
  if (d.bitsPerChannel % 8 != 0 || bytes == 0) return CommonFormat::other;
  // Samples must fill their container (no 24-in-32 and the like).
  const uint32_t expectFrame = interleaved ? bytes * d.channelsPerFrame : bytes;
  if (d.bytesPerFrame != expectFrame) return CommonFormat::other;
  if (d.formatFlags & isFloat) {
    if (bytes == 4) return CommonFormat::float32;
    if (bytes == 8) return CommonFormat::float64;
    return CommonFormat::other;
  }
  if (!(d.formatFlags & isSignedInteger)) return CommonFormat::other;
  if (bytes == 2) return CommonFormat::int16;
  if (bytes == 4) return CommonFormat::int32;
  return CommonFormat::other;
}

}  // namespace

const char* commonFormatName(CommonFormat f) {
  switch (f) {
    case CommonFormat::float32: return "Float32";
    case CommonFormat::float64: return "Float64";
    case CommonFormat::int16: return "Int16";
    case CommonFormat::int32: return "Int32";
    case CommonFormat::other: return "Other";
  }
  return "?";
}

AudioFormat::AudioFormat(CommonFormat format, double sampleRate, uint32_t channels, bool interleaved) {
  const uint32_t bytes = sampleBytes(format);
  if (bytes == 0 || !(sampleRate > 0) || channels == 0) return;  // stays invalid
  using namespace audioFormatFlags;
  asbd_.sampleRate = sampleRate;
  asbd_.formatID = audioFormatID::linearPCM;
  asbd_.formatFlags = isPacked | (format == CommonFormat::float32 || format == CommonFormat::float64 ? isFloat
                                                                                                     : isSignedInteger);
  if (!interleaved) asbd_.formatFlags |= isNonInterleaved;
  asbd_.framesPerPacket = 1;
  asbd_.bytesPerFrame = interleaved ? bytes * channels : bytes;
  asbd_.bytesPerPacket = asbd_.bytesPerFrame;
  asbd_.channelsPerFrame = channels;
  asbd_.bitsPerChannel = bytes * 8;
  common_ = format;
}

AudioFormat::AudioFormat(CommonFormat format, double sampleRate, bool interleaved, AudioChannelLayoutTag layout)
    : AudioFormat(format, sampleRate, channelLayoutTag::channelCount(layout), interleaved) {
  if (isValid()) layout_ = layout;
}

AudioFormat AudioFormat::standard(double sampleRate, uint32_t channels) {
  return AudioFormat(CommonFormat::float32, sampleRate, channels, false);
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const AudioStreamBasicDescription& asbd,
                                                              std::optional<AudioChannelLayoutTag> layout) {
  if (!(asbd.sampleRate > 0) || asbd.channelsPerFrame == 0 || asbd.formatID == 0) return std::nullopt;
  if (layout && channelLayoutTag::channelCount(*layout) != asbd.channelsPerFrame) return std::nullopt;
  if (asbd.formatID == audioFormatID::linearPCM) {
    const bool interleaved = (asbd.formatFlags & audioFormatFlags::isNonInterleaved) == 0;
    const uint32_t bytes = (asbd.bitsPerChannel + 7) / 8;
    if (bytes == 0 || asbd.bytesPerFrame < (interleaved ? bytes * asbd.channelsPerFrame : bytes)) return std::nullopt;
    if (asbd.framesPerPacket != 1 || asbd.bytesPerPacket != asbd.bytesPerFrame) return std::nullopt;
  }
  AudioFormat f;
  f.asbd_ = asbd;
  f.common_ = commonFormatOf(asbd);
  f.layout_ = layout;
  return f;
}

uint32_t AudioFormat::bytesPerSample() const {
  if (!isPCM()) return 0;
  return sampleBytes(common_) ? sampleBytes(common_) : (asbd_.bitsPerChannel + 7) / 8;
}

std::shared_ptr<const FormatDescription> AudioFormat::makeFormatDescription(std::vector<uint8_t> magicCookie) const {
  return FormatDescription::makeAudio(*this, std::move(magicCookie));
}

std::string AudioFormat::description() const {
  char buf[200];
  if (common_ != CommonFormat::other) {
    std::snprintf(buf, sizeof buf, "<%u ch, %g Hz, %s, %s>", asbd_.channelsPerFrame, asbd_.sampleRate,
                  commonFormatName(common_), isInterleaved() ? "interleaved" : "deinterleaved");
  } else {
    std::snprintf(buf, sizeof buf, "<%u ch, %g Hz, '%s' (0x%08x) %u bits/channel, %u bytes/packet, %u frames/packet, %u bytes/frame>",
                  asbd_.channelsPerFrame, asbd_.sampleRate, fourCCString(asbd_.formatID).c_str(), asbd_.formatFlags,
                  asbd_.bitsPerChannel, asbd_.bytesPerPacket, asbd_.framesPerPacket, asbd_.bytesPerFrame);
  }
  std::string s = buf;
  if (layout_) {
    std::snprintf(buf, sizeof buf, " layout 0x%x", *layout_);
    s.insert(s.size() - 1, buf);
  }
  return s;
}

}  // namespace platform
