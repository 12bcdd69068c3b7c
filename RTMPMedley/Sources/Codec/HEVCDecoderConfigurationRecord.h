#pragma once
// The H.265 "hvcC" record of an enhanced video sequence header: general
// profile, tier and level fields and the parameter-set arrays keyed by NAL
// unit type (types without a name are filed under `unspec`). Reading never
// fails: a short input leaves what was read and logs one error line.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Medley/Sources/ISO/DataConvertible.h"
#include "Medley/Sources/ISO/NALUnit.h"
#include "RTMPMedley/Sources/Codec/DecoderConfigurationRecord.h"

namespace rtmpmedley {

class HEVCDecoderConfigurationRecord final : public DecoderConfigurationRecord, public medley::DataConvertible {
 public:
  using NALUnitType = medley::HEVCNALUnitType;

  uint8_t configurationVersion = 1;
  uint8_t generalProfileSpace = 0;
  bool generalTierFlag = false;
  uint8_t generalProfileIdc = 0;
  uint32_t generalProfileCompatibilityFlags = 0;
  uint64_t generalConstraintIndicatorFlags = 0;  // low 48 bits
  uint8_t generalLevelIdc = 0;
  uint16_t minSpatialSegmentationIdc = 0;
  uint8_t parallelismType = 0;
  uint8_t chromaFormat = 0;
  uint8_t bitDepthLumaMinus8 = 0;
  uint8_t bitDepthChromaMinus8 = 0;
  uint16_t avgFrameRate = 0;
  uint8_t constantFrameRate = 0;
  uint8_t numTemporalLayers = 0;
  uint8_t temporalIdNested = 0;
  uint8_t lengthSizeMinusOne = 0;
  uint8_t numberOfArrays = 0;
  std::map<NALUnitType, std::vector<medley::Data>> array;

  HEVCDecoderConfigurationRecord() = default;
  explicit HEVCDecoderConfigurationRecord(const medley::Data& data) { setData(data); }

  // The full layout with the reserved bits set; `unspec` arrays (whose real
  // type is lost) and units longer than 65535 bytes are left out.
  medley::Data data() const override;
  void setData(const medley::Data& data) override;

  // From the first VPS, SPS and PPS, with 4-byte NAL unit lengths.
  platform::FormatDescriptionRef makeFormatDescription() const override;

  std::string debugDescription() const;
};

}  // namespace rtmpmedley
