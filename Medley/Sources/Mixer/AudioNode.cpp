#include "Medley/Sources/Mixer/AudioNode.h"

#include <algorithm>
#include <cmath>

namespace medley {

namespace {

std::string statusText(int32_t status) { return " (status " + std::to_string(status) + ")"; }

const char* scopeName(AudioNode::BusScope scope) {
  return scope == AudioNode::BusScope::input ? "input" : "output";
}

}  // namespace

AudioNode::Error::Error(Kind kind, int32_t status, const std::string& what)
    : std::runtime_error(what + statusText(status)), kind(kind), status(status) {}

AudioNode::AudioNode(uint32_t inputBuses, uint32_t outputBuses, uint32_t maximumInputBuses)
    : inputs_(inputBuses), outputs_(outputBuses), maximumInputBuses_(maximumInputBuses) {}

std::vector<AudioNode::Input>& AudioNode::busesOf(BusScope scope) {
  return scope == BusScope::input ? inputs_ : outputs_;
}

const std::vector<AudioNode::Input>& AudioNode::busesOf(BusScope scope) const {
  return scope == BusScope::input ? inputs_ : outputs_;
}

void AudioNode::connect(AudioNode& destination, uint32_t sourceBus, uint32_t destinationBus) {
  if (sourceBus >= outputs_.size() || !destination.hasInputBus(destinationBus))
    throw Error(Error::Kind::unableToConnectToNode, kInvalidElement, "no such bus to connect");
  if (destination.initialized_)
    throw Error(Error::Kind::unableToConnectToNode, kInitialized, "cannot connect into an initialised node");
  auto& input = destination.inputs_[destinationBus];
  input.source = this;
  input.sourceBus = sourceBus;
  input.callback = nullptr;
  input.refCon = nullptr;
}

void AudioNode::setBusCount(uint32_t count, BusScope scope) {
  if (initialized_) throw Error(Error::Kind::unableToUpdateBus, kInitialized, "bus count of an initialised node");
  const uint32_t maximum = scope == BusScope::input ? maximumInputBuses_ : static_cast<uint32_t>(outputs_.size());
  if (count > maximum || (scope == BusScope::output && count != outputs_.size()))
    throw Error(Error::Kind::unableToUpdateBus, kInvalidPropertyValue,
                std::string("cannot have ") + std::to_string(count) + " " + scopeName(scope) + " buses");
  busesOf(scope).resize(count);
}

uint32_t AudioNode::busCount(BusScope scope) const { return static_cast<uint32_t>(busesOf(scope).size()); }

void AudioNode::setStreamFormat(BusScope scope, uint32_t bus, const platform::AudioFormat& format) {
  auto& buses = busesOf(scope);
  if (bus >= buses.size())
    throw Error(Error::Kind::unableToUpdateBus, kInvalidElement,
                std::string("no ") + scopeName(scope) + " bus " + std::to_string(bus));
  if (initialized_) throw Error(Error::Kind::unableToUpdateBus, kInitialized, "format of an initialised node");
  if (!format.isValid() || !format.isPCM())
    throw Error(Error::Kind::unableToUpdateBus, kFormatNotSupported, "format " + format.description());
  buses[bus].format = format;
}

const platform::AudioFormat& AudioNode::streamFormat(BusScope scope, uint32_t bus) const {
  const auto& buses = busesOf(scope);
  if (bus >= buses.size())
    throw Error(Error::Kind::unableToRetrieveValue, kInvalidElement,
                std::string("no ") + scopeName(scope) + " bus " + std::to_string(bus));
  return buses[bus].format;
}

void AudioNode::setRenderCallback(uint32_t bus, RenderCallback callback, void* refCon) {
  if (bus >= inputs_.size())
    throw Error(Error::Kind::unableToUpdateBus, kInvalidElement, "no input bus " + std::to_string(bus));
  auto& input = inputs_[bus];
  input.callback = callback;
  input.refCon = refCon;
  input.source = nullptr;
}

void AudioNode::initialize() {
  const int32_t status = prepare();
  if (status != kNoErr) throw Error(Error::Kind::unableToInitializeAudioUnit, status, "cannot initialise the node");
  initialized_ = true;
}

int32_t AudioNode::render(uint32_t frames, int64_t sampleTime, uint32_t bus, platform::PCMBuffer& ioData) {
  if (!initialized_) return kUninitialized;
  if (bus >= outputs_.size()) return kInvalidElement;
  if (frames > kMaximumFramesPerSlice || frames > ioData.frameCapacity()) return kTooManyFramesToProcess;
  const auto& format = outputs_[bus].format;
  if (ioData.format().commonFormat() != format.commonFormat() ||
      ioData.format().channelCount() != format.channelCount() ||
      ioData.format().isInterleaved() != format.isInterleaved())
    return kFormatNotSupported;
  ioData.setFrameLength(frames);
  return renderOutput(frames, sampleTime, bus, ioData);
}

int32_t AudioNode::pullInput(uint32_t bus, uint32_t frames, int64_t sampleTime, platform::PCMBuffer& ioData) {
  ioData.setFrameLength(frames);
  const auto& input = inputs_[bus];
  if (input.source) return input.source->render(frames, sampleTime, input.sourceBus, ioData);
  if (input.callback) return input.callback(input.refCon, bus, frames, sampleTime, ioData);
  ioData.zero();
  return kNoErr;
}

// MixerNode

MixerNode::MixerNode(const platform::AudioFormat& format) : AudioNode(1, 1, kMaximumInputBuses), parameters_(1) {
  setStreamFormat(BusScope::output, 0, format);
  setStreamFormat(BusScope::input, 0, format);
}

void MixerNode::setBusCount(uint32_t count, BusScope scope) {
  AudioNode::setBusCount(count, scope);
  if (scope == BusScope::input) parameters_.resize(count);
}

void MixerNode::setEnabled(uint32_t bus, bool enabled) {
  if (bus >= parameters_.size())
    throw Error(Error::Kind::unableToUpdateBus, kInvalidElement, "no input bus " + std::to_string(bus));
  parameters_[bus].enabled = enabled;
}

bool MixerNode::isEnabled(uint32_t bus) const {
  if (bus >= parameters_.size())
    throw Error(Error::Kind::unableToRetrieveValue, kInvalidElement, "no input bus " + std::to_string(bus));
  return parameters_[bus].enabled;
}

void MixerNode::setVolume(BusScope scope, uint32_t bus, float volume) {
  if (!std::isfinite(volume) || volume < 0)
    throw Error(Error::Kind::unableToUpdateBus, kInvalidPropertyValue, "volume " + std::to_string(volume));
  if (scope == BusScope::output) {
    if (bus != 0) throw Error(Error::Kind::unableToUpdateBus, kInvalidElement, "no output bus " + std::to_string(bus));
    outputVolume_ = volume;
    return;
  }
  if (bus >= parameters_.size())
    throw Error(Error::Kind::unableToUpdateBus, kInvalidElement, "no input bus " + std::to_string(bus));
  parameters_[bus].volume = volume;
}

float MixerNode::volume(BusScope scope, uint32_t bus) const {
  if (scope == BusScope::output) {
    if (bus != 0) throw Error(Error::Kind::unableToRetrieveValue, kInvalidElement, "no output bus");
    return outputVolume_;
  }
  if (bus >= parameters_.size())
    throw Error(Error::Kind::unableToRetrieveValue, kInvalidElement, "no input bus " + std::to_string(bus));
  return parameters_[bus].volume;
}

int32_t MixerNode::prepare() {
  const auto& output = streamFormat(BusScope::output, 0);
  if (output.commonFormat() != platform::CommonFormat::float32) return kFormatNotSupported;
  for (uint32_t bus = 0; bus < busCount(BusScope::input); ++bus) {
    if (parameters_[bus].enabled && !(streamFormat(BusScope::input, bus) == output)) return kFormatNotSupported;
  }
  busBuffer_ = platform::PCMBuffer::make(output, kMaximumFramesPerSlice);
  if (!busBuffer_) return kFormatNotSupported;
  frameGains_.assign(kMaximumFramesPerSlice, 1.0f);
  // Recovers 1 - 1/e of the way back to unity gain in kReleaseSeconds.
  releaseFactor_ = static_cast<float>(std::exp(-1.0 / (kReleaseSeconds * output.sampleRate())));
  gain_ = 1.0f;
  return kNoErr;
}

int32_t MixerNode::renderOutput(uint32_t frames, int64_t sampleTime, uint32_t, platform::PCMBuffer& ioData) {
  const size_t samples = size_t{frames} * ioData.stride();
  bool written = false;
  for (uint32_t bus = 0; bus < parameters_.size(); ++bus) {
    const auto& parameters = parameters_[bus];
    if (!parameters.enabled || parameters.volume == 0.0f) continue;
    // Every pull starts from silence, so a bus that writes nothing never repeats another bus's sound.
    busBuffer_->setFrameLength(frames);
    busBuffer_->zero();
    if (pullInput(bus, frames, sampleTime, *busBuffer_) != kNoErr) continue;
    const float volume = parameters.volume;
    for (uint32_t b = 0; b < ioData.bufferCount(); ++b) {
      float* __restrict out = ioData.floatChannelData()[b];
      const float* __restrict in = busBuffer_->floatChannelData()[b];
      if (written) {
        for (size_t i = 0; i < samples; ++i) out[i] += volume * in[i];
      } else {
        for (size_t i = 0; i < samples; ++i) out[i] = volume * in[i];
      }
    }
    written = true;
  }
  if (!written) ioData.zero();
  if (outputVolume_ != 1.0f) {
    for (uint32_t b = 0; b < ioData.bufferCount(); ++b) {
      float* out = ioData.floatChannelData()[b];
      for (size_t i = 0; i < samples; ++i) out[i] *= outputVolume_;
    }
  }
  limit(ioData, frames);
  return kNoErr;
}

void MixerNode::limit(platform::PCMBuffer& ioData, uint32_t frames) {
  const size_t samples = size_t{frames} * ioData.stride();
  // Eight lanes that the compiler vectorises: the peak, and a sum that only
  // NaN or infinite samples make non-finite (x * 0 is 0 for every finite x).
  constexpr size_t kLanes = 8;
  float peaks[kLanes] = {};
  float poison[kLanes] = {};
  for (uint32_t b = 0; b < ioData.bufferCount(); ++b) {
    const float* out = ioData.floatChannelData()[b];
    size_t i = 0;
    for (; i + kLanes <= samples; i += kLanes) {
      for (size_t l = 0; l < kLanes; ++l) {
        const float a = std::fabs(out[i + l]);
        peaks[l] = a > peaks[l] ? a : peaks[l];
        poison[l] += out[i + l] * 0.0f;
      }
    }
    for (; i < samples; ++i) {
      const float a = std::fabs(out[i]);
      peaks[0] = a > peaks[0] ? a : peaks[0];
      poison[0] += out[i] * 0.0f;
    }
  }
  float peak = 0.0f;
  float sum = 0.0f;
  for (size_t l = 0; l < kLanes; ++l) {
    peak = std::max(peak, peaks[l]);
    sum += poison[l];
  }
  if (!std::isfinite(sum) || !std::isfinite(peak)) {
    // Nothing sensible can be made of a block with NaN or infinite samples.
    ioData.zero();
    return;
  }
  const float target = peak > kCeiling ? kCeiling / peak : 1.0f;
  if (gain_ == 1.0f && target == 1.0f) return;
  if (target < 1.0f) ++limitedBlocks_;
  // At once down to what keeps this block's peak at the ceiling; back up
  // frame by frame from there, never above it.
  float gain = std::min(gain_, target);
  for (uint32_t f = 0; f < frames; ++f) {
    frameGains_[f] = gain;
    gain = std::min(target, 1.0f - (1.0f - gain) * releaseFactor_);
  }
  gain_ = gain > 0.9999f ? 1.0f : gain;
  const uint32_t stride = ioData.stride();
  for (uint32_t b = 0; b < ioData.bufferCount(); ++b) {
    float* out = ioData.floatChannelData()[b];
    for (uint32_t f = 0; f < frames; ++f)
      for (uint32_t c = 0; c < stride; ++c) out[size_t{f} * stride + c] *= frameGains_[f];
  }
}

// OutputNode

namespace {

platform::PCMBufferRef makeOutputBuffer(const platform::AudioFormat& format) {
  auto buffer = platform::PCMBuffer::make(format, OutputNode::kBufferFrames);
  if (!buffer)
    throw OutputNode::Error(OutputNode::Error::Kind::unableToAllocateBuffer, "no buffer for " + format.description());
  return buffer;
}

}  // namespace

OutputNode::OutputNode(const platform::AudioFormat& format) : AudioNode(1, 1, 1), buffer_(makeOutputBuffer(format)) {
  setStreamFormat(BusScope::input, 0, format);
  setStreamFormat(BusScope::output, 0, format);
}

platform::PCMBuffer& OutputNode::render(uint32_t frames, int64_t sampleTime) {
  if (frames > kBufferFrames)
    throw Error(Error::Kind::unableToRenderFrames, std::to_string(frames) + " frames asked, the buffer holds " +
                                                       std::to_string(kBufferFrames));
  const int32_t status = AudioNode::render(frames, sampleTime, 0, *buffer_);
  if (status != kNoErr) throw Error(Error::Kind::unableToRenderFrames, "render failed" + statusText(status));
  return *buffer_;
}

int32_t OutputNode::renderOutput(uint32_t frames, int64_t sampleTime, uint32_t, platform::PCMBuffer& ioData) {
  return pullInput(0, frames, sampleTime, ioData);
}

}  // namespace medley
