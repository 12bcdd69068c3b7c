#pragma once
// The MD5 message digest (RFC 1321), used by the challenge-response login of
// ingest servers. Not for anything that needs a secure hash.
#include <array>
#include <cstdint>
#include <span>

namespace rtmpmedley {

class MD5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  // The digest of the bytes; any length, the empty input included.
  static Digest calculate(std::span<const uint8_t> bytes);
};

}  // namespace rtmpmedley
