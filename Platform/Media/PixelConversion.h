#pragma once
// Picture layout conversions into 8-bit bi-planar 4:2:0 (a luma plane and an
// interleaved CbCr plane), shared by the program renderer and the video
// encoder so that both give one picture the same colours.
#include <cstdint>

namespace platform {

// Gamma-encoded, full-range BGRA to BT.709 video range. Converts width x
// height samples (odd sizes included: the last chroma sample covers what is
// left); chroma is the average of each 2 x 2 block.
void convertBGRAToBT709NV12(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* y, int strideY,
                            uint8_t* uv, int strideUV);

// 16-bit bi-planar samples (10 significant bits at the top) to 8 bits, keeping
// the top eight; matrix and range stay what they were.
void convertP010ToNV12(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, int width, int height,
                       uint8_t* dstY, int dstStrideY, uint8_t* dstUV, int dstStrideUV);

}  // namespace platform
