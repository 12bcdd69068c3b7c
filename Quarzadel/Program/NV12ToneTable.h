#pragma once
#include <array>
#include <cstdint>
#include <optional>

#include "Quarzadel/Program/NV12Frame.h"

namespace quarzadel::nv12 {

// Per-sample tables: one for luma, one for both chroma components.
struct ToneTable {
  std::array<uint8_t, 256> luma;
  std::array<uint8_t, 256> chroma;
  // Brightness added to gamma-encoded RGB (a luma offset) and saturation
  // (chroma scaled about neutral), in video range.
  static ToneTable colorControls(double brightness, double saturation);

  // The same tables as arithmetic that runs many samples at a time, when it
  // gives every entry exactly: luma v + offset, chroma ((v - 128) x gain + bias)
  // / 32768 rounded down, each clamped to its range.
  struct Arithmetic {
    int lumaOffset = 0;
    int chromaGain = 0;
    int chromaBias = 0;
  };
  std::optional<Arithmetic> arithmetic;
};
void apply(const NV12Frame& f, const ToneTable& table);

}  // namespace quarzadel::nv12
