#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"

#include <string>
#include <utility>

#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

AudioMixerByMultiTrack::~AudioMixerByMultiTrack() { releaseAudioNodes(); }

const AudioMixerTrack* AudioMixerByMultiTrack::track(uint8_t id) const {
  auto it = tracks_.find(id);
  return it == tracks_.end() ? nullptr : it->second.get();
}

std::map<uint8_t, platform::AudioFormat> AudioMixerByMultiTrack::inputFormats() const {
  std::map<uint8_t, platform::AudioFormat> formats;
  for (const auto& [id, track] : tracks_)
    if (track->audioConverter()) formats.emplace(id, track->audioConverter()->inputFormat());
  return formats;
}

void AudioMixerByMultiTrack::setSettings(AudioMixerSettings settings) {
  const AudioMixerSettings oldValue = std::exchange(settings_, std::move(settings));
  if (inSourceFormat_ && (settings_.sampleRate != oldValue.sampleRate || settings_.channels != oldValue.channels))
    setOutputFormat(settings_.makeOutputFormat(inSourceFormat_.get()));
  for (const auto& [id, trackSettings] : settings_.tracks) {
    auto it = tracks_.find(id);
    if (it != tracks_.end()) it->second->setSettings(trackSettings);
    if (mixerNode_ && id < mixerNode_->busCount(AudioNode::BusScope::input))
      mixerNode_->setVolume(AudioNode::BusScope::input, id, trackSettings.clampedVolume());
  }
}

std::unique_ptr<AudioMixerTrack> AudioMixerByMultiTrack::makeTrack(uint8_t id) {
  // Each track starts with its own settings, so that volume and mute outlive a change of format.
  auto track = std::make_unique<AudioMixerTrack>(id, *outputFormat_, settings_.trackSettings(id));
  track->setDelegate(this);
  return track;
}

void AudioMixerByMultiTrack::makeBuffer(uint8_t id) {
  auto ring = AudioRingBuffer::make(*outputFormat_, kBufferCounts);
  if (ring) {
    buffers_[id] = std::move(ring);
  } else {
    buffers_.erase(id);
  }
  MEDLEY_LOG_TRACE("buffers:", buffers_.size(), "rings");
}

AudioMixerTrack* AudioMixerByMultiTrack::trackFor(uint8_t id) {
  if (auto it = tracks_.find(id); it != tracks_.end()) return it->second.get();
  // Audio of a track that comes before the main track's format is known is dropped.
  if (!outputFormat_) return nullptr;
  auto* track = (tracks_[id] = makeTrack(id)).get();
  tryToSetupAudioNodes();
  makeBuffer(id);
  return track;
}

void AudioMixerByMultiTrack::setSourceFormat(platform::FormatDescriptionRef description) {
  const bool same =
      description == inSourceFormat_ || (description && inSourceFormat_ && *description == *inSourceFormat_);
  if (same) return;
  inSourceFormat_ = std::move(description);
  setOutputFormat(settings_.makeOutputFormat(inSourceFormat_.get()));
}

void AudioMixerByMultiTrack::setOutputFormat(std::optional<platform::AudioFormat> format) {
  if (!format || format == outputFormat_) return;
  outputFormat_ = std::move(format);
  for (auto& [id, track] : tracks_) {
    makeBuffer(id);
    track = makeTrack(id);
  }
  tryToSetupAudioNodes();
}

void AudioMixerByMultiTrack::append(uint8_t track, const platform::SampleBuffer& sampleBuffer) {
  if (track == settings_.mainTrack) setSourceFormat(sampleBuffer.formatDescription());
  if (auto* t = trackFor(track)) t->append(sampleBuffer);
}

void AudioMixerByMultiTrack::append(uint8_t track, const platform::PCMBuffer& buffer, const platform::AudioTime& when) {
  if (track == settings_.mainTrack) {
    const auto* current = inSourceFormat_ ? inSourceFormat_->audioFormat() : nullptr;
    if (!(current && *current == buffer.format() && inSourceFormat_->magicCookie().empty()))
      setSourceFormat(buffer.format().makeFormatDescription());
  }
  if (auto* t = trackFor(track)) t->append(buffer, when);
}

void AudioMixerByMultiTrack::trackDidOutput(AudioMixerTrack& track, const platform::PCMBuffer& buffer,
                                            const platform::AudioTime& when) {
  if (auto it = buffers_.find(track.id()); it != buffers_.end()) it->second->append(buffer, when);
  if (track.id() != settings_.mainTrack) return;
  if (!anchor_) {
    sampleTime_ = when.sampleTime;
    anchor_ = when;
  }
  mix(buffer.frameLength());
}

