#include "Medley/Sources/Extension/AssetWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Media/CompressedAudioBuffer.h"

namespace medley {

using platform::MediaTime;
using platform::MediaType;
using platform::SampleBufferRef;

namespace {

constexpr int kAACFrames = 1024;
constexpr int64_t kNanos = 1'000'000'000;

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

int64_t rescale(const MediaTime& time, AVRational to) {
  return av_rescale_q(time.value, AVRational{1, time.timescale}, to);
}

void setExtradata(AVCodecParameters& parameters, const uint8_t* bytes, size_t size) {
  parameters.extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!parameters.extradata) throw std::bad_alloc();
  std::memcpy(parameters.extradata, bytes, size);
  parameters.extradata_size = static_cast<int>(size);
}

AVColorPrimaries primaries(platform::ColorPrimaries p) {
  switch (p) {
    case platform::ColorPrimaries::itu_r_709_2: return AVCOL_PRI_BT709;
    case platform::ColorPrimaries::ebu_3213: return AVCOL_PRI_BT470BG;
    case platform::ColorPrimaries::smpte_c: return AVCOL_PRI_SMPTE170M;
    case platform::ColorPrimaries::p3_d65: return AVCOL_PRI_SMPTE432;
    case platform::ColorPrimaries::itu_r_2020: return AVCOL_PRI_BT2020;
    default: return AVCOL_PRI_UNSPECIFIED;
  }
}

AVColorTransferCharacteristic transfer(platform::TransferFunction t) {
  switch (t) {
    case platform::TransferFunction::itu_r_709_2: return AVCOL_TRC_BT709;
    case platform::TransferFunction::smpte_240m_1995: return AVCOL_TRC_SMPTE240M;
    case platform::TransferFunction::srgb: return AVCOL_TRC_IEC61966_2_1;
    case platform::TransferFunction::linear: return AVCOL_TRC_LINEAR;
    case platform::TransferFunction::itu_r_2020: return AVCOL_TRC_BT2020_10;
    case platform::TransferFunction::smpte_st_2084_pq: return AVCOL_TRC_SMPTE2084;
    case platform::TransferFunction::itu_r_2100_hlg: return AVCOL_TRC_ARIB_STD_B67;
    default: return AVCOL_TRC_UNSPECIFIED;
  }
}

AVColorSpace matrix(platform::YCbCrMatrix m) {
  switch (m) {
    case platform::YCbCrMatrix::itu_r_709_2: return AVCOL_SPC_BT709;
    case platform::YCbCrMatrix::itu_r_601_4: return AVCOL_SPC_SMPTE170M;
    case platform::YCbCrMatrix::smpte_240m_1995: return AVCOL_SPC_SMPTE240M;
    case platform::YCbCrMatrix::itu_r_2020: return AVCOL_SPC_BT2020_NCL;
    default: return AVCOL_SPC_UNSPECIFIED;
  }
}

// The frames of a PCM sample buffer (interleaved frames end to end, or planar
// channels one after another) as a PCM buffer; none when the sizes disagree.
platform::PCMBufferRef pcmBuffer(const platform::SampleBuffer& sampleBuffer) {
  const auto* format = sampleBuffer.formatDescription()->audioFormat();
  const auto* data = sampleBuffer.dataBuffer();
  if (!format || !format->isPCM() || !data || sampleBuffer.numSamples() == 0) return nullptr;
  const auto frames = static_cast<uint32_t>(sampleBuffer.numSamples());
  auto buffer = platform::PCMBuffer::make(*format, frames);
  if (!buffer || !buffer->setFrameLength(frames)) return nullptr;
  const size_t perBuffer = static_cast<size_t>(frames) * buffer->bytesPerFrameInBuffer();
  if (data->size() < perBuffer * buffer->bufferCount()) return nullptr;
  for (uint32_t i = 0; i < buffer->bufferCount(); ++i) data->copyBytes(i * perBuffer, perBuffer, buffer->rawChannelData()[i]);
  return buffer;
}

}  // namespace

