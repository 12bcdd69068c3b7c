#pragma once
// What each fuzz target feeds its bytes through. Shared with the unit test
// that replays the seed corpora, so that every seed runs in the normal build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <vector>

#include "Platform/Media/CompressedAudioBuffer.h"
#include "RTMPMedley/Sources/Codec/AVCDecoderConfigurationRecord.h"
#include "RTMPMedley/Sources/Codec/HEVCDecoderConfigurationRecord.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

namespace rtmpfuzz {

// A broken invariant is a finding.
inline void check(bool condition) {
  if (!condition) std::abort();
}

// Chunk stream: the first byte sets the size of the blocks the rest arrives in.
// Messages come out one read at a time; once malformed, the reader stays so.
inline void chunkStream(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const size_t block = data[0] == 0 ? 255 : data[0];
  std::span<const uint8_t> rest(data + 1, size - 1);
  using Status = rtmpmedley::RTMPChunkReader::Status;
  rtmpmedley::RTMPChunkReader reader;
  size_t messages = 0;
  for (size_t offset = 0; offset < rest.size() && !reader.isMalformed(); offset += block) {
    reader.put(rest.subspan(offset, std::min(block, rest.size() - offset)));
    for (auto r = reader.read(); r.status != Status::needMoreData; r = reader.read()) {
      if (r.status == Status::malformed) {
        check(r.received.message == nullptr && reader.read().status == Status::malformed);
        break;
      }
      check(r.received.message != nullptr);
      check(r.received.message->payload().size() <= rtmpmedley::kMaxMessageLength);
      (void)r.received.message->description();
      ++messages;
    }
  }
  check(reader.bufferedBytes() <= rest.size());
  check(messages <= rest.size());

  // The same blocks lent to append() and handed over as owned blocks read
  // to the same messages.
  rtmpmedley::RTMPChunkReader lent, owned;
  std::vector<rtmpmedley::RTMPMessagePtr> fromLent, fromOwned;
  bool lentMalformed = false, ownedMalformed = false;
  for (size_t offset = 0; offset < rest.size(); offset += block) {
    const auto piece = rest.subspan(offset, std::min(block, rest.size() - offset));
    if (!lentMalformed)
      lentMalformed = lent.append(piece, [&](const auto& r) { fromLent.push_back(r.message); }) == Status::malformed;
    if (ownedMalformed) continue;
    owned.put(rtmpmedley::Data(piece.begin(), piece.end()));
    for (auto r = owned.read(); r.status != Status::needMoreData; r = owned.read()) {
      if (r.status == Status::malformed) {
        ownedMalformed = true;
        break;
      }
      fromOwned.push_back(r.received.message);
    }
  }
  check(lentMalformed == ownedMalformed && lentMalformed == reader.isMalformed());
  check(fromLent.size() == messages && fromOwned.size() == messages);
  for (size_t i = 0; i < messages; ++i)
    check(fromLent[i]->payload() == fromOwned[i]->payload() && fromLent[i]->timestamp == fromOwned[i]->timestamp &&
          fromLent[i]->type() == fromOwned[i]->type());
}

// Every value read is written again, and what is written reads back.
inline void rewrite(const rtmpmedley::AMFValue& value) {
  rtmpmedley::AMF0Serializer out;
  try {
    out.serialize(value);
  } catch (const std::length_error&) {
    return;  // keys beyond 16-bit lengths have no AMF0 form
  }
  out.setPosition(0);
  out.deserialize();
  check(out.bytesAvailable() == 0);
  rtmpmedley::AMF3Serializer out3;
  try {
    out3.serialize(value);
  } catch (const std::length_error&) {
    return;
  }
  out3.setPosition(0);
  try {
    out3.deserialize();
  } catch (const rtmpmedley::AMFSerializerError&) {
    return;  // references may expand past the allowance of a short payload
  }
  check(out3.bytesAvailable() == 0);
}

template <typename Serializer>
inline void amf(const uint8_t* data, size_t size) {
  Serializer s(medley::Data(data, data + size));
  while (s.bytesAvailable() > 0) {
    try {
      const int64_t before = s.position();
      const rtmpmedley::AMFValue value = s.deserialize();
      check(s.position() > before);
      check(s.charged() <= s.budget());
      (void)value.description();
      rewrite(value);
    } catch (const rtmpmedley::ByteArray::Error&) {
      return;
    } catch (const rtmpmedley::AMFSerializerError&) {
      return;
    }
  }
}

inline void amf0(const uint8_t* data, size_t size) { amf<rtmpmedley::AMF0Serializer>(data, size); }
inline void amf3(const uint8_t* data, size_t size) { amf<rtmpmedley::AMF3Serializer>(data, size); }

// Message factory: the first byte is the type id, the rest the payload.
inline void message(const uint8_t* data, size_t size) {
  if (size == 0) return;
  auto m = rtmpmedley::RTMPMessage::make(data[0], 1, 0, medley::Data(data + 1, data + size));
  if (!m) return;
  (void)m->description();
  (void)m->payload();
  if (auto* video = dynamic_cast<rtmpmedley::RTMPVideoMessage*>(m.get())) {
    (void)video->isSupported();
    (void)video->compositionTime();
    auto format = video->makeFormatDescription();
    if (!format) format = platform::FormatDescription::makeVideo(platform::codec::h264, 0, 0);
    (void)video->makeSampleBuffer(platform::MediaTime(1000, 1000), format);
  } else if (auto* audio = dynamic_cast<rtmpmedley::RTMPAudioMessage*>(m.get())) {
    (void)audio->codec();
    if (auto format = audio->makeAudioFormat(); format && !format->isPCM()) {
      if (auto buffer = platform::CompressedAudioBuffer::make(*format, 1, 1024)) (void)audio->copyPayload(*buffer);
    }
  } else if (auto* command = dynamic_cast<rtmpmedley::RTMPCommandMessage*>(m.get())) {
    const rtmpmedley::RTMPResponse response(*command);
    (void)response;
  }
}

inline void avcRecord(const uint8_t* data, size_t size) {
  rtmpmedley::AVCDecoderConfigurationRecord r(medley::Data(data, data + size));
  const rtmpmedley::AVCDecoderConfigurationRecord again(r.data());
  check(again.sequenceParameterSets.size() == std::min<size_t>(r.sequenceParameterSets.size(), 31) ||
        r.sequenceParameterSets.size() > 31);
  (void)r.makeFormatDescription();
  (void)r.debugDescription();
}

inline void hevcRecord(const uint8_t* data, size_t size) {
  rtmpmedley::HEVCDecoderConfigurationRecord r(medley::Data(data, data + size));
  const rtmpmedley::HEVCDecoderConfigurationRecord again(r.data());
  check(again.generalLevelIdc == r.generalLevelIdc);
  (void)r.makeFormatDescription();
  (void)r.debugDescription();
}

}  // namespace rtmpfuzz
