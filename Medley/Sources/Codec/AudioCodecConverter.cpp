#include "Medley/Sources/Codec/AudioCodecConverter.h"
#include "Medley/Sources/Util/FFmpegLogBridge.h"

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/AudioConverter.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/FFmpegBridge.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;
using platform::PCMBufferRef;
using Status = AudioCodecConverter::OutputStatus;
using InputStatus = AudioCodecConverter::InputStatus;

namespace {

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string avError(const char* what, int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return std::string(what) + ": " + buf;
}

// One sample of any common format, as a double.
double sampleAt(const PCMBuffer& b, uint32_t channel, uint32_t frame) {
  const bool interleaved = b.format().isInterleaved();
  const uint32_t block = interleaved ? 0 : channel;
  const size_t index = interleaved ? size_t{frame} * b.stride() + channel : frame;
  switch (b.format().commonFormat()) {
    case CommonFormat::float32: return b.floatChannelData()[block][index];
    case CommonFormat::float64: return b.float64ChannelData()[block][index];
    case CommonFormat::int16: return b.int16ChannelData()[block][index] / 32768.0;
    case CommonFormat::int32: return b.int32ChannelData()[block][index] / 2147483648.0;
    case CommonFormat::other: break;
  }
  return 0;
}

// Frames made but not handed out yet, in one format.
class FrameQueue {
 public:
  bool reserve(const AudioFormat& format, uint32_t capacity) {
    if (buffer_ && buffer_->frameCapacity() >= capacity && buffer_->format() == format) return true;
    auto larger = PCMBuffer::make(format, capacity);
    if (!larger) return false;
    if (buffer_ && buffer_->format() == format && frames_ > 0) copyFrames(*buffer_, 0, *larger, 0, frames_);
    else frames_ = 0;
    buffer_ = std::move(larger);
    return true;
  }
  uint32_t frames() const { return frames_; }
  // The caller reserved room for them.
  void append(const PCMBuffer& source) {
    copyFrames(source, 0, *buffer_, frames_, source.frameLength());
    frames_ += source.frameLength();
  }
  // Moves the oldest n frames into `destination` from its frame 0.
  void take(PCMBuffer& destination, uint32_t n) {
    n = std::min({n, frames_, destination.frameCapacity()});
    copyFrames(*buffer_, 0, destination, 0, n);
    destination.setFrameLength(n);
    if (n < frames_) copyFrames(*buffer_, n, *buffer_, 0, frames_ - n);
    frames_ -= n;
  }
  void clear() { frames_ = 0; }

 private:
  static void copyFrames(const PCMBuffer& from, uint32_t fromFrame, PCMBuffer& to, uint32_t toFrame, uint32_t n) {
    const size_t frameBytes = to.bytesPerFrameInBuffer();
    for (uint32_t b = 0; b < to.bufferCount(); ++b)
      std::memmove(to.rawChannelData()[b] + toFrame * frameBytes, from.rawChannelData()[b] + fromFrame * frameBytes,
                   n * frameBytes);
  }
  PCMBufferRef buffer_;
  uint32_t frames_ = 0;
};

AVChannelLayout defaultLayout(uint32_t channels) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, static_cast<int>(channels));
  return layout;
}

// The mixing matrix (outputs x inputs) of a downmix: FFmpeg's standard one
// for the default layouts, else each output averages the inputs i with
// i % outputs equal to its index.
std::vector<double> downmixMatrix(uint32_t inputs, uint32_t outputs) {
  std::vector<double> matrix(size_t{inputs} * outputs, 0.0);
  AVChannelLayout in = defaultLayout(inputs), out = defaultLayout(outputs);
  // The builder writes rows of every channel it knows: give it room for all of them.
  constexpr size_t kAll = 64;
  std::vector<double> full(kAll * kAll, 0.0);
  const bool built = inputs <= kAll && outputs <= kAll && in.order == AV_CHANNEL_ORDER_NATIVE &&
                     out.order == AV_CHANNEL_ORDER_NATIVE &&
                     swr_build_matrix2(&in, &out, M_SQRT1_2, M_SQRT1_2, 0, 1.0, 0, full.data(), kAll,
                                       AV_MATRIX_ENCODING_NONE, nullptr) >= 0;
  av_channel_layout_uninit(&in);
  av_channel_layout_uninit(&out);
  if (built) {
    for (uint32_t o = 0; o < outputs; ++o)
      for (uint32_t i = 0; i < inputs; ++i) matrix[size_t{o} * inputs + i] = full[o * kAll + i];
    return matrix;
  }
  for (uint32_t o = 0; o < outputs; ++o) {
    uint32_t count = 0;
    for (uint32_t i = o; i < inputs; i += outputs) ++count;
    for (uint32_t i = o; i < inputs; i += outputs) matrix[size_t{o} * inputs + i] = 1.0 / count;
  }
  return matrix;
}

}  // namespace

