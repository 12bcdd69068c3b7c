#pragma once
// Sample-buffer and format-description helpers: the key-frame flag, whether a
// description is of encoded media, and reading PCM frames out of an audio
// sample buffer (the layout makeSampleBuffer writes: interleaved frames end to
// end, or planar channels one after another).
#include <cstdint>

#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

// Whether the first sample is marked as not a key frame.
bool isNotSync(const platform::SampleBuffer& sampleBuffer);
void setNotSync(platform::SampleBuffer& sampleBuffer, bool notSync);

// False for descriptions whose subtype is a raw pixel format, true for any other
// (encoded video such as 'avc1'/'hvc1', and audio). False without a description.
bool isCompressed(const platform::FormatDescription* description);

// Copies `frames` frames starting at `frameOffset` from an audio sample
// buffer into `destination` from its frame 0, bytes as they are (a big-endian
// source stays big-endian). 0 on success; -1 (nothing copied) when the
// sample buffer holds no PCM, the frames are not all there, the destination
// is too small, or its sample size, channel count or interleaving differ.
int32_t copyPCMData(const platform::SampleBuffer& sampleBuffer, uint32_t frameOffset, uint32_t frames,
                    platform::PCMBuffer& destination);

}  // namespace medley
