#include "RTMPMedley/Sources/Codec/DecoderConfigurationRecord.h"

namespace rtmpmedley {

std::string describeByteLists(const std::vector<medley::Data>& lists) {
  std::string out = "[";
  for (size_t i = 0; i < lists.size(); ++i) {
    if (i) out += ", ";
    out += "[";
    for (size_t j = 0; j < lists[i].size(); ++j) {
      if (j) out += ", ";
      out += std::to_string(lists[i][j]);
    }
    out += "]";
  }
  return out + "]";
}

}  // namespace rtmpmedley
