#include "RTMPMedley/Sources/Codec/AVCDecoderConfigurationRecord.h"

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

namespace {

std::vector<const medley::Data*> writable(const std::vector<medley::Data>& units, size_t limit) {
  std::vector<const medley::Data*> out;
  for (const auto& u : units) {
    if (out.size() == limit) break;
    if (u.size() <= 0xFFFF) out.push_back(&u);
  }
  return out;
}

}  // namespace

medley::Data AVCDecoderConfigurationRecord::data() const {
  const auto sps = writable(sequenceParameterSets, 31);
  const auto pps = writable(pictureParameterSets, 255);
  ByteArray out;
  out.writeUInt8(configurationVersion)
      .writeUInt8(avcProfileIndication)
      .writeUInt8(profileCompatibility)
      .writeUInt8(avcLevelIndication)
      .writeUInt8(lengthSizeMinusOneWithReserved)
      .writeUInt8(static_cast<uint8_t>((numOfSequenceParameterSetsWithReserved & 0xE0) | sps.size()));
  for (const auto* s : sps) out.writeUInt16(static_cast<uint16_t>(s->size())).writeBytes(*s);
  out.writeUInt8(static_cast<uint8_t>(pps.size()));
  for (const auto* p : pps) out.writeUInt16(static_cast<uint16_t>(p->size())).writeBytes(*p);
  return out.takeData();
}

void AVCDecoderConfigurationRecord::setData(const medley::Data& data) {
  ByteArray in(data);
  try {
    configurationVersion = in.readUInt8();
    avcProfileIndication = in.readUInt8();
    profileCompatibility = in.readUInt8();
    avcLevelIndication = in.readUInt8();
    lengthSizeMinusOneWithReserved = in.readUInt8();
    numOfSequenceParameterSetsWithReserved = in.readUInt8();
    const int spsCount = numOfSequenceParameterSetsWithReserved & 0x1F;
    for (int i = 0; i < spsCount; ++i) {
      const uint16_t n = in.readUInt16();
      sequenceParameterSets.push_back(in.readBytes(n));
    }
    const int ppsCount = in.readUInt8();
    for (int i = 0; i < ppsCount; ++i) {
      const uint16_t n = in.readUInt16();
      pictureParameterSets.push_back(in.readBytes(n));
    }
  } catch (const ByteArray::Error&) {
    RTMP_LOG_ERROR(in.debugDescription());
  }
}

platform::FormatDescriptionRef AVCDecoderConfigurationRecord::makeFormatDescription() const {
  if (sequenceParameterSets.empty() || pictureParameterSets.empty()) return nullptr;
  const medley::Data& sps = sequenceParameterSets.front();
  const medley::Data& pps = pictureParameterSets.front();
  if (sps.empty() || pps.empty()) return nullptr;
  const auto info = medley::VideoDecoderConfiguration::readAVCSequenceInfo(sps);
  if (!info) return nullptr;
  const auto avcC = medley::VideoDecoderConfiguration::makeAVC({sps}, {pps});
  if (!avcC) return nullptr;
  platform::VideoExtensions extensions;
  extensions.sampleDescriptionAtoms["avcC"] = *avcC;
  return platform::FormatDescription::makeVideo(platform::codec::h264, info->width, info->height,
                                                std::move(extensions));
}

std::string AVCDecoderConfigurationRecord::debugDescription() const {
  return medley::Mirror::make("AVCDecoderConfigurationRecord",
                              {{"configurationVersion", configurationVersion},
                               {"avcProfileIndication", avcProfileIndication},
                               {"profileCompatibility", profileCompatibility},
                               {"avcLevelIndication", avcLevelIndication},
                               {"lengthSizeMinusOneWithReserved", lengthSizeMinusOneWithReserved},
                               {"numOfSequenceParameterSetsWithReserved", numOfSequenceParameterSetsWithReserved},
                               {"sequenceParameterSets", describeByteLists(sequenceParameterSets)},
                               {"pictureParameterSets", describeByteLists(pictureParameterSets)},
                               {"chromaFormatWithReserve", chromaFormatWithReserve},
                               {"bitDepthLumaMinus8WithReserve", bitDepthLumaMinus8WithReserve},
                               {"bitDepthChromaMinus8WithReserve", bitDepthChromaMinus8WithReserve},
                               {"sequenceParameterSetExt", describeByteLists(sequenceParameterSetExt)}})
      .debugDescription();
}

}  // namespace rtmpmedley
