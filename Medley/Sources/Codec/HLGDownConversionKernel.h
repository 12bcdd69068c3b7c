#pragma once
// The vector form of the way back from HLG 10-bit to BT.709 8-bit video range
// (see HLGConversion.h): eight pixels at a time in single precision, the
// transfer curves as polynomials fitted once, no table in memory.
#include <cstdint>

namespace medley {

// Whole 2x2 blocks [0, blocks) of a pair of lines, eight blocks at a time: the
// blocks' interleaved 10-bit Cb Cr, the two lines' 10-bit luma in (P010, the
// code in the high bits); the two lines' 8-bit luma and the blocks' 8-bit Cb Cr
// out. Returns how many blocks it did, a multiple of eight; the caller converts
// the rest. Only for processors with AVX2 and FMA.
int convertHLGToBT709Blocks(const uint16_t* uv, const uint16_t* line0, const uint16_t* line1, uint8_t* out0,
                            uint8_t* out1, uint8_t* outUV, int blocks);

}  // namespace medley
