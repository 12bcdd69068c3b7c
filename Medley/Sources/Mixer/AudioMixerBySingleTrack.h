#pragma once
// The audio mixer that passes only the main track through: it converts the
// main track's audio to the output format and hands each block, muted when the
// mixer is, to its delegate. Audio of other tracks is dropped.
#include <memory>
#include <optional>

#include "Medley/Sources/Mixer/AudioMixer.h"
#include "Medley/Sources/Mixer/AudioMixerTrack.h"
#include "Medley/Sources/Mixer/AudioMixerTrackDelegate.h"

namespace medley {

class AudioMixerBySingleTrack final : public AudioMixer, public AudioMixerTrackDelegate {
 public:
  AudioMixerBySingleTrack() = default;

  std::shared_ptr<AudioMixerDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<AudioMixerDelegate> delegate) override { delegate_ = std::move(delegate); }

  const AudioMixerSettings& settings() const override { return settings_; }
  void setSettings(AudioMixerSettings settings) override;

  std::map<uint8_t, platform::AudioFormat> inputFormats() const override;
  const std::optional<platform::AudioFormat>& outputFormat() const override { return outputFormat_; }

  void append(uint8_t track, const platform::SampleBuffer& sampleBuffer) override;
  void append(uint8_t track, const platform::PCMBuffer& buffer, const platform::AudioTime& when) override;

  void trackDidOutput(AudioMixerTrack& track, const platform::PCMBuffer& buffer,
                      const platform::AudioTime& when) override;

  // The main track, once the first audio has set the output format.
  const AudioMixerTrack* track() const { return track_.get(); }

 private:
  void setSourceFormat(platform::FormatDescriptionRef description);
  void setOutputFormat(std::optional<platform::AudioFormat> format);

  std::weak_ptr<AudioMixerDelegate> delegate_;
  AudioMixerSettings settings_;
  std::optional<platform::AudioFormat> outputFormat_;
  platform::FormatDescriptionRef inSourceFormat_;
  std::unique_ptr<AudioMixerTrack> track_;
  // The block handed on when the mixer is muted (the track's own stays as converted).
  platform::PCMBufferRef mutedBuffer_;
};

}  // namespace medley
