#pragma once
// Four-character codes ('avc1', 'lpcm', '420v') as 32-bit big-endian numbers.
#include <cstdint>
#include <string>

namespace platform {

using FourCC = uint32_t;

constexpr FourCC fourCC(const char (&s)[5]) {
  return (FourCC(uint8_t(s[0])) << 24) | (FourCC(uint8_t(s[1])) << 16) | (FourCC(uint8_t(s[2])) << 8) |
         FourCC(uint8_t(s[3]));
}

// Printable codes as their four characters, anything else as a decimal number.
std::string fourCCString(FourCC code);

namespace codec {
constexpr FourCC h264 = fourCC("avc1");
constexpr FourCC hevc = fourCC("hvc1");
}  // namespace codec

}  // namespace platform
