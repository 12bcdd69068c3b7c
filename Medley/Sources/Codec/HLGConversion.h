#pragma once
// Pictures between the standard range (BT.709, 8-bit video range 4:2:0) and the
// high dynamic range the picture path tags its 10-bit frames with (BT.2020
// primaries, BT.2100 HLG, 10-bit video range 4:2:0). The colour is converted,
// not only relabelled: BT.709 signal -> scene light -> BT.2020 primaries ->
// HLG signal. Standard-range white lands at 75% of the HLG signal, the
// reference white of HLG production, so a standard picture keeps its look
// beside native HLG and leaves headroom above it. The way back clips what lies
// beyond the standard range. Where the processor has the vectors, the way up
// is computed sixteen pixels at a time in 16-bit fixed point and the way back
// eight at a time in single precision, their transfer curves as polynomials
// (no table to keep in memory): the compositor converts every moving picture
// whose range differs from its frame's, each frame.
#include <array>

#include "Platform/Media/PixelBuffer.h"

namespace medley {

// Nonlinear R'G'B' in 0...1 of one colour in each encoding.
std::array<double, 3> hlgFromBT709(const std::array<double, 3>& rgb709);
std::array<double, 3> bt709FromHLG(const std::array<double, 3>& rgbHLG);

// True for a picture tagged with the HLG transfer.
bool isHLG(const platform::PixelBuffer& picture);

// An 8-bit video-range picture (nv12) into a 10-bit one (p010) of the same
// size, tagged BT.2020 / HLG. Nothing when the formats or sizes do not match.
bool convertBT709ToHLG(const platform::PixelBuffer& nv12, platform::PixelBuffer& p010);
// The same into the part of a larger 10-bit picture whose top-left corner is at
// (x, y), both even, leaving the rest and the picture's tags as they are.
// Nothing when the formats do not match or the picture does not fit whole.
bool convertBT709ToHLG(const platform::PixelBuffer& nv12, platform::PixelBuffer& p010, long x, long y);
// A 10-bit HLG picture as a new 8-bit BT.709 video-range picture, tagged so.
platform::PixelBufferRef convertHLGToBT709(const platform::PixelBuffer& p010);

// Whether the conversions above take the vector kernels where the processor
// has them (the default), or convert every pixel one by one through tables, as
// on a processor without them; returns the choice it replaces. Both forms
// stay within a code of the exact one, which tests check through each.
bool setHLGVectorKernelsAllowed(bool allowed);

}  // namespace medley
