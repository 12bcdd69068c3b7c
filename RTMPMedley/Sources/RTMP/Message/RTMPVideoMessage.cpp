#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

#include <cmath>
#include <cstring>

#include "RTMPMedley/Sources/Codec/AVCDecoderConfigurationRecord.h"
#include "RTMPMedley/Sources/Codec/HEVCDecoderConfigurationRecord.h"

namespace rtmpmedley {

namespace {

constexpr uint8_t kHVC1[4] = {'h', 'v', 'c', '1'};
constexpr uint8_t kFrameKey = 1;
constexpr uint8_t kFrameInter = 2;
constexpr uint8_t kCodecAVC = 7;
constexpr uint8_t kExtended = 0x80;
constexpr uint8_t kPacketSequenceStart = 0;
constexpr uint8_t kPacketCodedFrames = 1;

void put24(Data& out, uint32_t v) {
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

// Milliseconds from decode to presentation, within what 24 signed bits carry.
uint32_t compositionTimeOf(const platform::SampleBuffer& sample) {
  const platform::MediaTime dts = sample.decodeTime();
  const platform::MediaTime pts = sample.presentationTime();
  if (!dts.isNumeric() || !pts.isNumeric()) return 0;
  const double ms = ((pts.seconds() - dts.seconds()) + RTMPVideoMessage::kCompositionTimeOffset) * 1000.0;
  if (!std::isfinite(ms) || ms <= 0) return 0;
  if (ms >= 0x7FFFFF) return 0x7FFFFF;
  return static_cast<uint32_t>(ms);
}

}  // namespace

std::shared_ptr<RTMPVideoMessage> RTMPVideoMessage::make(uint32_t streamId, uint32_t timestamp,
                                                         const platform::FormatDescriptionRef& formatDescription) {
  if (!formatDescription) return nullptr;
  const auto* record = formatDescription->decoderConfigurationData();
  if (!record) return nullptr;
  Data payload;
  if (formatDescription->mediaSubType() == platform::codec::h264) {
    payload = {kFrameKey << 4 | kCodecAVC, 0, 0, 0, 0};
  } else if (formatDescription->mediaSubType() == platform::codec::hevc) {
    payload = {kExtended | kFrameKey << 4 | kPacketSequenceStart};
    payload.insert(payload.end(), std::begin(kHVC1), std::end(kHVC1));
  } else {
    return nullptr;
  }
  payload.insert(payload.end(), record->begin(), record->end());
  return std::make_shared<RTMPVideoMessage>(streamId, timestamp, std::move(payload));
}

std::shared_ptr<RTMPVideoMessage> RTMPVideoMessage::make(uint32_t streamId, uint32_t timestamp,
                                                         const platform::SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer) return nullptr;
  const platform::BlockBuffer* block = sampleBuffer->dataBuffer();
  const auto& format = sampleBuffer->formatDescription();
  if (!block || !format) return nullptr;
  const uint8_t frameType = sampleBuffer->attachments(0).notSync ? kFrameInter : kFrameKey;
  const uint32_t cts = compositionTimeOf(*sampleBuffer);
  Data payload;
  if (format->mediaSubType() == platform::codec::h264) {
    payload.reserve(5 + block->size());
    payload = {static_cast<uint8_t>(frameType << 4 | kCodecAVC), 1};
  } else if (format->mediaSubType() == platform::codec::hevc) {
    payload.reserve(8 + block->size());
    payload = {static_cast<uint8_t>(kExtended | frameType << 4 | kPacketCodedFrames)};
    payload.insert(payload.end(), std::begin(kHVC1), std::end(kHVC1));
  } else {
    return nullptr;
  }
  put24(payload, cts);
  if (!block->empty()) payload.insert(payload.end(), block->data(), block->data() + block->size());
  return std::make_shared<RTMPVideoMessage>(streamId, timestamp, std::move(payload));
}

bool RTMPVideoMessage::isSupported() const {
  const Data& p = payload();
  if (p.empty()) return false;
  if (isExtended()) return p.size() >= 5 && std::memcmp(p.data() + 1, kHVC1, 4) == 0;
  return (p[0] & 0x0F) == kCodecAVC;
}

platform::FormatDescriptionRef RTMPVideoMessage::makeFormatDescription() const {
  const Data& p = payload();
  if (p.size() < 5 || !isSupported()) return nullptr;
  const Data record(p.begin() + 5, p.end());
  if (isExtended()) return HEVCDecoderConfigurationRecord(record).makeFormatDescription();
  return AVCDecoderConfigurationRecord(record).makeFormatDescription();
}

int32_t RTMPVideoMessage::compositionTime() const {
  const Data& p = payload();
  size_t offset;
  if (isExtended()) {
    if ((p[0] & 0x0F) != kPacketCodedFrames) return 0;
    offset = 5;
  } else {
    offset = 2;
  }
  if (p.size() < offset + 3) return 0;
  int32_t v = (int32_t(p[offset]) << 16) | (int32_t(p[offset + 1]) << 8) | p[offset + 2];
  if (v & 0x800000) v -= 0x1000000;
  return v;
}

platform::SampleBufferRef RTMPVideoMessage::makeSampleBuffer(
    const platform::MediaTime& presentationTime, const platform::FormatDescriptionRef& formatDescription) const {
  const Data& p = payload();
  if (p.empty()) return nullptr;
  const size_t header = isExtended() && (p[0] & 0x0F) == kPacketCodedFrames ? 8 : 5;
  if (p.size() < header) return nullptr;
  const int32_t cts = compositionTime();
  platform::SampleTiming timing;
  timing.duration = platform::MediaTime::invalid();
  if (cts != 0) {
    timing.presentationTime = presentationTime + platform::MediaTime(cts, 1000);
    timing.decodeTime = presentationTime;
  } else {
    timing.presentationTime = presentationTime;
    timing.decodeTime = platform::MediaTime::invalid();
  }
  auto block = platform::BlockBuffer::copy(p.data() + header, p.size() - header);
  auto sample = platform::SampleBuffer::makeData(std::move(block), formatDescription, timing);
  if (!sample) return nullptr;
  const uint8_t frameType = (p[0] >> 4) & 0x07;
  sample->setNotSync(frameType != kFrameKey);
  return sample;
}

}  // namespace rtmpmedley
