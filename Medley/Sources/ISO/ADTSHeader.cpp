#include "Medley/Sources/ISO/ADTSHeader.h"

#include <cstring>

#include "Medley/Sources/ISO/AACAudioConfig.h"

namespace medley {

void ADTSHeader::parse(std::span<const uint8_t> b) {
  if (b.size() < size) return;
  sync = b[0];
  id = (b[1] >> 3) & 1;
  layer = (b[1] >> 1) & 3;
  protectionAbsent = (b[1] & 1) != 0;
  profile = b[2] >> 6;
  sampleFrequencyIndex = (b[2] >> 2) & 15;
  channelConfiguration = static_cast<uint8_t>(((b[2] & 1) << 2) | (b[3] >> 6));
  originalOrCopy = ((b[3] >> 5) & 1) != 0;
  home = ((b[3] >> 4) & 1) != 0;
  copyrightIdBit = ((b[3] >> 3) & 1) != 0;
  copyrightIdStart = ((b[3] >> 2) & 1) != 0;
  aacFrameLength = static_cast<uint16_t>(((b[3] & 3) << 11) | (b[4] << 3) | (b[5] >> 5));
  bufferFullness = static_cast<uint16_t>(((b[5] & 0x1F) << 6) | (b[6] >> 2));
  aacFrames = b[6] & 3;
}

platform::FormatDescriptionRef ADTSHeader::makeFormatDescription() const {
  const auto type = audioObjectTypeFromObjectID(profile + 1u);
  const auto frequency = samplingFrequency(sampleFrequencyIndex);
  const auto configuration = medley::channelConfiguration(channelConfiguration);
  if (!type || !frequency || !configuration) return nullptr;
  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = sampleRate(*frequency);
  asbd.formatID = platform::audioFormatID::mpeg4AAC;
  asbd.formatFlags = static_cast<uint32_t>(*type);
  asbd.framesPerPacket = 1024;
  // Configuration 7 carries eight channels (7.1), not seven.
  asbd.channelsPerFrame = channelCount(*configuration);
  const auto format = platform::AudioFormat::fromStreamDescription(asbd);
  if (!format) return nullptr;
  return platform::FormatDescription::makeAudio(*format);
}

bool operator==(const ADTSHeader& a, const ADTSHeader& b) {
  return a.sync == b.sync && a.id == b.id && a.layer == b.layer && a.protectionAbsent == b.protectionAbsent &&
         a.profile == b.profile && a.sampleFrequencyIndex == b.sampleFrequencyIndex &&
         a.channelConfiguration == b.channelConfiguration && a.originalOrCopy == b.originalOrCopy &&
         a.home == b.home && a.copyrightIdBit == b.copyrightIdBit && a.copyrightIdStart == b.copyrightIdStart &&
         a.aacFrameLength == b.aacFrameLength && a.bufferFullness == b.bufferFullness && a.aacFrames == b.aacFrames;
}

bool encodeADTS(const platform::CompressedAudioBuffer& buffer, std::span<uint8_t> destination) {
  const auto config = AudioSpecificConfig::fromStreamDescription(buffer.format().streamDescription());
  if (!config) return false;
  const size_t length = buffer.byteLength();
  if (destination.size() < ADTSHeader::size + length) return false;
  if (!config->makeHeader(length, destination)) return false;
  if (length > 0) std::memcpy(destination.data() + ADTSHeader::size, buffer.data(), length);
  return true;
}

}  // namespace medley
