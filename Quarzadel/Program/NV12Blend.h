#pragma once
// Blending rows and whole pictures between two others.
#include <cstdint>

#include "Quarzadel/Program/NV12Frame.h"

namespace quarzadel::nv12 {

// One row of n bytes, (r0 x (256 - fraction) + r1 x fraction + 128) / 256 rounded
// down, fraction 0...255; at 0 r1 is not read.
void blendRow(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int fraction);
// Two rows between the same pair: d0 as blendRow(r0, r1, d0, n, fraction0), d1
// likewise, the pair read once for both.
void blendRowPair(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int fraction0, uint8_t* d1, int fraction1,
                  int n);

// dst = from + (to - from) x t, t in 0...1, on both planes.
void interpolate(const NV12Frame& from, const NV12Frame& to, const NV12Frame& dst, double t);

}  // namespace quarzadel::nv12