// Turns PCM of one format into whole buffers of another: mixing down when
// asked, then sample type, channel map and rate through the platform converter.
struct AudioCodecConverter::PCMStage {
  using Pull = std::function<PCMBufferRef(uint32_t frames, InputStatus& status)>;

  AudioFormat source;
  AudioFormat target;
  std::unique_ptr<platform::AudioConverter> converter;
  bool mixing = false;
  std::vector<double> matrix;
  AudioFormat mixFormat;
  PCMBufferRef mixBuffer;
  PCMBufferRef temp;
  FrameQueue queue;
  bool ended = false;

  bool build(bool downmix, const std::vector<int>& map, std::string* error) {
    mixing = downmix && map.empty() && target.channelCount() < source.channelCount();
    AudioFormat from = source;
    if (mixing) {
      mixFormat = AudioFormat(CommonFormat::float32, source.sampleRate(), target.channelCount(), false);
      matrix = downmixMatrix(source.channelCount(), target.channelCount());
      from = mixFormat;
    }
    auto made = platform::AudioConverter::make(from, target, error);
    if (!made) return false;
    if (!map.empty() && !made->setChannelMap(map)) {
      setError(error, "the channel map does not fit the formats");
      return false;
    }
    converter = std::move(made);
    queue.clear();
    ended = false;
    return true;
  }

  void reset() {
    if (converter) converter->reset();
    queue.clear();
    ended = false;
  }

  PCMBufferRef mix(const PCMBuffer& in) {
    if (!mixBuffer || mixBuffer->frameCapacity() < in.frameLength()) {
      mixBuffer = PCMBuffer::make(mixFormat, std::max<uint32_t>(in.frameLength(), 1024));
      if (!mixBuffer) return nullptr;
    }
    const uint32_t inputs = in.format().channelCount();
    const uint32_t outputs = mixFormat.channelCount();
    mixBuffer->setFrameLength(in.frameLength());
    for (uint32_t o = 0; o < outputs; ++o) {
      float* dst = mixBuffer->floatChannelData()[o];
      for (uint32_t f = 0; f < in.frameLength(); ++f) {
        double sum = 0;
        for (uint32_t i = 0; i < inputs; ++i) {
          const double m = matrix[size_t{o} * inputs + i];
          if (m != 0) sum += m * sampleAt(in, i, f);
        }
        dst[f] = static_cast<float>(sum);
      }
    }
    return mixBuffer;
  }

  // Fills `out` with exactly `frames` frames (fewer only at the end of the
  // stream); frames made before the input ran dry wait for the next call.
  Status fill(PCMBuffer& out, uint32_t frames, const Pull& pull, std::string* error) {
    out.setFrameLength(0);
    if (frames == 0 || frames > out.frameCapacity()) {
      setError(error, "output buffer holds no frames");
      return Status::error;
    }
    if (!temp || temp->frameCapacity() != frames) temp = PCMBuffer::make(target, frames);
    if (!temp || !queue.reserve(target, 2 * frames)) {
      setError(error, "out of memory");
      return Status::error;
    }
    bool badInput = false;
    auto block = [&](uint32_t wanted, platform::AudioConverter::InputStatus& status) -> PCMBufferRef {
      InputStatus s = InputStatus::haveData;
      PCMBufferRef in = pull(wanted, s);
      if (s == InputStatus::noDataNow) status = platform::AudioConverter::InputStatus::noDataNow;
      if (s == InputStatus::endOfStream) status = platform::AudioConverter::InputStatus::endOfStream;
      if (s != InputStatus::haveData) return nullptr;
      status = platform::AudioConverter::InputStatus::haveData;
      if (!in || !(in->format() == source)) {
        badInput = true;
        return nullptr;
      }
      return mixing ? mix(*in) : in;
    };
    while (queue.frames() < frames && !ended) {
      std::string why;
      const auto status = converter->convert(*temp, block, &why);
      if (status == platform::AudioConverter::OutputStatus::error) {
        setError(error, badInput ? "input buffer is not in the converter's input format" : why);
        return Status::error;
      }
      queue.append(*temp);
      if (status == platform::AudioConverter::OutputStatus::inputRanDry && queue.frames() < frames)
        return Status::inputRanDry;
      if (status == platform::AudioConverter::OutputStatus::endOfStream) ended = true;
    }
    if (queue.frames() == 0) return Status::endOfStream;
    queue.take(out, frames);
    return Status::haveData;
  }
};

