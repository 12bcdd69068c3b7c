#pragma once
// Byte helpers and real parameter sets (320x240, from x264) for the RTMP tests.
#include <cstdint>
#include <string>
#include <vector>

#include "Medley/Sources/Extension/Data.h"

namespace rtmptest {

using Bytes = std::vector<uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Bytes that change from one offset to the next, so a misplaced piece shows.
inline Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}

inline const Bytes kAVCSPS = {0x67, 0x42, 0xC0, 0x0D, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00,
                              0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0xC0, 0xF1, 0x42, 0xA4, 0x80};
inline const Bytes kAVCPPS = {0x68, 0xCB, 0x83, 0xCB, 0x20};

// An avcC of one SPS and one PPS.
inline Bytes avcC(const Bytes& sps, const Bytes& pps) {
  Bytes out = {0x01, sps.at(1), sps.at(2), sps.at(3), 0xFF, 0xE1, uint8_t(sps.size() >> 8), uint8_t(sps.size())};
  out.insert(out.end(), sps.begin(), sps.end());
  out.insert(out.end(), {0x01, uint8_t(pps.size() >> 8), uint8_t(pps.size())});
  out.insert(out.end(), pps.begin(), pps.end());
  return out;
}

// The 23-byte hvcC header before the arrays, then the given arrays (type, units).
inline Bytes hvcC(const std::vector<std::pair<uint8_t, std::vector<Bytes>>>& arrays) {
  Bytes out = {0x01, 0x01, 0x60, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x3C, 0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F, uint8_t(arrays.size())};
  for (const auto& [type, units] : arrays) {
    out.insert(out.end(), {type, uint8_t(units.size() >> 8), uint8_t(units.size())});
    for (const auto& u : units) {
      out.insert(out.end(), {uint8_t(u.size() >> 8), uint8_t(u.size())});
      out.insert(out.end(), u.begin(), u.end());
    }
  }
  return out;
}

}  // namespace rtmptest
