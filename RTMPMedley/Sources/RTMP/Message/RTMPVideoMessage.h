#pragma once
// Video message (type 9): H.264 in the legacy layout (17/27, AVC packet type,
// composition time) and HEVC in the enhanced layout (90/91/A1 and "hvc1").
// Builders answer nothing when the input cannot be sent; the playback side
// reads H.264 and HEVC.
#include <cstdint>
#include <memory>

#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/MediaTime.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPVideoMessage final : public RTMPPayloadMessage {
 public:
  // Added to every frame's composition time that has a decode time.
  static constexpr double kCompositionTimeOffset = 0.066;

  RTMPVideoMessage(uint32_t streamId, uint32_t timestamp, Data payload)
      : RTMPPayloadMessage(streamId, timestamp, std::move(payload)) {}

  // Sequence header with the description's own "avcC" or "hvcC"; none for
  // other codecs or a description without it.
  static std::shared_ptr<RTMPVideoMessage> make(uint32_t streamId, uint32_t timestamp,
                                                const platform::FormatDescriptionRef& formatDescription);
  // One encoded frame with its key-frame flag and composition time; none for
  // a buffer without bytes or of another codec.
  static std::shared_ptr<RTMPVideoMessage> make(uint32_t streamId, uint32_t timestamp,
                                                const platform::SampleBufferRef& sampleBuffer);

  RTMPMessageType type() const override { return RTMPMessageType::video; }

  // Playback.
  bool isSupported() const;
  // The description of a received sequence header, or none.
  platform::FormatDescriptionRef makeFormatDescription() const;
  // The frame as a sample buffer at `presentationTime` (plus its composition
  // time); none without a description or frame bytes.
  platform::SampleBufferRef makeSampleBuffer(const platform::MediaTime& presentationTime,
                                             const platform::FormatDescriptionRef& formatDescription) const;
  // Signed milliseconds carried by a coded frame, 0 for other packets.
  int32_t compositionTime() const;

 private:
  bool isExtended() const { return !payload().empty() && (payload()[0] & 0x80); }
};

}  // namespace rtmpmedley