struct AudioCodecConverter::Engine {
  virtual ~Engine() = default;
  virtual Status convert(platform::AudioBuffer& output, const InputBlock& input, std::string* error) = 0;
  virtual void reset() = 0;
  virtual bool rebuildStage(bool downmix, const std::vector<int>& map, std::string* error) = 0;
  virtual void setBitRate(int) {}
  virtual bool encodes() const { return false; }
  virtual bool decodes() const { return false; }
};

namespace {

using Packets = std::deque<std::vector<uint8_t>>;

// A packet encoder fed whole frames of its frame size.
struct FrameEncoder {
  virtual ~FrameEncoder() = default;
  virtual bool encode(const PCMBuffer& frame, Packets& out, std::string* error) = 0;
  // `padding`: the silent frames that completed the last frame.
  virtual void flush(Packets& out, uint32_t padding) = 0;
  virtual void setBitRate(int bitRate) = 0;
  virtual bool reset(std::string* error) = 0;
};

using CodecContextPtr = platform::ffmpeg::AVCodecContextPtr;
using PacketPtr = platform::ffmpeg::AVPacketPtr;

class AACEncoder final : public FrameEncoder {
 public:
  AACEncoder(double rate, uint32_t channels, int bitRate) : rate_(rate), channels_(channels), bitRate_(bitRate) {}

  bool open(std::string* error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
      setError(error, "no AAC encoder");
      return false;
    }
    installFFmpegLogBridge();
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
      setError(error, "out of memory");
      return false;
    }
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = static_cast<int>(rate_);
    ctx->bit_rate = bitRate_;
    ctx->profile = FF_PROFILE_AAC_LOW;
    ctx->time_base = AVRational{1, static_cast<int>(rate_)};
    // The encoder knows some channel counts by another layout than the default one.
    std::vector<AVChannelLayout> candidates{defaultLayout(channels_)};
    for (const AVChannelLayout* l = codec->ch_layouts; l && l->nb_channels; ++l)
      if (static_cast<uint32_t>(l->nb_channels) == channels_) candidates.push_back(*l);
    int err = AVERROR(EINVAL);
    for (const auto& layout : candidates) {
      av_channel_layout_uninit(&ctx->ch_layout);
      av_channel_layout_copy(&ctx->ch_layout, &layout);
      err = avcodec_open2(ctx.get(), codec, nullptr);
      if (err >= 0) break;
      CodecContextPtr fresh(avcodec_alloc_context3(codec));
      if (!fresh) break;
      fresh->sample_fmt = ctx->sample_fmt;
      fresh->sample_rate = ctx->sample_rate;
      fresh->bit_rate = ctx->bit_rate;
      fresh->profile = ctx->profile;
      fresh->time_base = ctx->time_base;
      ctx = std::move(fresh);
    }
    if (err < 0) {
      setError(error, avError("cannot open the AAC encoder", err));
      return false;
    }
    if (ctx->frame_size != 1024) {
      setError(error, "the AAC encoder does not take 1024-frame packets");
      return false;
    }
    ctx_ = std::move(ctx);
    packet_.reset(av_packet_alloc());
    nextPts_ = 0;
    return static_cast<bool>(packet_);
  }

  bool encode(const PCMBuffer& frame, Packets& out, std::string* error) override {
    AVFrame* f = av_frame_alloc();
    if (!f) return false;
    f->format = AV_SAMPLE_FMT_FLTP;
    f->sample_rate = ctx_->sample_rate;
    f->nb_samples = static_cast<int>(frame.frameLength());
    av_channel_layout_copy(&f->ch_layout, &ctx_->ch_layout);
    int err = av_frame_get_buffer(f, 0);
    if (err >= 0) {
      // The encoder may keep the frame: it gets memory of its own.
      for (uint32_t c = 0; c < channels_; ++c)
        std::memcpy(f->extended_data[c], frame.floatChannelData()[c], frame.frameLength() * sizeof(float));
      f->pts = nextPts_;
      nextPts_ += frame.frameLength();
      err = avcodec_send_frame(ctx_.get(), f);
    }
    av_frame_free(&f);
    if (err < 0) {
      setError(error, avError("AAC encoding failed", err));
      return false;
    }
    drain(out);
    return true;
  }

  void flush(Packets& out, uint32_t) override {
    if (avcodec_send_frame(ctx_.get(), nullptr) >= 0) drain(out);
  }

  void setBitRate(int bitRate) override {
    bitRate_ = bitRate;
    // The encoder's rate control reads the target for every frame.
    if (ctx_) ctx_->bit_rate = bitRate;
  }

  bool reset(std::string* error) override { return open(error); }

 private:
  void drain(Packets& out) {
    while (avcodec_receive_packet(ctx_.get(), packet_.get()) >= 0) {
      out.emplace_back(packet_->data, packet_->data + packet_->size);
      av_packet_unref(packet_.get());
    }
  }

  double rate_;
  uint32_t channels_;
  int bitRate_;
  CodecContextPtr ctx_;
  PacketPtr packet_;
  int64_t nextPts_ = 0;
};

