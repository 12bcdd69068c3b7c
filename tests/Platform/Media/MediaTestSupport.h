#pragma once
#include "Platform/Media/AudioFormat.h"

namespace platform::testing {

// Stereo AAC, 1024 frames a packet; packets of variable size unless bytesPerPacket is set.
inline AudioFormat aacFormat(double sampleRate = 44100, uint32_t bytesPerPacket = 0) {
  AudioStreamBasicDescription d;
  d.sampleRate = sampleRate;
  d.formatID = audioFormatID::mpeg4AAC;
  d.formatFlags = 1;
  d.bytesPerPacket = bytesPerPacket;
  d.framesPerPacket = 1024;
  d.channelsPerFrame = 2;
  return *AudioFormat::fromStreamDescription(d);
}

}  // namespace platform::testing
