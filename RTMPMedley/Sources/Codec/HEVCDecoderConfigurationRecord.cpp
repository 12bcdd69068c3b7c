#include "RTMPMedley/Sources/Codec/HEVCDecoderConfigurationRecord.h"

#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

medley::Data HEVCDecoderConfigurationRecord::data() const {
  ByteArray out;
  out.writeUInt8(configurationVersion)
      .writeUInt8(static_cast<uint8_t>((generalProfileSpace << 6) | (generalTierFlag ? 0x20 : 0) |
                                       (generalProfileIdc & 0x1F)))
      .writeUInt32(generalProfileCompatibilityFlags)
      .writeUInt32(static_cast<uint32_t>(generalConstraintIndicatorFlags >> 16))
      .writeUInt16(static_cast<uint16_t>(generalConstraintIndicatorFlags))
      .writeUInt8(generalLevelIdc)
      .writeUInt16(static_cast<uint16_t>(0xF000 | (minSpatialSegmentationIdc & 0x0FFF)))
      .writeUInt8(static_cast<uint8_t>(0xFC | (parallelismType & 0x03)))
      .writeUInt8(static_cast<uint8_t>(0xFC | (chromaFormat & 0x03)))
      .writeUInt8(static_cast<uint8_t>(0xF8 | (bitDepthLumaMinus8 & 0x07)))
      .writeUInt8(static_cast<uint8_t>(0xF8 | (bitDepthChromaMinus8 & 0x07)))
      .writeUInt16(avgFrameRate)
      .writeUInt8(static_cast<uint8_t>((constantFrameRate << 6) | ((numTemporalLayers & 0x07) << 3) |
                                       ((temporalIdNested & 0x01) << 2) | (lengthSizeMinusOne & 0x03)));
  std::vector<std::pair<NALUnitType, std::vector<const medley::Data*>>> arrays;
  for (const auto& [type, units] : array) {
    if (type == NALUnitType::unspec || arrays.size() == 255) continue;
    std::vector<const medley::Data*> fitting;
    for (const auto& u : units)
      if (u.size() <= 0xFFFF && fitting.size() < 0xFFFF) fitting.push_back(&u);
    arrays.emplace_back(type, std::move(fitting));
  }
  out.writeUInt8(static_cast<uint8_t>(arrays.size()));
  for (const auto& [type, units] : arrays) {
    const bool parameterSet = type == NALUnitType::vps || type == NALUnitType::sps || type == NALUnitType::pps;
    out.writeUInt8(static_cast<uint8_t>((parameterSet ? 0x80 : 0) | (static_cast<uint8_t>(type) & 0x3F)));
    out.writeUInt16(static_cast<uint16_t>(units.size()));
    for (const auto* u : units) out.writeUInt16(static_cast<uint16_t>(u->size())).writeBytes(*u);
  }
  return out.takeData();
}

void HEVCDecoderConfigurationRecord::setData(const medley::Data& data) {
  ByteArray in(data);
  try {
    configurationVersion = in.readUInt8();
    const uint8_t b = in.readUInt8();
    generalProfileSpace = b >> 6;
    generalTierFlag = (b & 0x20) != 0;
    generalProfileIdc = b & 0x1F;
    generalProfileCompatibilityFlags = in.readUInt32();
    const uint64_t high = in.readUInt32();
    const uint64_t low = in.readUInt16();
    generalConstraintIndicatorFlags = (high << 16) | low;
    generalLevelIdc = in.readUInt8();
    minSpatialSegmentationIdc = in.readUInt16() & 0x0FFF;
    parallelismType = in.readUInt8() & 0x03;
    chromaFormat = in.readUInt8() & 0x03;
    bitDepthLumaMinus8 = in.readUInt8() & 0x07;
    bitDepthChromaMinus8 = in.readUInt8() & 0x07;
    avgFrameRate = in.readUInt16();
    const uint8_t packed = in.readUInt8();
    constantFrameRate = packed >> 6;
    numTemporalLayers = (packed >> 3) & 0x07;
    temporalIdNested = (packed >> 2) & 0x01;
    lengthSizeMinusOne = packed & 0x03;
    numberOfArrays = in.readUInt8();
    for (int i = 0; i < numberOfArrays; ++i) {
      const uint8_t header = in.readUInt8();
      const NALUnitType type = medley::makeHEVCNALUnitType(header & 0x3F).value_or(NALUnitType::unspec);
      auto& units = array[type];
      units.clear();
      const uint16_t count = in.readUInt16();
      for (int k = 0; k < count; ++k) {
        const uint16_t n = in.readUInt16();
        units.push_back(in.readBytes(n));
      }
    }
  } catch (const ByteArray::Error&) {
    RTMP_LOG_ERROR(in.debugDescription());
  }
}

platform::FormatDescriptionRef HEVCDecoderConfigurationRecord::makeFormatDescription() const {
  auto first = [this](NALUnitType type) -> const medley::Data* {
    auto it = array.find(type);
    if (it == array.end() || it->second.empty() || it->second.front().empty()) return nullptr;
    return &it->second.front();
  };
  const medley::Data* vps = first(NALUnitType::vps);
  const medley::Data* sps = first(NALUnitType::sps);
  const medley::Data* pps = first(NALUnitType::pps);
  if (!vps || !sps || !pps) return nullptr;
  const auto info = medley::VideoDecoderConfiguration::readHEVCSequenceInfo(*sps);
  if (!info) return nullptr;
  const auto hvcC = medley::VideoDecoderConfiguration::makeHEVC({*vps}, {*sps}, {*pps});
  if (!hvcC) return nullptr;
  platform::VideoExtensions extensions;
  extensions.sampleDescriptionAtoms["hvcC"] = *hvcC;
  return platform::FormatDescription::makeVideo(platform::codec::hevc, info->width, info->height,
                                                std::move(extensions));
}

std::string HEVCDecoderConfigurationRecord::debugDescription() const {
  std::string arrays = "[";
  bool firstEntry = true;
  for (const auto& [type, units] : array) {
    if (!firstEntry) arrays += ", ";
    firstEntry = false;
    arrays += std::to_string(static_cast<int>(type)) + ": " + describeByteLists(units);
  }
  arrays += array.empty() ? ":]" : "]";
  return medley::Mirror::make("HEVCDecoderConfigurationRecord",
                              {{"configurationVersion", configurationVersion},
                               {"generalProfileSpace", generalProfileSpace},
                               {"generalTierFlag", generalTierFlag},
                               {"generalProfileIdc", generalProfileIdc},
                               {"generalProfileCompatibilityFlags", generalProfileCompatibilityFlags},
                               {"generalConstraintIndicatorFlags", generalConstraintIndicatorFlags},
                               {"generalLevelIdc", generalLevelIdc},
                               {"minSpatialSegmentationIdc", minSpatialSegmentationIdc},
                               {"parallelismType", parallelismType},
                               {"chromaFormat", chromaFormat},
                               {"bitDepthLumaMinus8", bitDepthLumaMinus8},
                               {"bitDepthChromaMinus8", bitDepthChromaMinus8},
                               {"avgFrameRate", avgFrameRate},
                               {"constantFrameRate", constantFrameRate},
                               {"numTemporalLayers", numTemporalLayers},
                               {"temporalIdNested", temporalIdNested},
                               {"lengthSizeMinusOne", lengthSizeMinusOne},
                               {"numberOfArrays", numberOfArrays},
                               {"array", arrays}})
      .debugDescription();
}

}  // namespace rtmpmedley
