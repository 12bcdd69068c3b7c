#include "Medley/Sources/Codec/AudioCodec.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

namespace {

constexpr uint32_t kInputFrames = 1024;
constexpr uint32_t kRingBufferCounts = 16;
constexpr size_t kPCMOutputBuffers = 24;
// Packets held by readers at one time in a steady stream: a few.
constexpr size_t kPacketPoolSize = 8;

bool sameFormat(const std::optional<platform::AudioFormat>& a, const std::optional<platform::AudioFormat>& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

}  // namespace

AudioCodec::~AudioCodec() {
  if (continuation_) continuation_->finish();
}

void AudioCodec::setSettings(const AudioCodecSettings& settings) {
  if (settings == settings_) return;
  const AudioCodecSettings old = settings_;
  settings_ = settings;
  if (settings_.invalidateConverter(old)) {
    setInputFormat(std::nullopt);
  } else {
    settings_.apply(audioConverter_.get(), old);
  }
}

platform::AsyncStream<AudioCodec::Output> AudioCodec::outputStream() {
  auto [stream, writer] = platform::AsyncStream<Output>::make(platform::BufferingPolicy::unbounded());
  if (continuation_) continuation_->finish();
  continuation_ = std::move(writer);
  return stream;
}

void AudioCodec::startRunning() {
  if (isRunning_) return;
  audioTime_.reset();
  if (ringBuffer_) ringBuffer_->reset();
  if (audioConverter_) audioConverter_->reset();
  pendingPacket_.reset();
  isRunning_ = true;
}

void AudioCodec::stopRunning() {
  if (!isRunning_) return;
  isRunning_ = false;
  if (continuation_) {
    continuation_->finish();
    continuation_.reset();
  }
}

void AudioCodec::drain() {
  if (!isRunning_ || !audioConverter_) return;
  draining_ = true;
  convertAll();
  draining_ = false;
  // The converter has ended its stream: start the next one as a restart would.
  audioTime_.reset();
  if (ringBuffer_) ringBuffer_->reset();
  audioConverter_->reset();
  pendingPacket_.reset();
}

void AudioCodec::setInputFormat(const std::optional<platform::AudioFormat>& format) {
  if (sameFormat(format, inputFormat_)) return;
  inputFormat_ = format;
  inputBuffers_.clear();
  inputBuffersCursor_ = 0;
  outputBuffers_.clear();
  packetPool_.clear();
  pendingPacket_.reset();
  audioConverter_ = makeAudioConverter();
  if (!inputFormat_) return;
  if (inputFormat_->isPCM()) {
    auto buffer = platform::PCMBuffer::make(*inputFormat_, kInputFrames);
    if (buffer) {
      buffer->setFrameLength(kInputFrames);
      inputBuffers_.push_back(std::move(buffer));
    }
  }
}

std::unique_ptr<AudioCodecConverter> AudioCodec::makeAudioConverter() {
  if (!inputFormat_) return nullptr;
  const auto output = makeOutputFormat(settings_.format, *inputFormat_, settings_.sampleRate, settings_.channelMap);
  std::unique_ptr<AudioCodecConverter> converter;
  std::string why;
  if (output) converter = AudioCodecConverter::make(*inputFormat_, *output, &why);
  settings_.apply(converter.get(), std::nullopt);
  if (inputFormat_->isPCM()) {
    ringBuffer_ = AudioRingBuffer::make(*inputFormat_, kRingBufferCounts);
  }
  // The same output rate keeps the time base running across a rebuild.
  if (!audioConverter_ || !converter || audioConverter_->outputFormat().sampleRate() != converter->outputFormat().sampleRate()) {
    audioTime_.reset();
  }
  if (!converter && output) MEDLEY_LOG_WARN("no audio converter:", why);
  MEDLEY_LOG_INFO("converter:", converter ? converter->description() : std::string("nil"), "inputFormat:",
                  inputFormat_->description(), "outputFormat:", output ? output->description() : std::string("nil"));
  return converter;
}

void AudioCodec::append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer) return;
  setInputFormat(buffer->format());
  if (!audioConverter_ || !isRunning_) return;
  if (auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer)) {
    if (ringBuffer_ && ringBuffer_->reanchors(when.sampleTime)) {
      const uint64_t count = ++timelineRestarts_;
      if (count == 1 || count % 100 == 0) {
        const double late = static_cast<double>(when.sampleTime - ringBuffer_->sampleTime()) / pcm->format().sampleRate();
        MEDLEY_LOG_WARN("sound " + std::to_string(late) +
                        " s later than expected: the encoded time line starts again there (" + std::to_string(count) +
                        " so far)");
      }
      // Encoding the gap as silence would take as long as the gap is worth of
      // packets, here and now: the sound before it ends instead, timed as it was.
      drain();
    }
    if (ringBuffer_) ringBuffer_->append(*pcm, when);
    if (!audioTime_.hasAnchor()) {
      audioTime_.anchor(platform::MediaTime::fromNanos(when.hostTime), audioConverter_->outputFormat().sampleRate());
    }
  } else if (auto compressed = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer)) {
    pendingPacket_ = std::move(compressed);
    // Decoded sound counts on from the first packet's stream position.
    if (when.sampleTimeValid) {
      audioTime_.anchor(when.sampleTime, when.sampleRate, audioConverter_->outputFormat().sampleRate());
    }
  }
  convertAll();
  pendingPacket_.reset();
}

