#include "Platform/Audio/PulseAudioPlayback.h"

#include <pulse/channelmap.h>
#include <pulse/introspect.h>
#include <pulse/volume.h>

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

float sampleAt(const PCMBuffer& buffer, uint32_t channel, uint32_t frame) {
  const auto& format = buffer.format();
  const uint32_t channels = format.channelCount();
  const bool interleaved = format.isInterleaved();
  const uint32_t plane = interleaved ? 0 : channel;
  const size_t index = interleaved ? size_t(frame) * channels + channel : frame;
  switch (format.commonFormat()) {
    case CommonFormat::float32:
      return buffer.floatChannelData()[plane][index];
    case CommonFormat::float64:
      return static_cast<float>(buffer.float64ChannelData()[plane][index]);
    case CommonFormat::int16:
      return buffer.int16ChannelData()[plane][index] / 32768.0f;
    case CommonFormat::int32:
      return static_cast<float>(buffer.int32ChannelData()[plane][index] / 2147483648.0);
    default:
      return 0;
  }
}

}  // namespace

std::vector<float> PulseAudioPlayback::interleavedFloat(const PCMBuffer& buffer) {
  const uint32_t channels = buffer.format().channelCount();
  const uint32_t frames = buffer.frameLength();
  std::vector<float> out(size_t(frames) * channels);
  for (uint32_t f = 0; f < frames; ++f)
    for (uint32_t c = 0; c < channels; ++c) out[size_t(f) * channels + c] = sampleAt(buffer, c, f);
  return out;
}

PulseAudioPlayback::PulseAudioPlayback(std::shared_ptr<PulseAudioContext> context,
                                       std::shared_ptr<SerialQueue> completions, std::string sink)
    : context_(std::move(context)), completions_(std::move(completions)), sink_(std::move(sink)) {}

PulseAudioPlayback::~PulseAudioPlayback() {
  std::vector<Completion> dropped;
  {
    PulseAudioContext::Lock lock(*context_);
    close(dropped);
  }
  post(std::move(dropped));
}

void PulseAudioPlayback::connect(const AudioFormat& format) {
  if (!format.isValid() || !format.isPCM() || format.channelCount() > PA_CHANNELS_MAX)
    throw AudioOutputError("not a playable PCM format: " + format.description());
  std::vector<Completion> dropped;
  {
    PulseAudioContext::Lock lock(*context_);
    if (format_ && *format_ == format && stream_) return;
    close(dropped);
    open(format);
  }
  post(std::move(dropped));
}

void PulseAudioPlayback::disconnect() {
  std::vector<Completion> dropped;
  {
    PulseAudioContext::Lock lock(*context_);
    close(dropped);
    format_.reset();
  }
  post(std::move(dropped));
}

bool PulseAudioPlayback::isConnected() const {
  PulseAudioContext::Lock lock(*context_);
  return stream_ != nullptr;
}

std::optional<AudioFormat> PulseAudioPlayback::format() const {
  PulseAudioContext::Lock lock(*context_);
  return format_;
}

void PulseAudioPlayback::open(const AudioFormat& format) {
  if (!context_->isConnected()) throw AudioOutputError("sound server " + context_->server() + " is gone");
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format.sampleRate()),
                      static_cast<uint8_t>(format.channelCount())};
  pa_channel_map map;
  pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  stream_ = pa_stream_new(context_->context(), "playback", &spec, &map);
  if (!stream_) throw AudioOutputError("sound server " + context_->server() + ": " + context_->lastError());
  pa_stream_set_state_callback(stream_, &PulseAudioPlayback::onState, this);
  pa_stream_set_write_callback(stream_, &PulseAudioPlayback::onWrite, this);
  pa_stream_set_latency_update_callback(stream_, &PulseAudioPlayback::onTiming, this);
  pa_stream_set_underflow_callback(stream_, &PulseAudioPlayback::onUnderflow, this);

  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetLatency / 1000, &spec));
  attr.prebuf = static_cast<uint32_t>(pa_usec_to_bytes(20'000, &spec));
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                                    PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
  pa_cvolume volume;
  pa_cvolume_set(&volume, spec.channels, pa_sw_volume_from_linear(volume_));
  if (spec.channels >= 2) pa_cvolume_set_balance(&volume, &map, pan_);
  if (pa_stream_connect_playback(stream_, sink_.empty() ? nullptr : sink_.c_str(), &attr, flags, &volume, nullptr) <
      0) {
    const std::string error = context_->lastError();
    std::vector<Completion> none;
    close(none);
    throw AudioOutputError("sound server " + context_->server() + ": " + error);
  }
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) break;
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      const std::string error = context_->lastError();
      std::vector<Completion> none;
      close(none);
      throw AudioOutputError("sound server " + context_->server() + ": playback failed: " + error);
    }
    context_->waitForSignal();
  }
  format_ = format;
  writtenFrames_ = 0;
  drainedFrames_ = 0;
  playing_ = false;
}

void PulseAudioPlayback::close(std::vector<Completion>& dropped) {
  for (auto* queue : {&unwritten_, &unplayed_}) {
    for (auto& pending : *queue) dropped.push_back(std::move(pending.completion));
    queue->clear();
  }
  playing_ = false;
  writtenFrames_ = 0;
  drainedFrames_ = 0;
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_write_callback(stream_, nullptr, nullptr);
  pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
  pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseAudioPlayback::scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion) {
  {
    PulseAudioContext::Lock lock(*context_);
    if (buffer && stream_ && format_ && buffer->format() == *format_) {
      Pending pending;
      pending.samples = interleavedFloat(*buffer);
      writtenFrames_ += buffer->frameLength();
      pending.endFrame = writtenFrames_;
      pending.completion = std::move(completion);
      unwritten_.push_back(std::move(pending));
      write();
      return;
    }
  }
  post({std::move(completion)});
}