class OpusPacketEncoder final : public FrameEncoder {
 public:
  OpusPacketEncoder(double rate, uint32_t channels, int bitRate, size_t maxPacket)
      : rate_(rate), channels_(channels), bitRate_(bitRate), maxPacket_(maxPacket) {}
  ~OpusPacketEncoder() override {
    if (enc_) opus_encoder_destroy(enc_);
  }

  bool open(std::string* error) {
    int err = OPUS_OK;
    enc_ = opus_encoder_create(static_cast<opus_int32>(rate_), static_cast<int>(channels_), OPUS_APPLICATION_AUDIO, &err);
    if (!enc_ || err != OPUS_OK) {
      setError(error, std::string("cannot open the Opus encoder: ") + opus_strerror(err));
      enc_ = nullptr;
      return false;
    }
    opus_encoder_ctl(enc_, OPUS_SET_BITRATE(bitRate_));
    return true;
  }

  bool encode(const PCMBuffer& frame, Packets& out, std::string* error) override {
    std::vector<uint8_t> packet(maxPacket_);
    const opus_int32 n = opus_encode_float(enc_, frame.floatChannelData()[0], static_cast<int>(frame.frameLength()),
                                           packet.data(), static_cast<opus_int32>(packet.size()));
    if (n < 0) {
      setError(error, std::string("Opus encoding failed: ") + opus_strerror(n));
      return false;
    }
    packet.resize(static_cast<size_t>(n));
    out.push_back(std::move(packet));
    lastFrameLength_ = frame.frameLength();
    return true;
  }

  // The encoder looks a few milliseconds ahead: unless the padding of the last
  // frame already covered that, one frame of silence carries out the end of
  // the sound it still holds.
  void flush(Packets& out, uint32_t padding) override {
    opus_int32 lookahead = 0;
    if (lastFrameLength_ == 0 || opus_encoder_ctl(enc_, OPUS_GET_LOOKAHEAD(&lookahead)) != OPUS_OK ||
        lookahead <= static_cast<opus_int32>(padding))
      return;
    const std::vector<float> silence(size_t{lastFrameLength_} * channels_, 0.0f);
    std::vector<uint8_t> packet(maxPacket_);
    const opus_int32 n = opus_encode_float(enc_, silence.data(), static_cast<int>(lastFrameLength_), packet.data(),
                                           static_cast<opus_int32>(packet.size()));
    lastFrameLength_ = 0;
    if (n < 0) return;
    packet.resize(static_cast<size_t>(n));
    out.push_back(std::move(packet));
  }

  void setBitRate(int bitRate) override {
    bitRate_ = bitRate;
    if (enc_) opus_encoder_ctl(enc_, OPUS_SET_BITRATE(bitRate));
  }

  bool reset(std::string*) override {
    opus_encoder_ctl(enc_, OPUS_RESET_STATE);
    lastFrameLength_ = 0;
    return true;
  }

