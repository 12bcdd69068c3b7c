#pragma once
// The smoke's synthetic program: moving colour bars with a square that
// travels one step per frame, and a 440/660 Hz stereo tone with a click on
// every full second (so that picture and sound can be lined up by eye).
#include <cstdint>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace rtmpsmoke {

inline constexpr uint32_t kSoundRate = 48000;
inline constexpr uint32_t kSoundBlockFrames = 1024;

// Frame `index`, presented at index / fps seconds.
platform::SampleBufferRef makePicture(int width, int height, int64_t index, int fps);
// Sound block `index` (1024 frames of 48 kHz stereo float).
platform::PCMBufferRef makeSound(int64_t index);
// The time of block `index` on the picture's time line (0 = the first picture).
platform::AudioTime soundTime(int64_t index);

}  // namespace rtmpsmoke
