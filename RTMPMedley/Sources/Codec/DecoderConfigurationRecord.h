#pragma once
// A codec configuration carried by a video sequence header ("avcC", "hvcC"),
// from which a video format description for decoding is made.
#include <string>
#include <vector>

#include "Medley/Sources/Extension/Data.h"
#include "Platform/Media/FormatDescription.h"

namespace rtmpmedley {

class DecoderConfigurationRecord {
 public:
  virtual ~DecoderConfigurationRecord() = default;
  // None when the record lacks a parameter set or the platform refuses them.
  virtual platform::FormatDescriptionRef makeFormatDescription() const = 0;

 protected:
  DecoderConfigurationRecord() = default;
  DecoderConfigurationRecord(const DecoderConfigurationRecord&) = default;
  DecoderConfigurationRecord& operator=(const DecoderConfigurationRecord&) = default;
};

// "[[103, 66], [104]]": byte lists in decimal, as the records print them.
std::string describeByteLists(const std::vector<medley::Data>& lists);

}  // namespace rtmpmedley