 private:
  double rate_;
  uint32_t channels_;
  int bitRate_;
  size_t maxPacket_;
  ::OpusEncoder* enc_ = nullptr;
  uint32_t lastFrameLength_ = 0;  // 0: nothing encoded since the last reset or flush
};

// A packet decoder: each packet gives zero or more PCM buffers.
struct FrameDecoder {
  virtual ~FrameDecoder() = default;
  virtual const AudioFormat& decodedFormat() const = 0;
  virtual void decode(const uint8_t* bytes, size_t size, std::deque<PCMBufferRef>& out) = 0;
  virtual void reset() = 0;
};

class AACDecoder final : public FrameDecoder {
 public:
  bool open(const AudioFormat& format, std::string* error) {
    const auto config = AudioSpecificConfig::fromStreamDescription(format.streamDescription());
    if (!config) {
      setError(error, "the AAC input format has no AudioSpecificConfig: " + format.description());
      return false;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    installFFmpegLogBridge();
    CodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!ctx) {
      setError(error, "no AAC decoder");
      return false;
    }
    const auto bytes = config->bytes();
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return false;
    std::memcpy(ctx->extradata, bytes.data(), bytes.size());
    ctx->extradata_size = static_cast<int>(bytes.size());
    ctx->sample_rate = static_cast<int>(format.sampleRate());
    ctx->ch_layout = defaultLayout(format.channelCount());
    ctx->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
    const int err = avcodec_open2(ctx.get(), codec, nullptr);
    if (err < 0) {
      setError(error, avError("cannot open the AAC decoder", err));
      return false;
    }
    ctx_ = std::move(ctx);
    packet_.reset(av_packet_alloc());
    frame_ = av_frame_alloc();
    decoded_ = AudioFormat(CommonFormat::float32, format.sampleRate(), format.channelCount(), false);
    return packet_ && frame_;
  }
  ~AACDecoder() override { av_frame_free(&frame_); }

  const AudioFormat& decodedFormat() const override { return decoded_; }

  void decode(const uint8_t* bytes, size_t size, std::deque<PCMBufferRef>& out) override {
    if (size == 0 || av_new_packet(packet_.get(), static_cast<int>(size)) < 0) return;
    std::memcpy(packet_->data, bytes, size);
    const int err = avcodec_send_packet(ctx_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (err < 0) {
      MEDLEY_LOG_WARN("AAC decoding failed:", avError("send", err));
      return;
    }
    while (avcodec_receive_frame(ctx_.get(), frame_) >= 0) {
      auto pcm = platform::ffmpeg::pcmBufferFromAVFrame(*frame_);
      av_frame_unref(frame_);
      if (pcm && pcm->format() == decoded_) {
        out.push_back(std::move(pcm));
      } else {
        MEDLEY_LOG_WARN("AAC decoder output dropped: it does not match", decoded_.description());
      }
    }
  }

  void reset() override { avcodec_flush_buffers(ctx_.get()); }

 private:
  CodecContextPtr ctx_;
  PacketPtr packet_;
  AVFrame* frame_ = nullptr;
  AudioFormat decoded_;
};

class OpusPacketDecoder final : public FrameDecoder {
 public:
  bool open(const AudioFormat& format, std::string* error) {
    int err = OPUS_OK;
    dec_ = opus_decoder_create(static_cast<opus_int32>(format.sampleRate()), static_cast<int>(format.channelCount()), &err);
    if (!dec_ || err != OPUS_OK) {
      setError(error, std::string("cannot open the Opus decoder: ") + opus_strerror(err));
      dec_ = nullptr;
      return false;
    }
    decoded_ = AudioFormat(CommonFormat::float32, format.sampleRate(), format.channelCount(), true);
    maxFrames_ = static_cast<uint32_t>(format.sampleRate() * 0.12);  // the longest Opus packet
    return true;
  }
  ~OpusPacketDecoder() override {
    if (dec_) opus_decoder_destroy(dec_);
  }

  const AudioFormat& decodedFormat() const override { return decoded_; }

  void decode(const uint8_t* bytes, size_t size, std::deque<PCMBufferRef>& out) override {
    auto pcm = PCMBuffer::make(decoded_, maxFrames_);
    if (!pcm || size == 0) return;
    const int n = opus_decode_float(dec_, bytes, static_cast<opus_int32>(size), pcm->floatChannelData()[0],
                                    static_cast<int>(maxFrames_), 0);
    if (n < 0) {
      MEDLEY_LOG_WARN("Opus decoding failed:", opus_strerror(n));
      return;
    }
    pcm->setFrameLength(static_cast<uint32_t>(n));
    out.push_back(std::move(pcm));
  }