void PulseAudioPlayback::play() {
  PulseAudioContext::Lock lock(*context_);
  if (!stream_ || playing_) return;
  playing_ = true;
  if (pa_operation* operation = pa_stream_cork(stream_, 0, nullptr, nullptr)) pa_operation_unref(operation);
  if (pa_operation* operation = pa_stream_trigger(stream_, nullptr, nullptr)) pa_operation_unref(operation);
}

void PulseAudioPlayback::stop() {
  std::vector<Completion> dropped;
  {
    PulseAudioContext::Lock lock(*context_);
    if (!stream_) return;
    // A fresh stream is the simplest way back to position 0 with nothing queued.
    const AudioFormat format = *format_;
    close(dropped);
    try {
      open(format);
    } catch (const AudioOutputError&) {
      format_.reset();
    }
  }
  post(std::move(dropped));
}

bool PulseAudioPlayback::isPlaying() const {
  PulseAudioContext::Lock lock(*context_);
  return playing_ && stream_;
}

std::optional<int64_t> PulseAudioPlayback::playedFrames() const {
  PulseAudioContext::Lock lock(*context_);
  if (!playing_ || !stream_) return std::nullopt;
  return positionLocked();
}

int64_t PulseAudioPlayback::positionLocked() const {
  pa_usec_t usec = 0;
  if (pa_stream_get_time(stream_, &usec) < 0) return 0;
  // Never past what was written: the clock must not run ahead of the sound.
  const auto heard = std::min<int64_t>(static_cast<int64_t>(usec * format_->sampleRate() / 1e6), writtenFrames_);
  return std::max(heard, drainedFrames_);
}

void PulseAudioPlayback::setVolume(float volume) {
  PulseAudioContext::Lock lock(*context_);
  volume_ = std::clamp(volume, 0.0f, 1.0f);
  applyVolume();
}

void PulseAudioPlayback::setPan(float pan) {
  PulseAudioContext::Lock lock(*context_);
  pan_ = std::clamp(pan, -1.0f, 1.0f);
  applyVolume();
}

std::optional<uint32_t> PulseAudioPlayback::sinkInputIndex() const {
  PulseAudioContext::Lock lock(*context_);
  if (!stream_) return std::nullopt;
  return pa_stream_get_index(stream_);
}

void PulseAudioPlayback::applyVolume() {
  if (!stream_) return;
  const pa_channel_map* map = pa_stream_get_channel_map(stream_);
  pa_cvolume volume;
  pa_cvolume_set(&volume, map->channels, pa_sw_volume_from_linear(volume_));
  if (map->channels >= 2) pa_cvolume_set_balance(&volume, map, pan_);
  if (pa_operation* operation = pa_context_set_sink_input_volume(context_->context(), pa_stream_get_index(stream_),
                                                                 &volume, nullptr, nullptr))
    pa_operation_unref(operation);
}

void PulseAudioPlayback::onState(pa_stream*, void* userdata) {
  static_cast<PulseAudioPlayback*>(userdata)->context_->signal();
}

void PulseAudioPlayback::onWrite(pa_stream*, size_t, void* userdata) {
  auto* self = static_cast<PulseAudioPlayback*>(userdata);
  self->write();
  self->complete();
}

void PulseAudioPlayback::onUnderflow(pa_stream*, void* userdata) {
  auto* self = static_cast<PulseAudioPlayback*>(userdata);
  if (self->unwritten_.empty() && self->playing_) self->drainedFrames_ = self->writtenFrames_;
  self->complete();
}

void PulseAudioPlayback::onTiming(pa_stream*, void* userdata) { static_cast<PulseAudioPlayback*>(userdata)->complete(); }

void PulseAudioPlayback::write() {
  if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  size_t writable = pa_stream_writable_size(stream_);
  bool wrote = false;
  while (writable > 0 && writable != static_cast<size_t>(-1) && !unwritten_.empty()) {
    auto& head = unwritten_.front();
    const size_t total = head.samples.size() * sizeof(float);
    const size_t n = std::min(writable, total - head.writtenBytes);
    if (n > 0) {
      if (pa_stream_write(stream_, reinterpret_cast<const uint8_t*>(head.samples.data()) + head.writtenBytes, n,
                          nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return;
      head.writtenBytes += n;
      writable -= n;
      wrote = true;
    }
    if (head.writtenBytes == total) {
      head.samples = {};
      unplayed_.push_back(std::move(head));
      unwritten_.pop_front();
    }
  }
  // The last bit of sound may be shorter than the server's start threshold.
  if (wrote && unwritten_.empty() && playing_) {
    if (pa_operation* operation = pa_stream_trigger(stream_, nullptr, nullptr)) pa_operation_unref(operation);
  }
}

void PulseAudioPlayback::complete() {
  if (!stream_ || unplayed_.empty() || !playing_) return;
  const int64_t position = positionLocked();
  std::vector<Completion> done;
  while (!unplayed_.empty() && unplayed_.front().endFrame <= position) {
    done.push_back(std::move(unplayed_.front().completion));
    unplayed_.pop_front();
  }
  post(std::move(done));
}

void PulseAudioPlayback::post(std::vector<Completion> completions) {
  for (auto& completion : completions)
    if (completion) completions_->async(std::move(completion));
}

}  // namespace platform
