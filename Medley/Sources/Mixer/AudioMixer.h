#pragma once
// Turns the audio arriving on numbered input tracks into one stream of PCM
// buffers in a single output format, each with its time, for a delegate.
// AudioMixerBySingleTrack passes the main track through; AudioMixerByMultiTrack
// sums every track on the main track's clock.
//
// Not synchronised: the owner calls a mixer from one thread at a time, and the
// delegate is called synchronously inside append.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "Medley/Sources/Mixer/AudioMixerDelegate.h"
#include "Medley/Sources/Mixer/AudioMixerSettings.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioMixer {
 public:
  virtual ~AudioMixer() = default;

  // Held weakly.
  virtual std::shared_ptr<AudioMixerDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<AudioMixerDelegate> delegate) = 0;

  virtual const AudioMixerSettings& settings() const = 0;
  virtual void setSettings(AudioMixerSettings settings) = 0;

  // The format in which each track's audio currently arrives.
  virtual std::map<uint8_t, platform::AudioFormat> inputFormats() const = 0;
  // None until the main track's first audio has been seen.
  virtual const std::optional<platform::AudioFormat>& outputFormat() const = 0;

  // Linear PCM in an audio sample buffer, timed by its presentation time.
  virtual void append(uint8_t track, const platform::SampleBuffer& sampleBuffer) = 0;
  // A PCM buffer whose first frame is at `when` (its sample time is used).
  virtual void append(uint8_t track, const platform::PCMBuffer& buffer, const platform::AudioTime& when) = 0;
};

}  // namespace medley
