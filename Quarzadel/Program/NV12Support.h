#pragma once
// Helpers that the picture operations' own files share; callers include NV12Ops.h.
#include <algorithm>
#include <cstdint>

#include "Quarzadel/Program/NV12ToneTable.h"

namespace quarzadel::nv12 {

inline uint8_t clampByte(int v, int lo = 0, int hi = 255) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); }

// Scratch rows start on 64-byte boundaries.
inline int aligned(int bytes) { return (bytes + 63) & ~63; }

// Whether the processor has byte shuffles (SSSE3).
inline bool hasShuffles() {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
#else
  return false;
#endif
}

// The table's luma or chroma part on `rows` rows of `bytes`.
void tonePlane(uint8_t* plane, int stride, int bytes, int rows, const ToneTable& table, bool luma);

}  // namespace quarzadel::nv12