std::optional<AssetFileType> assetFileType(std::string_view pathExtension) {
  if (pathExtension == "mp4") return AssetFileType::mpeg4;
  if (pathExtension == "mov") return AssetFileType::quickTimeMovie;
  if (pathExtension == "flv") return AssetFileType::flv;
  return std::nullopt;
}

// One encoded sample on its way to the file.
struct AssetWriter::Packet {
  platform::BlockBuffer data;
  MediaTime pts, dts, duration;
  bool key = true;
  platform::FormatDescriptionRef videoFormat;       // encoded video
  std::optional<platform::AudioFormat> audioFormat;  // AAC
};

struct AssetWriter::Input::Track {
  size_t index = 0;
  MediaType mediaType = MediaType::video;
  platform::ColorAttachments color = platform::ColorAttachments::bt709();
  std::optional<int> frameRate;
  int64_t bitRate = 0;  // declared in the container; 0: none
  // Declared instead where the H.264 stand-in for the GPU's HEVC encoder writes the track.
  int64_t standInBitRate = 0;
  // Encoded media waiting for the writer's queue, and the time written up to (nanoseconds).
  std::atomic<int64_t> pendingNanos{0};
  std::atomic<int64_t> writtenUpTo{INT64_MIN};
  // On the writer's queue.
  AVStream* stream = nullptr;
  std::vector<Packet> waiting;
  int64_t lastDts = INT64_MIN;
  int64_t written = 0;
  std::optional<int64_t> nextAudioPosition;
};

// ---- Input

AssetWriter::Input::Input(MediaType mediaType, AssetOutputSettings settings, platform::FormatDescriptionRef hint)
    : mediaType_(mediaType), settings_(std::move(settings)), hint_(std::move(hint)) {
  track_ = std::make_shared<Track>();
  track_->mediaType = mediaType;
  if (const auto* video = std::get_if<AssetVideoSettings>(&settings_)) {
    track_->color = video->color;
    track_->frameRate = video->expectedFrameRate;
    track_->bitRate = video->averageBitRate;
    if (video->codec == VideoCodecSettings::Format::hevc && video->requiresHardwareEncoder)
      track_->standInBitRate = video->fallbackAverageBitRate;
  } else if (const auto* audio = std::get_if<AssetAudioSettings>(&settings_)) {
    track_->bitRate = audio->bitRate;
  }
}

AssetWriter::Input::~Input() {
  if (videoCodec_) videoCodec_->stopRunning();
  if (audioCodec_) audioCodec_->stopRunning();
  reader_.cancel();
}

bool AssetWriter::Input::accepting() const {
  if (finished_) return false;
  auto writer = writer_.lock();
  return writer && writer->status() == Status::writing;
}

bool AssetWriter::Input::isReadyForMoreMediaData() const {
  if (!accepting() || track_->pendingNanos.load() >= static_cast<int64_t>(kPendingSeconds * kNanos)) return false;
  if (unwrittenSeconds() >= kWriterQueueSeconds) return false;
  if (videoCodec_) {
    if (const auto* session = dynamic_cast<const VTCompressionSession*>(videoCodec_->session().get())) {
      const double rate = track_->frameRate.value_or(30);
      const auto limit = std::clamp<size_t>(static_cast<size_t>(std::lround(kEncoderQueueSeconds * rate)), 1,
                                            kEncoderQueueMost);
      return session->pendingFrameCount() < limit;
    }
  }
  return true;
}

double AssetWriter::Input::unwrittenSeconds() const {
  const int64_t appended = appendedUpTo_.load(), written = track_->writtenUpTo.load();
  if (appended == INT64_MIN || written == INT64_MIN || appended <= written) return 0;
  return static_cast<double>(appended - written) / kNanos;
}

void AssetWriter::Input::noteAppended(const MediaTime& time) {
  if (!time.isNumeric()) return;
  const int64_t nanos = time.convertScale(static_cast<int32_t>(kNanos)).value;
  if (nanos > appendedUpTo_.load()) appendedUpTo_.store(nanos);
}

