#pragma once
// A moving test picture and a two-tone sine, timed from zero.
#include <cstdint>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace streamdemo {

// Frame `index` of a picture with a diagonal gradient, a bar sweeping across
// and a square bouncing; presented at (index + 1) / fps seconds.
platform::SampleBufferRef makePicture(int width, int height, int64_t index, int fps);

// Frames per sound block.
inline constexpr uint32_t kSoundBlockFrames = 1024;

// Block `index` of 48 kHz stereo float sound: 440 Hz left, 660 Hz right.
platform::PCMBufferRef makeSound(int64_t index);
// The host time of block `index`, on the picture's time line.
platform::AudioTime soundTime(int64_t index, platform::Nanos origin);

}  // namespace streamdemo
