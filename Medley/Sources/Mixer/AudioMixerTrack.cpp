#include "Medley/Sources/Mixer/AudioMixerTrack.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "Medley/Sources/Extension/AudioFormatFactory.h"
#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

// Copies `frames` frames of the same layout from `from` at `fromFrame` to `to` at `toFrame`.
void copyFrames(const platform::PCMBuffer& from, uint32_t fromFrame, platform::PCMBuffer& to, uint32_t toFrame,
                uint32_t frames) {
  const size_t frameBytes = to.bytesPerFrameInBuffer();
  for (uint32_t b = 0; b < to.bufferCount(); ++b) {
    std::memcpy(to.rawChannelData()[b] + toFrame * frameBytes, from.rawChannelData()[b] + fromFrame * frameBytes,
                frames * frameBytes);
  }
}

bool describesFormat(const platform::FormatDescriptionRef& description, const platform::AudioFormat& format) {
  if (!description || !description->magicCookie().empty()) return false;
  const auto* audio = description->audioFormat();
  return audio != nullptr && *audio == format;
}

}  // namespace

AudioMixerTrack::AudioMixerTrack(uint8_t id, platform::AudioFormat outputFormat, AudioMixerTrackSettings settings)
    : id_(id), outputFormat_(std::move(outputFormat)), settings_(std::move(settings)) {}

void AudioMixerTrack::setSettings(AudioMixerTrackSettings settings) {
  const AudioMixerTrackSettings oldValue = std::exchange(settings_, std::move(settings));
  settings_.apply(audioConverter_.get(), oldValue);
}

void AudioMixerTrack::setSourceFormat(platform::FormatDescriptionRef description) {
  const bool same =
      description == inSourceFormat_ || (description && inSourceFormat_ && *description == *inSourceFormat_);
  if (same) return;
  inSourceFormat_ = std::move(description);
  setUp(inSourceFormat_);
}

void AudioMixerTrack::setUp(const platform::FormatDescriptionRef& description) {
  const auto inputFormat = AVAudioUtil::makeAudioFormat(description.get());
  if (!inputFormat || !inputFormat->isPCM()) {
    if (delegate_)
      delegate_->trackErrorOccurred(
          *this, "no PCM format for " + (description ? description->description() : std::string("no description")));
    return;
  }
  ringBuffer_ = AudioRingBuffer::make(*inputFormat, kRingBufferCounts);
  inputBuffer_ = platform::PCMBuffer::make(*inputFormat, kInputBufferFrames);
  outputBuffer_ = platform::PCMBuffer::make(outputFormat_, kFramesPerBlock);
  scratchBuffer_ = platform::PCMBuffer::make(outputFormat_, kFramesPerBlock);
  pendingFrames_ = 0;
  MEDLEY_LOG_INFO("inputFormat:", inputFormat->description() + ",", "outputFormat:", outputFormat_.description());
  audioTime_.reset();
  std::string error;
  audioConverter_ = platform::AudioConverter::make(*inputFormat, outputFormat_, &error);
  if (!audioConverter_) {
    if (delegate_) delegate_->trackErrorOccurred(*this, error);
    return;
  }
  applySettings();
}

void AudioMixerTrack::applySettings() {
  audioConverter_->setDownmix(settings_.downmix);
  if (auto map = settings_.validatedChannelMap(*audioConverter_)) {
    audioConverter_->setChannelMap(*map);
    return;
  }
  const uint32_t outputs = outputFormat_.channelCount();
  const uint32_t inputs = audioConverter_->inputFormat().channelCount();
  // A map picks channels; extra input channels that are to be mixed down take no map.
  if (settings_.downmix && inputs > outputs) return;
  if (outputs == 1) {
    audioConverter_->setChannelMap({0});
  } else if (outputs == 2) {
    audioConverter_->setChannelMap(inputs == 1 ? std::vector<int>{0, 0} : std::vector<int>{0, 1});
  }
}