size_t AssetWriter::Input::pendingEncoderFrames() const {
  if (!videoCodec_) return 0;
  const auto* session = dynamic_cast<const VTCompressionSession*>(videoCodec_->session().get());
  return session ? session->pendingFrameCount() : 0;
}

std::optional<VideoCodecSettings::Format> AssetWriter::Input::encodedVideoFormat() const {
  if (!videoCodec_ || !dynamic_cast<const VTCompressionSession*>(videoCodec_->session().get())) return std::nullopt;
  return videoCodec_->settings().format();
}

std::optional<int> AssetWriter::Input::encodedVideoBitRate() const {
  if (!encodedVideoFormat()) return std::nullopt;
  return videoCodec_->settings().bitRate;
}

namespace {

platform::Async<void> readVideo(platform::AsyncStream<SampleBufferRef> encoded,
                                std::weak_ptr<AssetWriter> writer, std::function<void(SampleBufferRef)> write) {
  while (auto buffer = co_await encoded.next()) {
    if (writer.expired()) co_return;
    write(*buffer);
  }
}

platform::Async<void> readAudio(platform::AsyncStream<AudioCodec::Output> encoded, std::weak_ptr<AssetWriter> writer,
                                std::function<void(AudioCodec::Output)> write) {
  while (auto output = co_await encoded.next()) {
    if (writer.expired()) co_return;
    write(std::move(*output));
  }
}

}  // namespace

