#include "Medley/Sources/Mixer/AudioMixerBySingleTrack.h"

#include <utility>

namespace medley {

void AudioMixerBySingleTrack::setSettings(AudioMixerSettings settings) {
  settings_ = std::move(settings);
  auto it = settings_.tracks.find(settings_.mainTrack);
  if (it == settings_.tracks.end() || !track_) return;
  track_->setSettings(it->second);
}

std::map<uint8_t, platform::AudioFormat> AudioMixerBySingleTrack::inputFormats() const {
  std::map<uint8_t, platform::AudioFormat> formats;
  if (track_ && track_->audioConverter()) formats.emplace(track_->id(), track_->audioConverter()->inputFormat());
  return formats;
}

void AudioMixerBySingleTrack::setSourceFormat(platform::FormatDescriptionRef description) {
  const bool same =
      description == inSourceFormat_ || (description && inSourceFormat_ && *description == *inSourceFormat_);
  if (same) return;
  inSourceFormat_ = std::move(description);
  setOutputFormat(settings_.makeOutputFormat(inSourceFormat_.get()));
}

void AudioMixerBySingleTrack::setOutputFormat(std::optional<platform::AudioFormat> format) {
  if (!format || format == outputFormat_) return;
  outputFormat_ = std::move(format);
  // The new track keeps the main track's settings, so its mute survives the change of format.
  track_ = std::make_unique<AudioMixerTrack>(settings_.mainTrack, *outputFormat_,
                                             settings_.trackSettings(settings_.mainTrack));
  track_->setDelegate(this);
  mutedBuffer_.reset();
}

void AudioMixerBySingleTrack::append(uint8_t track, const platform::SampleBuffer& sampleBuffer) {
  if (track != settings_.mainTrack) return;
  setSourceFormat(sampleBuffer.formatDescription());
  if (track_) track_->append(sampleBuffer);
}

void AudioMixerBySingleTrack::append(uint8_t track, const platform::PCMBuffer& buffer,
                                     const platform::AudioTime& when) {
  if (track != settings_.mainTrack) return;
  const auto* current = inSourceFormat_ ? inSourceFormat_->audioFormat() : nullptr;
  if (!(current && *current == buffer.format() && inSourceFormat_->magicCookie().empty()))
    setSourceFormat(buffer.format().makeFormatDescription());
  if (track_) track_->append(buffer, when);
}

void AudioMixerBySingleTrack::trackDidOutput(AudioMixerTrack& track, const platform::PCMBuffer& buffer,
                                             const platform::AudioTime& when) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  if (!settings_.isMuted) {
    delegate->audioMixerDidOutput(*this, buffer, when);
    return;
  }
  if (!mutedBuffer_ || mutedBuffer_->frameCapacity() < buffer.frameLength())
    mutedBuffer_ = platform::PCMBuffer::make(buffer.format(), buffer.frameLength());
  if (!mutedBuffer_) return;
  mutedBuffer_->setFrameLength(buffer.frameLength());
  mutedBuffer_->zero();
  delegate->audioMixerDidOutput(*this, *mutedBuffer_, when);
}

}  // namespace medley
