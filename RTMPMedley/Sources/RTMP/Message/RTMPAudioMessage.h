#pragma once
// Audio message (type 8): AAC in the legacy layout (AF 00 config, AF 01
// frame) and Opus in the enhanced layout (90/91 and "Opus"). Builders answer
// nothing when the input cannot be sent; the playback side reads AAC.
#include <cstdint>
#include <memory>
#include <optional>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/FormatDescription.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

// The sound format of a legacy audio payload's first byte (high four bits).
enum class RTMPAudioCodec : uint8_t {
  pcm = 0,
  adpcm = 1,
  mp3 = 2,
  pcmle = 3,
  nellymoser16K = 4,
  nellymoser8K = 5,
  nellymoser = 6,
  g711A = 7,
  g711MU = 8,
  reserved = 9,
  aac = 10,
  speex = 11,
  mp3_8k = 14,
  device = 15,
  unknown = 255,
};

std::optional<RTMPAudioCodec> makeRTMPAudioCodec(uint8_t rawValue);

class RTMPAudioMessage final : public RTMPPayloadMessage {
 public:
  RTMPAudioMessage(uint32_t streamId, uint32_t timestamp, Data payload)
      : RTMPPayloadMessage(streamId, timestamp, std::move(payload)) {}

  // Sequence header from an AAC or Opus format description; none for no
  // description or one that cannot be carried.
  static std::shared_ptr<RTMPAudioMessage> make(uint32_t streamId, uint32_t timestamp,
                                                const platform::FormatDescriptionRef& formatDescription);
  // One encoded frame (AAC or Opus); none without a buffer.
  static std::shared_ptr<RTMPAudioMessage> make(uint32_t streamId, uint32_t timestamp,
                                                const std::shared_ptr<const platform::CompressedAudioBuffer>& audioBuffer);

  RTMPMessageType type() const override { return RTMPMessageType::audio; }

  // Playback.
  RTMPAudioCodec codec() const;
  std::optional<platform::AudioFormat> makeAudioFormat() const;
  // Copies the frame after its header into the buffer as one packet; false
  // (and no change) when there is no frame or it does not fit.
  bool copyPayload(platform::CompressedAudioBuffer& buffer) const;

 private:
  size_t headerSize() const { return codec() == RTMPAudioCodec::aac ? 2 : 1; }
};

}  // namespace rtmpmedley