void AssetWriter::Input::start(const std::shared_ptr<AssetWriter>& writer) {
  writer_ = writer;
  std::weak_ptr<AssetWriter> weak = writer;
  std::weak_ptr<Track> weakTrack = track_;
  if (const auto* video = std::get_if<AssetVideoSettings>(&settings_)) {
    videoCodec_ = std::make_unique<VideoCodec>();
    VideoCodecSettings codec;
    codec.videoSize = {static_cast<double>(video->width), static_cast<double>(video->height)};
    if (video->averageBitRate > 0) codec.bitRate = video->averageBitRate;
    const bool hevc = video->codec == VideoCodecSettings::Format::hevc;
    codec.setProfileLevel(!video->profileLevel.empty() ? video->profileLevel
                                                       : hevc ? "HEVC_Main_AutoLevel" : "H264_Main_AutoLevel");
    codec.maxKeyFrameIntervalDuration = video->maxKeyFrameIntervalDuration;
    codec.bitRateMode = video->bitRateMode;
    codec.isHardwareEncoderRequired = video->requiresHardwareEncoder;
    codec.expectedFrameRate = video->expectedFrameRate;
    // Every picture is written as it comes out: no picture waits for a later one.
    codec.allowFrameReordering = false;
    codec.scalingMode = VideoCodecSettings::ScalingMode::trim;
    videoCodec_->encodesOnCaller = video->encodesOnAppendingThread;
    if (video->fallbackAverageBitRate > 0) videoCodec_->fallbackBitRate = video->fallbackAverageBitRate;
    videoCodec_->setSettings(codec);
    auto stream = videoCodec_->outputStream();
    videoCodec_->startRunning();
    reader_ = platform::spawn(writer->queue(), &readVideo, std::move(stream), weak,
                              std::function<void(SampleBufferRef)>([weak, weakTrack](SampleBufferRef buffer) {
                                auto w = weak.lock();
                                auto t = weakTrack.lock();
                                const auto* data = buffer ? buffer->dataBuffer() : nullptr;
                                if (!w || !t || !data || data->empty()) return;
                                Packet p;
                                p.data = *data;
                                p.pts = buffer->presentationTime();
                                p.dts = buffer->decodeTime().isNumeric() ? buffer->decodeTime() : p.pts;
                                p.duration = buffer->duration();
                                p.key = buffer->isSync();
                                p.videoFormat = buffer->formatDescription();
                                w->write(*t, std::move(p));
                              }));
  } else if (const auto* audio = std::get_if<AssetAudioSettings>(&settings_)) {
    audioCodec_ = std::make_unique<AudioCodec>();
    AudioCodecSettings codec;
    if (audio->bitRate > 0) codec.bitRate = audio->bitRate;
    codec.sampleRate = audio->sampleRate;
    codec.downmix = audio->channels != 0 && audio->channels <= 2;
    codec.format = AudioCodecSettings::Format::aac;
    audioCodec_->setSettings(codec);
    auto stream = audioCodec_->outputStream();
    audioCodec_->startRunning();
    reader_ = platform::spawn(writer->queue(), &readAudio, std::move(stream), weak,
                              std::function<void(AudioCodec::Output)>([weak, weakTrack](AudioCodec::Output output) {
                                auto w = weak.lock();
                                auto t = weakTrack.lock();
                                if (!w || !t) return;
                                auto aac = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(output.first);
                                if (!aac) return;
                                const double rate = aac->format().sampleRate();
                                // Each packet follows the one before; the host time places the first one and
                                // any packet after a jump in the sound's time line.
                                const int64_t placed = av_rescale_q(output.second.hostTime, AVRational{1, 1'000'000'000},
                                                                    AVRational{1, static_cast<int>(rate)});
                                int64_t position = placed;
                                if (t->nextAudioPosition && std::llabs(*t->nextAudioPosition - placed) <= kAACFrames) {
                                  position = *t->nextAudioPosition;
                                }
                                const auto* descriptions = aac->packetDescriptions();
                                for (uint32_t i = 0; i < aac->packetCount(); ++i) {
                                  const int64_t offset = descriptions ? descriptions[i].startOffset : 0;
                                  const uint32_t size = descriptions ? descriptions[i].dataByteSize : aac->byteLength();
                                  if (offset < 0 || offset + size > aac->byteLength() || size == 0) continue;
                                  Packet p;
                                  // The encoder reuses a packet only once nobody else holds it.
                                  p.data = platform::BlockBuffer::wrap(aac->data() + offset, size, aac);
                                  p.pts = p.dts = MediaTime(position, static_cast<int32_t>(rate));
                                  p.duration = MediaTime(kAACFrames, static_cast<int32_t>(rate));
                                  p.audioFormat = aac->format();
                                  w->write(*t, std::move(p));
                                  position += kAACFrames;
                                }
                                t->nextAudioPosition = position;
                              }));
  }
}

bool AssetWriter::Input::append(const SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer || !sampleBuffer->formatDescription() || sampleBuffer->mediaType() != mediaType_) return false;
  if (!accepting()) return false;
  if (videoCodec_) {
    if (!sampleBuffer->imageBuffer()) return false;
    noteAppended(sampleBuffer->presentationTime());
    videoCodec_->append(sampleBuffer);
    return true;
  }
  if (audioCodec_) {
    auto pcm = pcmBuffer(*sampleBuffer);
    if (!pcm) return false;
    noteAppended(sampleBuffer->presentationTime());
    const auto host = sampleBuffer->presentationTime().convertScale(1'000'000'000).value;
    const double rate = pcm->format().sampleRate();
    audioCodec_->append(pcm, platform::AudioTime::with(host, static_cast<int64_t>(host * rate / 1e9), rate));
    return true;
  }
  // Encoded media, written as it is.
  const auto format = sampleBuffer->formatDescription();
  if (!format->isCompressed()) return false;
  auto writer = writer_.lock();
  if (!writer) return false;
  if (mediaType_ == MediaType::video) {
    const auto* data = sampleBuffer->dataBuffer();
    if (!data || data->empty()) return false;
    Packet p;
    p.data = *data;
    p.pts = sampleBuffer->presentationTime();
    p.dts = sampleBuffer->decodeTime().isNumeric() ? sampleBuffer->decodeTime() : p.pts;
    p.duration = sampleBuffer->duration();
    p.key = sampleBuffer->isSync();
    p.videoFormat = format;
    writer->enqueue(track_, std::move(p));
    return true;
  }
  const auto* audioFormat = format->audioFormat();
  if (!audioFormat || !AudioSpecificConfig::fromStreamDescription(audioFormat->streamDescription())) return false;
  const auto rate = static_cast<int32_t>(audioFormat->sampleRate());
  const int64_t first = sampleBuffer->presentationTime().convertScale(rate).value;
  size_t offset = 0;
  for (size_t i = 0; i < sampleBuffer->numSamples(); ++i) {
    const size_t size = sampleBuffer->sampleSize(i);
    Packet p;
    p.data = sampleBuffer->dataBuffer()->slice(offset, size);
    offset += size;
    p.pts = p.dts = MediaTime(first + static_cast<int64_t>(i) * kAACFrames, rate);
    p.duration = MediaTime(kAACFrames, rate);
    p.audioFormat = *audioFormat;
    writer->enqueue(track_, std::move(p));
  }
  return true;
}

bool AssetWriter::Input::append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer || mediaType_ != MediaType::audio || !accepting()) return false;
  if (audioCodec_) {
    if (!std::dynamic_pointer_cast<platform::PCMBuffer>(buffer)) return false;
    if (when.hostTimeValid) noteAppended(MediaTime::fromNanos(when.hostTime));
    audioCodec_->append(buffer, when);
    return true;
  }
  auto aac = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer);
  auto writer = writer_.lock();
  if (!aac || !writer || !AudioSpecificConfig::fromStreamDescription(aac->format().streamDescription())) return false;
  const auto rate = static_cast<int32_t>(aac->format().sampleRate());
  // The host time puts the sound on the pictures' time line.
  int64_t position = when.hostTimeValid ? av_rescale_q(when.hostTime, AVRational{1, 1'000'000'000}, AVRational{1, rate})
                                        : when.sampleTime;
  const auto* descriptions = aac->packetDescriptions();
  for (uint32_t i = 0; i < aac->packetCount(); ++i) {
    const int64_t offset = descriptions ? descriptions[i].startOffset : 0;
    const uint32_t size = descriptions ? descriptions[i].dataByteSize : aac->byteLength();
    if (offset < 0 || offset + size > aac->byteLength() || size == 0) continue;
    Packet p;
    p.data = platform::BlockBuffer::copy(aac->data() + offset, size);
    p.pts = p.dts = MediaTime(position, rate);
    p.duration = MediaTime(kAACFrames, rate);
    p.audioFormat = aac->format();
    writer->enqueue(track_, std::move(p));
    position += kAACFrames;
  }
  return true;
}

void AssetWriter::Input::markAsFinished() {
  if (finished_.exchange(true)) return;
  // Stopping drains the encoders: their last packets reach the reader before its sequence ends.
  if (videoCodec_) videoCodec_->stopRunning();
  if (audioCodec_) {
    if (audioCodec_->isRunning()) audioCodec_->drain();
    audioCodec_->stopRunning();
  }
}

// ---- Writer

std::shared_ptr<AssetWriter> AssetWriter::make(std::filesystem::path url, AssetFileType fileType,
                                               std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<AssetWriter>(std::move(url), fileType, std::move(runtime));
}

AssetWriter::AssetWriter(std::filesystem::path url, AssetFileType fileType, std::shared_ptr<platform::Runtime> runtime)
    : url_(std::move(url)),
      fileType_(fileType),
      queue_(platform::SerialQueue::make("com.quarzadel.Medley.AssetWriter", std::move(runtime))) {
  const char* name = fileType == AssetFileType::mpeg4 ? "mp4" : fileType == AssetFileType::quickTimeMovie ? "mov" : "flv";
  const int status = avformat_alloc_output_context2(&context_, nullptr, name, url_.c_str());
  if (status < 0 || !context_) throw AssetWriterError("no " + std::string(name) + " writer: " + errorText(status));
}

AssetWriter::~AssetWriter() {
  for (auto& input : inputs_) input->reader_.cancel();
  closeFile();
  av_packet_free(&packet_);
  if (context_) avformat_free_context(context_);
}

bool AssetWriter::canApplyOutputSettings(const AssetOutputSettings& settings, MediaType mediaType) const {
  if (const auto* video = std::get_if<AssetVideoSettings>(&settings)) {
    if (mediaType != MediaType::video || video->width <= 0 || video->height <= 0 || video->width % 2 || video->height % 2)
      return false;
    // The FLV writer here takes H.264 only.
    return !(fileType_ == AssetFileType::flv && video->codec == VideoCodecSettings::Format::hevc);
  }
  if (const auto* audio = std::get_if<AssetAudioSettings>(&settings)) {
    return mediaType == MediaType::audio && audio->sampleRate >= 0 && audio->channels >= 0 && audio->channels <= 8;
  }
  return mediaType == MediaType::video || mediaType == MediaType::audio;
}

bool AssetWriter::canAdd(const Input& input) const {
  if (status() != Status::unknown || !input.writer_.expired()) return false;
  for (const auto& other : inputs_) {
    if (other.get() == &input) return false;
  }
  return canApplyOutputSettings(input.outputSettings(), input.mediaType());
}

void AssetWriter::add(const std::shared_ptr<Input>& input) {
  if (!input || !canAdd(*input)) throw AssetWriterError("the writer cannot take this input");
  input->track_->index = tracks_.size();
  input->writer_ = weak_from_this();
  inputs_.push_back(input);
  tracks_.push_back(input->track_);
}

bool AssetWriter::startWriting() {
  {
    std::lock_guard lock(mutex_);
    if (status_ != Status::unknown) return false;
  }
  if (inputs_.empty()) {
    fail("no inputs");
    return false;
  }
  if (!(context_->oformat->flags & AVFMT_NOFILE)) {
    const int opened = avio_open(&context_->pb, url_.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
      fail(url_.string() + ": " + errorText(opened));
      return false;
    }
  }
  {
    std::lock_guard lock(mutex_);
    status_ = Status::writing;
  }
  for (auto& input : inputs_) input->start(shared_from_this());
  return true;
}

void AssetWriter::startSession(MediaTime sourceTime) {
  std::lock_guard lock(mutex_);
  if (!sessionStart_) sessionStart_ = sourceTime;
}

AssetWriter::Status AssetWriter::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

std::optional<std::string> AssetWriter::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::vector<int64_t> AssetWriter::writtenPackets() const {
  std::vector<int64_t> counts;
  for (const auto& track : tracks_) counts.push_back(track->written);
  return counts;
}

void AssetWriter::fail(const std::string& message) {
  MEDLEY_LOG_ERROR("asset writer:", url_.string(), message);
  std::lock_guard lock(mutex_);
  if (status_ == Status::failed || status_ == Status::completed) return;
  status_ = Status::failed;
  error_ = message;
}

void AssetWriter::enqueue(const std::shared_ptr<Input::Track>& track, Packet packet) {
  // A sample without a duration counts as one frame.
  const int64_t nanos = packet.duration.isNumeric() && packet.duration.value > 0
                            ? packet.duration.convertScale(static_cast<int32_t>(kNanos)).value
                            : kNanos / std::max(1, track->frameRate.value_or(30));
  track->pendingNanos += nanos;
  std::weak_ptr<AssetWriter> weak = weak_from_this();
  queue_->async([weak, track, nanos, packet = std::move(packet)]() mutable {
    track->pendingNanos -= nanos;
    if (auto self = weak.lock()) self->write(*track, std::move(packet));
  });
}

void AssetWriter::openTrack(Input::Track& track, const Packet& packet) {
  AVStream* stream = nullptr;
  if (track.mediaType == MediaType::video) {
    const auto& format = packet.videoFormat;
    const auto* configuration = format ? format->decoderConfigurationData() : nullptr;
    if (!configuration) throw AssetWriterError("encoded video without a decoder configuration");
    stream = avformat_new_stream(context_, nullptr);
    if (!stream) throw std::bad_alloc();
    auto& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_VIDEO;
    const bool hevc = format->mediaSubType() == platform::codec::hevc;
    parameters.codec_id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    // Parameter sets live in the sample description only.
    if (hevc && fileType_ != AssetFileType::flv) parameters.codec_tag = MKTAG('h', 'v', 'c', '1');
    parameters.width = format->dimensions().width;
    parameters.height = format->dimensions().height;
    const auto color = format->extensions().color.isEmpty() ? track.color : format->extensions().color;
    parameters.color_primaries = primaries(color.primaries);
    parameters.color_trc = transfer(color.transfer);
    parameters.color_space = matrix(color.matrix);
    parameters.color_range = format->extensions().fullRangeVideo.value_or(false) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    setExtradata(parameters, configuration->data(), configuration->size());
    parameters.bit_rate = !hevc && track.standInBitRate > 0 ? track.standInBitRate : track.bitRate;
    stream->time_base = AVRational{1, 90000};
    if (track.frameRate) {
      stream->avg_frame_rate = AVRational{*track.frameRate, 1};
      stream->r_frame_rate = AVRational{*track.frameRate, 1};
    }
  } else {
    if (!packet.audioFormat) throw AssetWriterError("encoded audio without its format");
    const auto config = AudioSpecificConfig::fromStreamDescription(packet.audioFormat->streamDescription());
    if (!config) throw AssetWriterError("encoded audio that is not AAC: " + packet.audioFormat->description());
    stream = avformat_new_stream(context_, nullptr);
    if (!stream) throw std::bad_alloc();
    auto& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = AV_CODEC_ID_AAC;
    parameters.sample_rate = static_cast<int>(packet.audioFormat->sampleRate());
    av_channel_layout_default(&parameters.ch_layout, static_cast<int>(packet.audioFormat->channelCount()));
    parameters.frame_size = kAACFrames;
    parameters.bit_rate = track.bitRate;
    const auto bytes = config->bytes();
    setExtradata(parameters, bytes.data(), bytes.size());
    stream->time_base = AVRational{1, parameters.sample_rate};
  }
  track.stream = stream;
}

void AssetWriter::writeHeaderWhenReady(bool finishing) {
  if (headerWritten_) return;
  bool any = false;
  for (const auto& track : tracks_) {
    if (!track->stream && !finishing) return;
    any = any || track->stream;
  }
  if (!any) return;
  AVDictionary* options = nullptr;
  if (fileType_ != AssetFileType::flv) {
    std::string flags = "+write_colr";
    if (movieFragmentInterval && movieFragmentInterval->isNumeric()) {
      flags += "+frag_keyframe+empty_moov+default_base_moof";
      av_dict_set_int(&options, "frag_duration", rescale(*movieFragmentInterval, AVRational{1, 1'000'000}), 0);
      // Each fragment reaches the disk as soon as it is complete.
      av_dict_set(&options, "flush_packets", "1", 0);
    } else if (shouldOptimizeForNetworkUse) {
      flags += "+faststart";
    }
    av_dict_set(&options, "movflags", flags.c_str(), 0);
  }
  const int status = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (status < 0) throw AssetWriterError("container header: " + errorText(status));
  headerWritten_ = true;
  for (auto& track : tracks_) {
    auto waiting = std::move(track->waiting);
    track->waiting.clear();
    for (auto& packet : waiting) {
      if (track->stream) write(*track, std::move(packet));
    }
  }
}

void AssetWriter::write(Input::Track& track, Packet packet) {
  if (status() != Status::writing) return;
  try {
    if (!track.stream) {
      openTrack(track, packet);
      writeHeaderWhenReady(finishing_);
    }
    if (!headerWritten_) {
      track.waiting.push_back(std::move(packet));
      return;
    }
    MediaTime start;
    {
      std::lock_guard lock(mutex_);
      start = sessionStart_.value_or(MediaTime::zero());
    }
    const AVRational base = track.stream->time_base;
    const int64_t origin = rescale(start, base);
    const int64_t pts = rescale(packet.pts, base) - origin;
    int64_t dts = rescale(packet.dts, base) - origin;
    // Nothing from before the session; sound may start a little after the picture.
    if (pts < 0 || dts < 0) return;
    if (dts <= track.lastDts) {
      if (track.mediaType == MediaType::video) return;
      dts = track.lastDts + 1;
    }
    if (!packet_ && !(packet_ = av_packet_alloc())) throw std::bad_alloc();
    AVPacket* out = packet_;
    // The muxer may hold the packet's bytes past this call: they go in a buffer of its own.
    const int made = av_new_packet(out, static_cast<int>(packet.data.size()));
    if (made < 0) throw AssetWriterError("packet: " + errorText(made));
    std::memcpy(out->data, packet.data.data(), packet.data.size());
    out->stream_index = track.stream->index;
    out->pts = std::max(pts, dts);
    out->dts = dts;
    if (packet.duration.isNumeric()) out->duration = rescale(packet.duration, base);
    else if (track.frameRate) out->duration = av_rescale_q(1, AVRational{1, *track.frameRate}, base);
    if (packet.key) out->flags |= AV_PKT_FLAG_KEY;
    track.lastDts = dts;
    // Takes the packet's reference and leaves it blank for the next one.
    const int status = av_interleaved_write_frame(context_, out);
    av_packet_unref(out);
    if (status < 0) throw AssetWriterError("packet: " + errorText(status));
    ++track.written;
    if (packet.pts.isNumeric()) track.writtenUpTo = packet.pts.convertScale(static_cast<int32_t>(kNanos)).value;
  } catch (const std::exception& error) {
    fail(error.what());
  }
}

void AssetWriter::closeFile() {
  if (context_ && context_->pb && !(context_->oformat->flags & AVFMT_NOFILE)) avio_closep(&context_->pb);
}

void AssetWriter::finishWriting(std::function<void()> completion) {
  auto self = shared_from_this();
  platform::spawn(queue_, [](std::shared_ptr<AssetWriter> self, std::function<void()> completion) -> platform::Async<void> {
    if (self->status() == Status::writing && !self->finishing_) {
      self->finishing_ = true;
      for (auto& input : self->inputs_) input->markAsFinished();
      for (auto& input : self->inputs_) {
        if (input->reader_) co_await input->reader_.value();
      }
      try {
        self->writeHeaderWhenReady(true);
        if (!self->headerWritten_) throw AssetWriterError("nothing was written");
        if (self->status() == Status::writing) {
          int status = av_interleaved_write_frame(self->context_, nullptr);
          if (status >= 0) status = av_write_trailer(self->context_);
          if (status < 0) throw AssetWriterError("finishing the file: " + errorText(status));
        }
      } catch (const std::exception& error) {
        self->fail(error.what());
      }
      self->closeFile();
      {
        std::lock_guard lock(self->mutex_);
        if (self->status_ == Status::writing) self->status_ = Status::completed;
      }
    } else {
      // A writer that failed or never started still lets its encoders go, and
      // closes its file, so that what it holds can be read or repaired.
      for (auto& input : self->inputs_) input->markAsFinished();
      if (self->status() == Status::unknown) self->fail("finished before writing started");
      if (self->status() == Status::failed && !self->finishing_) self->closeFile();
    }
    if (completion) completion();
  }, self, std::move(completion));
}

void AssetWriter::cancelWriting() {
  {
    std::lock_guard lock(mutex_);
    if (status_ != Status::writing && status_ != Status::unknown) return;
    status_ = Status::cancelled;
  }
  for (auto& input : inputs_) input->markAsFinished();
  std::weak_ptr<AssetWriter> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) self->closeFile();
  });
}

}  // namespace medley
