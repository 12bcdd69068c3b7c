#include "Platform/Audio/PulseAudioCapture.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>

#include <algorithm>

#include "Platform/Audio/CaptureStamps.h"
#include "Platform/Media/AudioFormat.h"

namespace platform {

namespace {

struct SourceQuery {
  PulseAudioContext* context;
  bool found = false;
  uint8_t channels = 0;
};

void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<SourceQuery*>(userdata);
  if (eol) {
    q->context->signal();
    return;
  }
  if (info) {
    q->found = true;
    q->channels = info->sample_spec.channels;
  }
}

class PulseCaptureSession final : public AudioCaptureSession {
 public:
  PulseCaptureSession(std::shared_ptr<PulseAudioContext> context, uint32_t channels, AudioCapture::Handlers handlers)
      : context_(std::move(context)),
        channels_(channels),
        format_(AudioFormat::standard(AudioCapture::kSampleRate, channels)),
        handlers_(std::move(handlers)) {}

  ~PulseCaptureSession() override { stop(); }

  uint32_t channels() const override { return channels_; }

  // Under the lock.
  void connect(const std::string& source) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(AudioCapture::kSampleRate),
                        static_cast<uint8_t>(channels_)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, static_cast<unsigned>(channels_), PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(context_->context(), "microphone", &spec, &map);
    if (!stream_)
      throw AudioCaptureError({AudioCaptureFailure::Kind::outputRefused, context_->lastError()});
    pa_stream_set_state_callback(stream_, &PulseCaptureSession::onState, this);
    pa_stream_set_read_callback(stream_, &PulseCaptureSession::onRead, this);
    pa_stream_set_overflow_callback(stream_, &PulseCaptureSession::onBreak, this);
    pa_stream_set_suspended_callback(stream_, &PulseCaptureSession::onBreak, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(stream_, source.c_str(), &attr, flags) < 0) refuse();
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) refuse();
      context_->waitForSignal();
    }
    ready_ = true;
  }

  void stop() override {
    if (!stream_) return;
    PulseAudioContext::Lock lock(*context_);
    release();
  }

 private:
  // Under the lock: the server would not record from the source.
  [[noreturn]] void refuse() {
    const int code = pa_context_errno(context_->context());
    const std::string error = context_->lastError();
    release();
    throw AudioCaptureError(
        {code == PA_ERR_ACCESS ? AudioCaptureFailure::Kind::notAuthorized : AudioCaptureFailure::Kind::inputRefused,
         error});
  }

  // Under the lock.
  void release() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  static void onState(pa_stream*, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    self->context_->signal();
    const pa_stream_state_t state = pa_stream_get_state(self->stream_);
    if (!self->ready_ || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return;
    self->ready_ = false;
    if (!self->handlers_.onFailure) return;
    // A stream ends with its source (it is pinned there); a connection that broke
    // is an error of the server.
    if (pa_context_get_state(self->context_->context()) == PA_CONTEXT_READY)
      self->handlers_.onFailure({AudioCaptureFailure::Kind::disconnected, "the source went away"});
    else
      self->handlers_.onFailure({AudioCaptureFailure::Kind::runtimeError, self->context_->lastError()});
  }

  // The server dropped sound (an overrun) or the source paused: what follows
  // is not continuous with what came before.
  static void onBreak(pa_stream*, void* userdata) { static_cast<PulseCaptureSession*>(userdata)->stamps_.reanchor(); }

  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (data)
        self->deliver(static_cast<const float*>(data), bytes);
      else  // a hole: sound the server lost, which the line still runs through
        self->stamps_.skip(static_cast<int64_t>(bytes / (sizeof(float) * self->channels_)));
      pa_stream_drop(stream);
    }
  }

  void deliver(const float* samples, size_t bytes) {
    const auto frames = static_cast<uint32_t>(bytes / (sizeof(float) * channels_));
    if (frames == 0) return;
    auto buffer = handlers_.onBuffer ? PCMBuffer::make(format_, frames) : nullptr;
    if (!buffer || !buffer->floatChannelData()) {
      stamps_.skip(frames);  // not handed on, but the line runs through it
      return;
    }
    buffer->setFrameLength(frames);
    float* const* out = buffer->floatChannelData();
    for (uint32_t f = 0; f < frames; ++f)
      for (uint32_t c = 0; c < channels_; ++c) out[c][f] = samples[f * channels_ + c];
    // The first sample was captured the source's latency plus this fragment ago.
    pa_usec_t latency = 0;
    int negative = 0;
    double lag = 0;
    if (pa_stream_get_latency(stream_, &latency, &negative) == 0 && !negative) lag = static_cast<double>(latency) / 1e6;
    const double duration = static_cast<double>(frames) / AudioCapture::kSampleRate;
    const double arrival = toSeconds(monotonicNow());
    handlers_.onBuffer(std::move(buffer), stamps_.stamp(frames, arrival - lag - duration, arrival));
  }

  std::shared_ptr<PulseAudioContext> context_;
  uint32_t channels_;
  AudioFormat format_;
  AudioCapture::Handlers handlers_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;
  CaptureStamps stamps_{AudioCapture::kSampleRate};
};

}  // namespace

PulseAudioCapture::PulseAudioCapture(std::shared_ptr<PulseAudioContext> context) : context_(std::move(context)) {}

std::unique_ptr<AudioCaptureSession> PulseAudioCapture::open(const std::string& sourceName, Handlers handlers) {
  PulseAudioContext::Lock lock(*context_);
  if (!context_->isConnected())
    throw AudioCaptureError({AudioCaptureFailure::Kind::cannotOpen, "the sound server is not connected"});
  SourceQuery query{context_.get()};
  context_->wait(pa_context_get_source_info_by_name(context_->context(), sourceName.c_str(), onSource, &query));
  if (!query.found) throw AudioCaptureError({AudioCaptureFailure::Kind::cannotOpen, "no such source"});
  const uint32_t channels = query.channels == 0 ? 1 : std::min<uint32_t>(query.channels, 2);
  auto session = std::make_unique<PulseCaptureSession>(context_, channels, std::move(handlers));
  session->connect(sourceName);
  return session;
}

}  // namespace platform
