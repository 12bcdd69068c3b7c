#pragma once
// The vector form of the way up from BT.709 8-bit video range to HLG 10-bit
// (see HLGConversion.h): sixteen pixels at a time in 16-bit fixed point, the
// transfer curves as polynomials in registers, no table in memory.
#include <cstdint>

namespace medley {

// Whole 2x2 blocks [0, blocks) of a pair of lines, eight blocks at a time: the
// blocks' interleaved Cb Cr bytes, the two lines' luma bytes in, the two lines'
// 10-bit luma and the blocks' 10-bit Cb Cr out (P010, the code in the high
// bits). Returns how many blocks it did, a multiple of eight; the caller
// converts the rest. Only for processors with AVX2 and FMA.
int convertBT709ToHLGBlocks(const uint8_t* uv, const uint8_t* line0, const uint8_t* line1, uint16_t* out0,
                            uint16_t* out1, uint16_t* outUV, int blocks);

}  // namespace medley