void AudioCodec::convertAll() {
  const auto& outputFormat = audioConverter_->outputFormat();
  while (true) {
    auto out = nextOutputBuffer();
    std::string why;
    const auto status = audioConverter_->convert(
        *out, [this](uint32_t packets, AudioCodecConverter::InputStatus& s) { return inputBlock(packets, s); }, &why);
    if (status != AudioCodecConverter::OutputStatus::haveData) {
      if (status == AudioCodecConverter::OutputStatus::error) MEDLEY_LOG_WARN("audio conversion failed:", why);
      outputBuffers_.push_back(std::move(out));
      return;
    }
    if (audioTime_.hasAnchor()) {
      // Advance by the frames this output holds: one packet, or a PCM buffer's length.
      if (auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(out)) {
        audioTime_.advance(pcm->frameLength());
      } else {
        audioTime_.advance(outputFormat.framesPerPacket());
      }
    }
    if (continuation_) continuation_->yield(Output{out, audioTime_.at()});
    if (!inputBuffers_.empty()) inputBuffersCursor_ = (inputBuffersCursor_ + 1) % inputBuffers_.size();
    // PCM output goes on too while whole buffers are ready: an append longer
    // than one buffer must not leave its frames to overrun the ring.
  }
}

platform::AudioBufferRef AudioCodec::nextOutputBuffer() {
  if (!audioConverter_) return std::make_shared<platform::AudioBuffer>(platform::AudioFormat());
  const auto& format = audioConverter_->outputFormat();
  if (outputBuffers_.empty()) {
    if (settings_.format == AudioCodecFormat::pcm) {
      for (size_t i = 0; i < kPCMOutputBuffers; ++i) {
        platform::AudioBufferRef buffer = platform::PCMBuffer::make(format, kInputFrames);
        outputBuffers_.push_back(buffer ? buffer : std::make_shared<platform::AudioBuffer>(format));
      }
    } else if (auto reused = idlePacket()) {
      outputBuffers_.push_back(std::move(reused));
    } else {
      auto buffer =
          platform::CompressedAudioBuffer::make(format, 1, std::max<uint32_t>(1, format.channelCount()) * 1024);
      if (buffer && packetPool_.size() < kPacketPoolSize) packetPool_.push_back(buffer);
      outputBuffers_.push_back(buffer ? platform::AudioBufferRef(buffer) : std::make_shared<platform::AudioBuffer>(format));
    }
  }
  auto out = std::move(outputBuffers_.front());
  outputBuffers_.erase(outputBuffers_.begin());
  return out;
}

std::shared_ptr<platform::CompressedAudioBuffer> AudioCodec::idlePacket() {
  for (const auto& packet : packetPool_) {
    if (packet.use_count() != 1) continue;
    // The last reader let go on its own thread: its reads come before this write.
    std::atomic_thread_fence(std::memory_order_acquire);
    return packet;
  }
  return nullptr;
}

platform::AudioBufferRef AudioCodec::inputBlock(uint32_t packets, AudioCodecConverter::InputStatus& status) {
  status = AudioCodecConverter::InputStatus::noDataNow;
  if (inputFormat_ && inputFormat_->isPCM()) {
    if (inputBuffers_.empty()) return nullptr;
    auto buffer = std::static_pointer_cast<platform::PCMBuffer>(inputBuffers_[inputBuffersCursor_ % inputBuffers_.size()]);
    uint32_t frames = std::min(packets, buffer->frameCapacity());
    const int64_t ready = ringBuffer_ ? ringBuffer_->counts() : 0;
    if (draining_) {
      if (ready <= 0) {
        status = AudioCodecConverter::InputStatus::endOfStream;
        return nullptr;
      }
      frames = static_cast<uint32_t>(std::min<int64_t>(frames, ready));
    }
    if (!ringBuffer_ || frames == 0 || ready < frames) return nullptr;
    buffer->setFrameLength(frames);
    if (ringBuffer_->render(frames, buffer.get()) != AudioRingBuffer::kNoErr) return nullptr;
    status = AudioCodecConverter::InputStatus::haveData;
    return buffer;
  }
  // Each appended packet goes to the converter once: asked again, there is nothing new.
  if (!pendingPacket_) {
    if (draining_) status = AudioCodecConverter::InputStatus::endOfStream;
    return nullptr;
  }
  status = AudioCodecConverter::InputStatus::haveData;
  return std::exchange(pendingPacket_, nullptr);
}

void AudioCodec::append(const platform::SampleBuffer& sampleBuffer) {
  if (!isRunning_ || settings_.format != AudioCodecFormat::pcm) return;
  const auto& description = sampleBuffer.formatDescription();
  if (description && description->audioFormat()) {
    const auto& format = *description->audioFormat();
    if (!inputFormat_ || !(*inputFormat_ == format)) setInputFormat(format);
  }
  if (!inputFormat_ || inputFormat_->isPCM()) return;
  const auto* data = sampleBuffer.dataBuffer();
  platform::MediaTime pts = sampleBuffer.presentationTime();
  size_t offset = 0;
  for (size_t i = 0; i < sampleBuffer.numSamples(); ++i) {
    const size_t size = sampleBuffer.sampleSize(i);
    if (size > AudioSpecificConfig::adtsHeaderSize && data) {
      const size_t payload = size - AudioSpecificConfig::adtsHeaderSize;
      auto buffer = platform::CompressedAudioBuffer::make(*inputFormat_, 1, static_cast<uint32_t>(std::max<size_t>(payload, 1024)));
      if (buffer && data->copyBytes(offset + AudioSpecificConfig::adtsHeaderSize, payload, buffer->data())) {
        buffer->setPacketCount(1);
        if (auto* d = buffer->packetDescriptions()) *d = platform::AudioStreamPacketDescription{0, 0, static_cast<uint32_t>(payload)};
        buffer->setByteLength(static_cast<uint32_t>(payload));
        append(buffer, platform::AudioTime::withSampleTime(pts.value, pts.timescale));
      }
    }
    if (pts.isValid()) pts = pts + platform::MediaTime(1024, pts.timescale);
    offset += size;
  }
}

}  // namespace medley
