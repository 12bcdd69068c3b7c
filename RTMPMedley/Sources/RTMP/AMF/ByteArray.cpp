#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"

#include <algorithm>
#include <stdexcept>

namespace rtmpmedley {

std::vector<uint32_t> ByteArray::toUInt32Words() const {
  if (position() < 0 || bytesAvailable() < 0 || bytesAvailable() % 4 != 0) return {};
  std::vector<uint32_t> words;
  words.reserve(static_cast<size_t>(bytesAvailable() / 4));
  const auto& bytes = data();
  for (int64_t i = position(); i < length(); i += 4) {
    const uint8_t* p = bytes.data() + i;
    words.push_back(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
  }
  return words;
}

void ByteArray::forEachBlock(size_t size, const std::function<void(ByteArray&)>& body) const {
  if (size == 0) throw std::invalid_argument("block size must be positive");
  if (position() < 0 || position() >= length()) return;
  const auto& bytes = data();
  for (size_t offset = static_cast<size_t>(position()); offset < bytes.size(); offset += size) {
    const size_t n = std::min(size, bytes.size() - offset);
    ByteArray block(std::span<const uint8_t>(bytes.data() + offset, n));
    body(block);
  }
}

}  // namespace rtmpmedley