  void reset() override { opus_decoder_ctl(dec_, OPUS_RESET_STATE); }

 private:
  ::OpusDecoder* dec_ = nullptr;
  AudioFormat decoded_;
  uint32_t maxFrames_ = 0;
};

PCMBufferRef asPCM(platform::AudioBufferRef buffer) { return std::dynamic_pointer_cast<PCMBuffer>(std::move(buffer)); }

}  // namespace

// PCM in, PCM out.
struct AudioCodecConverter::PassEngine final : AudioCodecConverter::Engine {
  PCMStage stage;

  Status convert(platform::AudioBuffer& output, const InputBlock& input, std::string* error) override {
    auto* out = dynamic_cast<PCMBuffer*>(&output);
    if (!out || !(out->format() == stage.target)) {
      setError(error, "the output buffer is not in the converter's output format");
      return Status::error;
    }
    auto pull = [&](uint32_t frames, InputStatus& status) { return asPCM(input(frames, status)); };
    return stage.fill(*out, out->frameCapacity(), pull, error);
  }
  void reset() override { stage.reset(); }
  bool rebuildStage(bool downmix, const std::vector<int>& map, std::string* error) override {
    return stage.build(downmix, map, error);
  }
};

// PCM in, one AAC or Opus packet out per call.
struct AudioCodecConverter::EncodeEngine final : AudioCodecConverter::Engine {
  PCMStage stage;
  std::unique_ptr<FrameEncoder> encoder;
  uint32_t frameSize = 0;
  PCMBufferRef frame;
  Packets packets;
  bool flushed = false;
  uint32_t padding = 0;  // silent frames that completed the last encoded frame

  Status convert(platform::AudioBuffer& output, const InputBlock& input, std::string* error) override {
    auto* out = dynamic_cast<platform::CompressedAudioBuffer*>(&output);
    if (!out) {
      setError(error, "the output buffer is not a compressed buffer");
      return Status::error;
    }
    auto pull = [&](uint32_t frames, InputStatus& status) { return asPCM(input(frames, status)); };
    while (true) {
      if (!packets.empty()) {
        const auto& packet = packets.front();
        if (!out->setSinglePacket(packet.data(), static_cast<uint32_t>(packet.size()))) {
          setError(error, "a packet of " + std::to_string(packet.size()) + " bytes does not fit the output buffer");
          packets.pop_front();
          return Status::error;
        }
        packets.pop_front();
        return Status::haveData;
      }
      if (flushed) return Status::endOfStream;
      const Status status = stage.fill(*frame, frameSize, pull, error);
      if (status == Status::haveData) {
        const uint32_t got = frame->frameLength();
        padding = frameSize - got;
        if (got < frameSize) {
          // The last frames of the stream: padded to a whole packet.
          const size_t bytes = (frameSize - got) * frame->bytesPerFrameInBuffer();
          for (uint32_t b = 0; b < frame->bufferCount(); ++b)
            std::memset(frame->rawChannelData()[b] + got * frame->bytesPerFrameInBuffer(), 0, bytes);
          frame->setFrameLength(frameSize);
        }
        if (!encoder->encode(*frame, packets, error)) return Status::error;
        continue;
      }
      if (status == Status::endOfStream) {
        encoder->flush(packets, padding);
        flushed = true;
        continue;
      }
      return status;
    }
  }

  void reset() override {
    stage.reset();
    packets.clear();
    flushed = false;
    padding = 0;
    std::string why;
    if (!encoder->reset(&why)) MEDLEY_LOG_WARN("cannot reset the audio encoder:", why);
  }
  bool rebuildStage(bool downmix, const std::vector<int>& map, std::string* error) override {
    return stage.build(downmix, map, error);
  }
  void setBitRate(int bitRate) override { encoder->setBitRate(bitRate); }
  bool encodes() const override { return true; }
};

// AAC or Opus packets in, PCM out.
struct AudioCodecConverter::DecodeEngine final : AudioCodecConverter::Engine {
  PCMStage stage;
  std::unique_ptr<FrameDecoder> decoder;
  std::deque<PCMBufferRef> decoded;

