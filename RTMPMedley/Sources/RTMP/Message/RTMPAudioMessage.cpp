#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"

#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "RTMPMedley/Sources/Codec/OpusHead.h"

namespace rtmpmedley {

namespace {

constexpr uint8_t kAACHeader = 0xAF;  // AAC, 44 kHz, 16-bit, stereo
constexpr uint8_t kExtendedSequenceStart = 0x90;
constexpr uint8_t kExtendedCodedFrames = 0x91;
constexpr uint8_t kOpusFourCC[4] = {'O', 'p', 'u', 's'};

bool isOpus(const platform::FormatDescription& d) {
  return d.mediaType() == platform::MediaType::audio && d.mediaSubType() == platform::audioFormatID::opus;
}

}  // namespace

std::optional<RTMPAudioCodec> makeRTMPAudioCodec(uint8_t raw) {
  if (raw <= 11 || raw == 14 || raw == 15 || raw == 255) return static_cast<RTMPAudioCodec>(raw);
  return std::nullopt;
}

std::shared_ptr<RTMPAudioMessage> RTMPAudioMessage::make(uint32_t streamId, uint32_t timestamp,
                                                         const platform::FormatDescriptionRef& formatDescription) {
  if (!formatDescription) return nullptr;
  Data payload;
  if (isOpus(*formatDescription)) {
    const auto* asbd = formatDescription->streamBasicDescription();
    if (!asbd) return nullptr;
    const auto head = makeOpusHead(static_cast<int>(asbd->channelsPerFrame), asbd->sampleRate);
    if (!head) return nullptr;
    payload.push_back(kExtendedSequenceStart);
    payload.insert(payload.end(), std::begin(kOpusFourCC), std::end(kOpusFourCC));
    payload.insert(payload.end(), head->begin(), head->end());
  } else {
    const auto config = medley::AudioSpecificConfig::fromFormatDescription(formatDescription.get());
    if (!config) return nullptr;
    const auto bytes = config->bytes();
    payload = {kAACHeader, 0x00, bytes[0], bytes[1]};
  }
  return std::make_shared<RTMPAudioMessage>(streamId, timestamp, std::move(payload));
}

std::shared_ptr<RTMPAudioMessage> RTMPAudioMessage::make(
    uint32_t streamId, uint32_t timestamp, const std::shared_ptr<const platform::CompressedAudioBuffer>& audioBuffer) {
  if (!audioBuffer) return nullptr;
  const uint8_t* bytes = audioBuffer->data();
  const uint32_t n = std::min(audioBuffer->byteLength(), audioBuffer->byteCapacity());
  Data payload;
  if (audioBuffer->format().formatID() == platform::audioFormatID::opus) {
    payload.reserve(5 + n);
    payload.push_back(kExtendedCodedFrames);
    payload.insert(payload.end(), std::begin(kOpusFourCC), std::end(kOpusFourCC));
  } else {
    payload.reserve(2 + n);
    payload = {kAACHeader, 0x01};
  }
  if (n > 0) payload.insert(payload.end(), bytes, bytes + n);
  return std::make_shared<RTMPAudioMessage>(streamId, timestamp, std::move(payload));
}

RTMPAudioCodec RTMPAudioMessage::codec() const {
  if (payload().empty()) return RTMPAudioCodec::unknown;
  return makeRTMPAudioCodec(payload()[0] >> 4).value_or(RTMPAudioCodec::unknown);
}

std::optional<platform::AudioFormat> RTMPAudioMessage::makeAudioFormat() const {
  const Data& p = payload();
  if (p.size() < 2) return std::nullopt;
  switch (p[1]) {
    case 1: {
      if (codec() != RTMPAudioCodec::aac) return std::nullopt;
      static constexpr double kRates[] = {5500, 11025, 22050, 44100};
      platform::AudioStreamBasicDescription asbd;
      asbd.sampleRate = kRates[(p[0] >> 2) & 0x03];
      asbd.formatID = platform::audioFormatID::mpeg4AAC;
      asbd.formatFlags = 1;
      asbd.bytesPerPacket = 0;
      asbd.framesPerPacket = 1024;
      asbd.bytesPerFrame = 0;
      asbd.channelsPerFrame = 1 + (p[0] & 0x01);
      asbd.bitsPerChannel = 0;
      return platform::AudioFormat::fromStreamDescription(asbd);
    }
    case 0: {
      const size_t header = headerSize();
      if (p.size() < header) return std::nullopt;
      const auto config = medley::AudioSpecificConfig::fromBytes(std::span<const uint8_t>(p).subspan(header));
      if (!config) return std::nullopt;
      return config->makeAudioFormat();
    }
    default:
      return std::nullopt;
  }
}

bool RTMPAudioMessage::copyPayload(platform::CompressedAudioBuffer& buffer) const {
  const Data& p = payload();
  const size_t header = headerSize();
  if (p.size() < header) return false;
  const size_t n = p.size() - header;
  if (n > buffer.byteCapacity()) return false;
  return buffer.setSinglePacket(p.data() + header, static_cast<uint32_t>(n));
}

}  // namespace rtmpmedley
