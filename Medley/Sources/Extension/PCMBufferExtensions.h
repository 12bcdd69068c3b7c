#pragma once
// Operations on PCM buffers shared by the mixers, the ring buffer, the codec
// and the recorder: copying, silencing, wrapping as a sample buffer, and the
// host time of an audio time.
#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

// Copies the source's samples into `destination`. False (nothing copied) when
// the source is not PCM, holds another number of frames, or is laid out
// differently (sample type, channel count or interleaving), so a copy never
// reads beyond the source.
bool copy(platform::PCMBuffer& destination, const platform::AudioBuffer& source);

// With `flag`, zeroes the buffer's frameLength frames; returns the same buffer.
platform::PCMBuffer& muted(platform::PCMBuffer& buffer, bool flag);

// A sample buffer holding a copy of the buffer's frames, presented at the
// time's host time. Interleaved frames are laid end to end; planar channels
// follow one another, each frameLength samples long. None (with a warning)
// when the buffer's format cannot be described.
platform::SampleBufferRef makeSampleBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& when);

// The time's host time at timescale 1e9.
platform::MediaTime makeTime(const platform::AudioTime& time);

}  // namespace medley
