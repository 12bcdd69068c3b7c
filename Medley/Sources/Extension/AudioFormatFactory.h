#pragma once
// Turns what capture or a decoder delivers into audio formats: the channel
// layout for a channel count, and the PCM format for an audio description.
#include <cstdint>
#include <optional>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/FormatDescription.h"

namespace medley {

struct AVAudioUtil {
  // None for 0, 1 and 2 channels (described by their count alone); named
  // layouts for 3 to 6 and 8; discrete channels in order for 7 and above 8.
  static std::optional<platform::AudioChannelLayoutTag> makeChannelLayout(uint32_t channels);

  // The format of an audio description, none without one. Big-endian linear
  // PCM is described in native byte order at its own depth (16-bit as Int16,
  // 32-bit as Int32 or Float32, 24-bit as packed 24-bit), interleaved unless
  // the description is not; whoever copies the samples swaps their bytes.
  static std::optional<platform::AudioFormat> makeAudioFormat(const platform::FormatDescription* description);
};

}  // namespace medley
