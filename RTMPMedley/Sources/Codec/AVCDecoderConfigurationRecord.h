#pragma once
// The H.264 "avcC" record of a video sequence header: profile and level bytes
// and the SPS and PPS units (without start codes or length prefixes).
// Reading never fails: a short input leaves the fields read so far and logs
// one error line. High-profile extension bytes after the PPS are ignored.
#include <cstdint>
#include <string>
#include <vector>

#include "Medley/Sources/ISO/DataConvertible.h"
#include "RTMPMedley/Sources/Codec/DecoderConfigurationRecord.h"

namespace rtmpmedley {

class AVCDecoderConfigurationRecord final : public DecoderConfigurationRecord, public medley::DataConvertible {
 public:
  uint8_t configurationVersion = 1;
  uint8_t avcProfileIndication = 0;
  uint8_t profileCompatibility = 0;
  uint8_t avcLevelIndication = 0;
  // Reserved bits (0xFC) and the NAL unit length size minus one, as read.
  uint8_t lengthSizeMinusOneWithReserved = 0;
  // Reserved bits (0xE0) and the SPS count, as read; written with the real count.
  uint8_t numOfSequenceParameterSetsWithReserved = 0;
  std::vector<medley::Data> sequenceParameterSets;
  std::vector<medley::Data> pictureParameterSets;
  uint8_t chromaFormatWithReserve = 0;
  uint8_t bitDepthLumaMinus8WithReserve = 0;
  uint8_t bitDepthChromaMinus8WithReserve = 0;
  std::vector<medley::Data> sequenceParameterSetExt;

  AVCDecoderConfigurationRecord() = default;
  explicit AVCDecoderConfigurationRecord(const medley::Data& data) { setData(data); }

  // The record up to its last PPS. At most 31 SPS and 255 PPS are written,
  // and units longer than 65535 bytes are left out; the counts say what follows.
  medley::Data data() const override;
  void setData(const medley::Data& data) override;

  // From the first SPS and PPS, with 4-byte NAL unit lengths.
  platform::FormatDescriptionRef makeFormatDescription() const override;

  std::string debugDescription() const;
};

}  // namespace rtmpmedley