  Status convert(platform::AudioBuffer& output, const InputBlock& input, std::string* error) override {
    auto* out = dynamic_cast<PCMBuffer*>(&output);
    if (!out || !(out->format() == stage.target)) {
      setError(error, "the output buffer is not in the converter's output format");
      return Status::error;
    }
    auto pull = [&](uint32_t, InputStatus& status) -> PCMBufferRef {
      while (decoded.empty()) {
        // One packet at a time: each is handed to the decoder exactly once.
        InputStatus s = InputStatus::haveData;
        auto buffer = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(input(1, s));
        if (s != InputStatus::haveData) {
          status = s;
          return nullptr;
        }
        if (!buffer) {
          status = InputStatus::noDataNow;
          return nullptr;
        }
        decodePackets(*buffer);
      }
      status = InputStatus::haveData;
      auto next = std::move(decoded.front());
      decoded.pop_front();
      return next;
    };
    return stage.fill(*out, out->frameCapacity(), pull, error);
  }

  void decodePackets(const platform::CompressedAudioBuffer& buffer) {
    const uint32_t length = std::min(buffer.byteLength(), buffer.byteCapacity());
    const auto* descriptions = buffer.packetDescriptions();
    if (!descriptions || buffer.packetCount() == 0) {
      decoder->decode(buffer.data(), length, decoded);
      return;
    }
    for (uint32_t i = 0; i < std::min(buffer.packetCount(), buffer.packetCapacity()); ++i) {
      const auto& d = descriptions[i];
      if (d.startOffset < 0 || uint64_t(d.startOffset) + d.dataByteSize > length) continue;
      decoder->decode(buffer.data() + d.startOffset, d.dataByteSize, decoded);
    }
  }

  void reset() override {
    stage.reset();
    decoded.clear();
    decoder->reset();
  }
  bool rebuildStage(bool downmix, const std::vector<int>& map, std::string* error) override {
    return stage.build(downmix, map, error);
  }
  bool decodes() const override { return true; }
};

const char* AudioCodecConverter::describe(OutputStatus status) {
  switch (status) {
    case OutputStatus::haveData: return "haveData";
    case OutputStatus::inputRanDry: return "inputRanDry";
    case OutputStatus::endOfStream: return "endOfStream";
    case OutputStatus::error: return "error";
  }
  return "?";
}

AudioCodecConverter::AudioCodecConverter(AudioFormat from, AudioFormat to) : from_(std::move(from)), to_(std::move(to)) {}
AudioCodecConverter::~AudioCodecConverter() = default;

std::unique_ptr<AudioCodecConverter> AudioCodecConverter::make(const AudioFormat& from, const AudioFormat& to,
                                                               std::string* error) {
  if (!from.isValid() || !to.isValid()) {
    setError(error, "invalid format");
    return nullptr;
  }
  std::unique_ptr<AudioCodecConverter> c(new AudioCodecConverter(from, to));
  const auto rateOK = [](double rate) { return rate >= 1 && rate <= 1e7 && std::floor(rate) == rate; };
  if (from.isPCM() && to.isPCM()) {
    auto engine = std::make_unique<PassEngine>();
    engine->stage.source = from;
    engine->stage.target = to;
    c->engine_ = std::move(engine);
  } else if (from.isPCM() && (to.formatID() == platform::audioFormatID::mpeg4AAC ||
                              to.formatID() == platform::audioFormatID::opus)) {
    if (!rateOK(to.sampleRate())) {
      setError(error, "unsupported output rate " + to.description());
      return nullptr;
    }
    auto engine = std::make_unique<EncodeEngine>();
    const bool aac = to.formatID() == platform::audioFormatID::mpeg4AAC;
    if (aac) {
      if (to.framesPerPacket() != 1024) {
        setError(error, "only 1024-frame AAC packets are encoded here");
        return nullptr;
      }
      auto encoder = std::make_unique<AACEncoder>(to.sampleRate(), to.channelCount(), c->bitRate_);
      if (!encoder->open(error)) return nullptr;
      engine->encoder = std::move(encoder);
      engine->frameSize = 1024;
      engine->stage.target = AudioFormat(CommonFormat::float32, to.sampleRate(), to.channelCount(), false);
    } else {
      if (to.channelCount() > 2) {
        setError(error, "Opus is encoded here with one or two channels");
        return nullptr;
      }
      auto encoder = std::make_unique<OpusPacketEncoder>(to.sampleRate(), to.channelCount(), c->bitRate_,
                                                   size_t{to.channelCount()} * 1024);
      if (!encoder->open(error)) return nullptr;
      engine->encoder = std::move(encoder);
      engine->frameSize = to.framesPerPacket() ? to.framesPerPacket() : static_cast<uint32_t>(to.sampleRate() * 0.02);
      engine->stage.target = AudioFormat(CommonFormat::float32, to.sampleRate(), to.channelCount(), true);
    }
    engine->stage.source = from;
    engine->frame = PCMBuffer::make(engine->stage.target, engine->frameSize);
    if (!engine->frame) {
      setError(error, "out of memory");
      return nullptr;
    }
    c->engine_ = std::move(engine);
  } else if (to.isPCM() && (from.formatID() == platform::audioFormatID::mpeg4AAC ||
                            from.formatID() == platform::audioFormatID::opus)) {
    auto engine = std::make_unique<DecodeEngine>();
    if (from.formatID() == platform::audioFormatID::mpeg4AAC) {
      auto decoder = std::make_unique<AACDecoder>();
      if (!decoder->open(from, error)) return nullptr;
      engine->decoder = std::move(decoder);
    } else {
      auto decoder = std::make_unique<OpusPacketDecoder>();
      if (!decoder->open(from, error)) return nullptr;
      engine->decoder = std::move(decoder);
    }
    engine->stage.source = engine->decoder->decodedFormat();
    engine->stage.target = to;
    c->engine_ = std::move(engine);
  } else {
    setError(error, "no conversion from " + from.description() + " to " + to.description());
    return nullptr;
  }
  if (!c->engine_->rebuildStage(c->downmix_, c->channelMap_, error)) return nullptr;
  return c;
}

