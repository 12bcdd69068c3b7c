#pragma once
// Pictures filled with one colour, and pictures of other layouts, matrices and
// ranges converted to BT.709 video range.
#include <cstdint>

#include "Platform/Media/ColorAttachments.h"
#include "Quarzadel/Program/NV12Frame.h"

namespace quarzadel::nv12 {

void fill(const NV12Frame& dst, YCbCr color);

// BGRA (gamma-encoded, full range) to BT.709 video range.
void convertBGRA(const uint8_t* bgra, int stride, int width, int height, const NV12Frame& dst);

// 16-bit bi-planar samples (10 significant bits at the top) to 8 bits; same matrix and range.
void convertP010(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, const NV12Frame& dst);

// The matrix a picture is in when it carries no tag: BT.601 below 720 rows, BT.709 from 720 on.
platform::YCbCrMatrix effectiveMatrix(platform::YCbCrMatrix tagged, int height);
// Whether a picture in this matrix and range must be converted to be BT.709 video range.
bool needsConversion(platform::YCbCrMatrix matrix, bool fullRange);
// Any YCbCr matrix and range to BT.709 video range (same size).
void convertToBT709(const NV12Frame& src, platform::YCbCrMatrix matrix, bool fullRange, const NV12Frame& dst);

}  // namespace quarzadel::nv12
