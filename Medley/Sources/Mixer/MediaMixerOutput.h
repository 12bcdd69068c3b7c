#pragma once
// The receivers of a MediaMixer's media. The mixer asks each output which
// video and audio track it takes and hands over only the matching buffers.
// Track 255 names the mixed picture and the mixed sound; 0 to 254 name
// capture tracks; no value takes nothing of that kind.
#include <cstdint>
#include <optional>

#include "Platform/Concurrency/Async.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class MediaMixer;

// The track that names the mixer's mixed picture and mixed sound.
inline constexpr uint8_t kMixedTrack = 255;

// Outputs are identified by object identity. The hand-offs are called from the
// mixer's actor, other actors or any thread, and must not block: conformers
// only enqueue the buffer for their own tasks.
class MediaMixerOutput {
 public:
  virtual ~MediaMixerOutput() = default;

  // The video track the output takes.
  virtual platform::Async<std::optional<uint8_t>> videoTrackId() = 0;
  // The audio track the output takes.
  virtual platform::Async<std::optional<uint8_t>> audioTrackId() = 0;
  // A video buffer of the output's video track.
  virtual void mixer(MediaMixer& mixer, const platform::SampleBufferRef& sampleBuffer) = 0;
  // A buffer of mixed sound, for an output whose audio track is 255.
  virtual void mixer(MediaMixer& mixer, const platform::PCMBufferRef& buffer, const platform::AudioTime& when) = 0;
  // Sets the audio or the video track; another media type changes nothing.
  virtual platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) = 0;
};

// The two track choices of an output, for conformers to keep.
struct MediaMixerTrackSelection {
  std::optional<uint8_t> videoTrackId = kMixedTrack;
  std::optional<uint8_t> audioTrackId = kMixedTrack;

  void select(std::optional<uint8_t> id, platform::MediaType mediaType) {
    switch (mediaType) {
      case platform::MediaType::audio:
        audioTrackId = id;
        break;
      case platform::MediaType::video:
        videoTrackId = id;
        break;
      default:
        break;
    }
  }
};

}  // namespace medley