bool AudioCodecConverter::isEncoder() const { return engine_->encodes(); }
bool AudioCodecConverter::isDecoder() const { return engine_->decodes(); }

void AudioCodecConverter::setBitRate(int bitRate) {
  bitRate_ = bitRate;
  engine_->setBitRate(bitRate);
}

std::vector<int> AudioCodecConverter::applicableEncodeBitRates() const {
  if (!engine_->encodes()) return {};
  static const int kSteps[] = {6000,   8000,   12000,  16000,  24000,  32000,  48000,  64000,  96000,
                               128000, 160000, 192000, 256000, 320000, 384000, 448000, 510000, 576000};
  const auto channels = static_cast<int>(to_.channelCount());
  int low, high;
  if (to_.formatID() == platform::audioFormatID::opus) {
    low = 6000;
    high = std::min(510000, 256000 * channels);
  } else {
    // An AAC frame carries at most 6144 bits per channel.
    low = 8000 * channels;
    high = static_cast<int>(6144.0 * to_.sampleRate() / 1024.0) * channels;
  }
  std::vector<int> rates{low};
  for (int step : kSteps)
    if (step > low && step < high) rates.push_back(step);
  rates.push_back(high);
  return rates;
}

void AudioCodecConverter::setDownmix(bool downmix) {
  if (downmix == downmix_) return;
  downmix_ = downmix;
  std::string why;
  if (!engine_->rebuildStage(downmix_, channelMap_, &why)) MEDLEY_LOG_WARN("audio converter:", why);
}

bool AudioCodecConverter::setChannelMap(const std::vector<int>& map) {
  if (map.size() != to_.channelCount()) return false;
  for (int m : map)
    if (m < -1 || m >= static_cast<int>(from_.channelCount())) return false;
  std::vector<int> previous = channelMap_;
  channelMap_ = map;
  if (!engine_->rebuildStage(downmix_, channelMap_, nullptr)) {
    channelMap_ = std::move(previous);
    engine_->rebuildStage(downmix_, channelMap_, nullptr);
    return false;
  }
  return true;
}

AudioCodecConverter::OutputStatus AudioCodecConverter::convert(platform::AudioBuffer& output, const InputBlock& input,
                                                               std::string* error) {
  return engine_->convert(output, input, error);
}

void AudioCodecConverter::reset() { engine_->reset(); }

std::string AudioCodecConverter::description() const {
  return "AudioCodecConverter{inputFormat: " + from_.description() + ",outputFormat: " + to_.description() +
         ",bitRate: " + std::to_string(bitRate_) + ",downmix: " + (downmix_ ? "true" : "false") + "}";
}

}  // namespace medley