void AudioMixerTrack::append(const platform::SampleBuffer& sampleBuffer) {
  setSourceFormat(sampleBuffer.formatDescription());
  if (!audioTime_.hasAnchor()) audioTime_.anchor(sampleBuffer.presentationTime(), outputFormat_.sampleRate());
  if (ringBuffer_) ringBuffer_->append(sampleBuffer);
  convertAvailable();
}

void AudioMixerTrack::append(const platform::PCMBuffer& buffer, const platform::AudioTime& when) {
  if (!describesFormat(inSourceFormat_, buffer.format())) setSourceFormat(buffer.format().makeFormatDescription());
  if (!audioTime_.hasAnchor()) {
    // Output times count at the output rate, whatever rate the input's time is given at.
    platform::AudioTime anchor = when;
    const double rate = outputFormat_.sampleRate();
    if (when.sampleRate > 0 && when.sampleRate != rate) {
      anchor.sampleTime = std::llround(static_cast<double>(when.sampleTime) * rate / when.sampleRate);
    }
    anchor.sampleRate = rate;
    audioTime_.anchor(anchor);
  }
  if (ringBuffer_) ringBuffer_->append(buffer, when);
  convertAvailable();
}

void AudioMixerTrack::convertAvailable() {
  if (!ringBuffer_ || !inputBuffer_ || !outputBuffer_ || !scratchBuffer_ || !audioConverter_) return;
  const platform::AudioConverter::InputBlock input = [this](uint32_t wanted,
                                                            platform::AudioConverter::InputStatus& status) {
    const uint32_t n = std::min(wanted, inputBuffer_->frameCapacity());
    if (n == 0 || ringBuffer_->counts() < n) {
      status = platform::AudioConverter::InputStatus::noDataNow;
      return platform::PCMBufferRef();
    }
    inputBuffer_->setFrameLength(n);
    ringBuffer_->render(n, inputBuffer_.get());
    status = platform::AudioConverter::InputStatus::haveData;
    return inputBuffer_;
  };
  if (passesThrough()) {
    // Already in the output format: whole blocks straight from the ring, without a conversion pass.
    while (ringBuffer_->counts() >= kFramesPerBlock - pendingFrames_) {
      outputBuffer_->setFrameLength(kFramesPerBlock);
      ringBuffer_->render(kFramesPerBlock - pendingFrames_, outputBuffer_.get(), pendingFrames_);
      emitBlock();
    }
    return;
  }
  while (audioConverter_) {
    std::string error;
    const bool direct = pendingFrames_ == 0;
    platform::PCMBuffer& target = direct ? *outputBuffer_ : *scratchBuffer_;
    const auto status = audioConverter_->convert(target, input, &error);
    if (status == platform::AudioConverter::OutputStatus::error) {
      if (delegate_) delegate_->trackErrorOccurred(*this, error);
      return;
    }
    uint32_t got = target.frameLength();
    if (direct) {
      pendingFrames_ = got;
      if (pendingFrames_ == kFramesPerBlock) emitBlock();
    } else {
      uint32_t offset = 0;
      while (got > 0) {
        const uint32_t n = std::min(got, kFramesPerBlock - pendingFrames_);
        copyFrames(target, offset, *outputBuffer_, pendingFrames_, n);
        pendingFrames_ += n;
        offset += n;
        got -= n;
        if (pendingFrames_ == kFramesPerBlock) emitBlock();
      }
    }
    if (status != platform::AudioConverter::OutputStatus::haveData) return;
  }
}

bool AudioMixerTrack::passesThrough() const {
  if (!(audioConverter_->inputFormat() == outputFormat_)) return false;
  const auto& map = audioConverter_->channelMap();
  for (size_t i = 0; i < map.size(); ++i)
    if (map[i] != static_cast<int>(i)) return false;
  return true;
}

void AudioMixerTrack::emitBlock() {
  outputBuffer_->setFrameLength(kFramesPerBlock);
  pendingFrames_ = 0;
  muted(*outputBuffer_, settings_.isMuted);
  const platform::AudioTime when = audioTime_.at();
  audioTime_.advance(kFramesPerBlock);
  if (delegate_) delegate_->trackDidOutput(*this, *outputBuffer_, when);
}

}  // namespace medley