void AudioMixerByMultiTrack::tryToSetupAudioNodes() {
  try {
    setupAudioNodes();
  } catch (const std::exception& e) {
    releaseAudioNodes();
    MEDLEY_LOG_ERROR(e.what());
    if (auto delegate = delegate_.lock()) delegate->audioMixerErrorOccurred(*this, e.what());
  }
}

void AudioMixerByMultiTrack::releaseAudioNodes() {
  // The output node pulls from the mixer node: it goes first.
  outputNode_.reset();
  mixerNode_.reset();
}

void AudioMixerByMultiTrack::setupAudioNodes() {
  releaseAudioNodes();
  if (!outputFormat_) return;
  sampleTime_ = 0;
  anchor_.reset();
  using Scope = AudioNode::BusScope;
  auto mixer = std::make_unique<MixerNode>(*outputFormat_);
  // One bus per possible number up to the highest in use, so that numbers with
  // gaps between them still name existing buses; the unused ones stay disabled.
  const uint32_t buses = tracks_.empty() ? 1 : uint32_t{tracks_.rbegin()->first} + 1;
  mixer->setBusCount(buses, Scope::input);
  for (const auto& [id, track] : tracks_) {
    mixer->setEnabled(id, true);
    mixer->setStreamFormat(Scope::input, id, *outputFormat_);
    mixer->setRenderCallback(id, &AudioMixerByMultiTrack::inputRenderCallback, this);
    mixer->setVolume(Scope::input, id, track->settings().clampedVolume());
  }
  mixer->setStreamFormat(Scope::output, 0, *outputFormat_);
  mixer->setVolume(Scope::output, 0, 1.0f);
  auto output = std::make_unique<OutputNode>(*outputFormat_);
  mixer->connect(*output, 0, 0);
  mixer->initialize();
  output->initialize();
  mixerNode_ = std::move(mixer);
  outputNode_ = std::move(output);
  MEDLEY_LOG_INFO("mixerAudioUnit: " + std::to_string(buses) + " input buses for " + std::to_string(tracks_.size()) +
                  " tracks, " + outputFormat_->description());
}

int32_t AudioMixerByMultiTrack::inputRenderCallback(void* refCon, uint32_t bus, uint32_t frames, int64_t,
                                                    platform::PCMBuffer& ioData) {
  auto* mixer = static_cast<AudioMixerByMultiTrack*>(refCon);
  if (bus > 255) return AudioNode::kInvalidElement;
  const int32_t status = mixer->render(bus, frames, ioData);
  if (status != AudioNode::kNoErr) {
    if (auto delegate = mixer->delegate_.lock())
      delegate->audioMixerErrorOccurred(*mixer, "bus " + std::to_string(bus) + " rendered " + std::to_string(status));
  }
  return AudioNode::kNoErr;
}

int32_t AudioMixerByMultiTrack::render(uint32_t bus, uint32_t frames, platform::PCMBuffer& ioData) {
  auto it = buffers_.find(static_cast<uint8_t>(bus));
  // A track without frames plays silence, never what the list held before.
  if (it == buffers_.end() || it->second->counts() == 0) {
    ioData.zero();
    return AudioNode::kNoErr;
  }
  return it->second->render(frames, &ioData);
}

void AudioMixerByMultiTrack::mix(uint32_t frames) {
  if (!outputNode_) return;
  platform::PCMBuffer* rendered = nullptr;
  try {
    rendered = &outputNode_->render(frames, sampleTime_);
  } catch (const std::exception& e) {
    if (auto delegate = delegate_.lock()) delegate->audioMixerErrorOccurred(*this, e.what());
    return;
  }
  if (!anchor_) return;
  const double rate = rendered->format().sampleRate();
  platform::AudioTime when = platform::AudioTime::withSampleTime(sampleTime_, rate);
  if (anchor_->hostTimeValid && anchor_->sampleRate > 0) {
    when.hostTime =
        anchor_->hostTime + static_cast<platform::Nanos>(static_cast<double>(sampleTime_ - anchor_->sampleTime) * 1e9 /
                                                         anchor_->sampleRate);
    when.hostTimeValid = true;
  }
  if (auto delegate = delegate_.lock()) delegate->audioMixerDidOutput(*this, muted(*rendered, settings_.isMuted), when);
  sampleTime_ += frames;
}

}  // namespace medley
