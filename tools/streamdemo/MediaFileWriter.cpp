#include "MediaFileWriter.h"

#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "Platform/Media/CompressedAudioBuffer.h"

namespace streamdemo {

namespace {

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void check(int code, const std::string& what) {
  if (code < 0) throw std::runtime_error(what + ": " + errorText(code));
}

void setExtradata(AVCodecParameters& parameters, const uint8_t* bytes, size_t size) {
  parameters.extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!parameters.extradata) throw std::bad_alloc();
  std::memcpy(parameters.extradata, bytes, size);
  parameters.extradata_size = static_cast<int>(size);
}

}  // namespace

void MediaFileWriter::PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }

MediaFileWriter::MediaFileWriter(std::string path, platform::MediaTime origin, int framesPerSecond)
    : path_(std::move(path)), origin_(origin), framesPerSecond_(framesPerSecond) {
  check(avformat_alloc_output_context2(&context_, nullptr, nullptr, path_.c_str()), "no container for " + path_);
  // Opened at once, so that a bad path fails before any encoding.
  if (!(context_->oformat->flags & AVFMT_NOFILE)) check(avio_open(&context_->pb, path_.c_str(), AVIO_FLAG_WRITE), path_);
}

MediaFileWriter::~MediaFileWriter() {
  try {
    finish();
  } catch (const std::exception&) {
  }
  if (context_) {
    if (context_->pb) avio_closep(&context_->pb);
    avformat_free_context(context_);
  }
}

void MediaFileWriter::addVideoStream(const platform::FormatDescription& format) {
  const auto* configuration = format.decoderConfigurationData();
  if (!configuration) throw std::runtime_error("encoded video without a decoder configuration");
  video_ = avformat_new_stream(context_, nullptr);
  if (!video_) throw std::bad_alloc();
  auto& parameters = *video_->codecpar;
  parameters.codec_type = AVMEDIA_TYPE_VIDEO;
  const bool hevc = format.mediaSubType() == platform::codec::hevc;
  parameters.codec_id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  // Parameter sets live in the sample description only.
  if (hevc && std::strcmp(context_->oformat->name, "mp4") == 0) parameters.codec_tag = MKTAG('h', 'v', 'c', '1');
  parameters.width = format.dimensions().width;
  parameters.height = format.dimensions().height;
  setExtradata(parameters, configuration->data(), configuration->size());
  video_->time_base = AVRational{1, 90000};
  video_->avg_frame_rate = AVRational{framesPerSecond_, 1};
  video_->r_frame_rate = AVRational{framesPerSecond_, 1};
}

void MediaFileWriter::addAudioStream(const platform::AudioFormat& format) {
  const auto config = medley::AudioSpecificConfig::fromStreamDescription(format.streamDescription());
  if (!config) throw std::runtime_error("encoded audio that is not AAC: " + format.description());
  audio_ = avformat_new_stream(context_, nullptr);
  if (!audio_) throw std::bad_alloc();
  auto& parameters = *audio_->codecpar;
  parameters.codec_type = AVMEDIA_TYPE_AUDIO;
  parameters.codec_id = AV_CODEC_ID_AAC;
  parameters.sample_rate = static_cast<int>(format.sampleRate());
  av_channel_layout_default(&parameters.ch_layout, static_cast<int>(format.channelCount()));
  parameters.frame_size = 1024;
  const auto bytes = config->bytes();
  setExtradata(parameters, bytes.data(), bytes.size());
  audio_->time_base = AVRational{1, parameters.sample_rate};
}

void MediaFileWriter::writeHeaderWhenReady() {
  if (headerWritten_ || !video_ || !audio_) return;
  check(avformat_write_header(context_, nullptr), "container header");
  headerWritten_ = true;
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& p : pending) write(std::move(p.packet), p.stream, p.pts, p.dts, p.duration);
}

int64_t MediaFileWriter::streamTime(const platform::MediaTime& time, AVStream* stream) const {
  const int64_t at = av_rescale_q(time.value, AVRational{1, time.timescale}, stream->time_base);
  const int64_t origin = av_rescale_q(origin_.value, AVRational{1, origin_.timescale}, stream->time_base);
  return at - origin;
}

void MediaFileWriter::write(PacketPtr packet, AVStream* stream, const platform::MediaTime& pts,
                            const platform::MediaTime& dts, const platform::MediaTime& duration) {
  if (!headerWritten_) {
    pending_.push_back(Pending{std::move(packet), stream, pts, dts, duration});
    return;
  }
  packet->stream_index = stream->index;
  packet->pts = streamTime(pts, stream);
  packet->dts = streamTime(dts, stream);
  packet->duration = av_rescale_q(duration.value, AVRational{1, duration.timescale}, stream->time_base);
  check(av_interleaved_write_frame(context_, packet.get()), "packet");
}

void MediaFileWriter::writeVideo(const platform::SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer || finished_) return;
  if (!video_) addVideoStream(*sampleBuffer->formatDescription());
  const auto* data = sampleBuffer->dataBuffer();
  if (!data || data->size() == 0) return;
  PacketPtr packet(av_packet_alloc());
  check(av_new_packet(packet.get(), static_cast<int>(data->size())), "video packet");
  if (!data->copyBytes(0, data->size(), packet->data)) throw std::runtime_error("unreadable video sample");
  if (sampleBuffer->isSync()) packet->flags |= AV_PKT_FLAG_KEY;
  const auto duration = sampleBuffer->duration().isNumeric() ? sampleBuffer->duration()
                                                              : platform::MediaTime(1, framesPerSecond_);
  const auto dts = sampleBuffer->decodeTime().isNumeric() ? sampleBuffer->decodeTime() : sampleBuffer->presentationTime();
  ++videoPackets_;
  write(std::move(packet), video_, sampleBuffer->presentationTime(), dts, duration);
  writeHeaderWhenReady();
}

void MediaFileWriter::writeAudio(const medley::AudioCodec::Output& output) {
  const auto& [buffer, when] = output;
  auto aac = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer);
  if (!aac || finished_) return;
  if (!audio_) addAudioStream(aac->format());
  const double rate = aac->format().sampleRate();
  // Positions on the output rate; the host time stands in when there is none.
  int64_t position = when.sampleTimeValid && when.sampleRate == rate
                         ? when.sampleTime
                         : av_rescale_q(when.hostTime, AVRational{1, 1'000'000'000}, AVRational{1, static_cast<int>(rate)});
  const auto* descriptions = aac->packetDescriptions();
  for (uint32_t i = 0; i < aac->packetCount(); ++i) {
    const int64_t offset = descriptions ? descriptions[i].startOffset : 0;
    const uint32_t size = descriptions ? descriptions[i].dataByteSize : aac->byteLength();
    if (offset < 0 || offset + size > aac->byteLength() || size == 0) continue;
    PacketPtr packet(av_packet_alloc());
    check(av_new_packet(packet.get(), static_cast<int>(size)), "audio packet");
    std::memcpy(packet->data, aac->data() + offset, size);
    packet->flags |= AV_PKT_FLAG_KEY;
    const platform::MediaTime pts(position, static_cast<int32_t>(rate));
    ++audioPackets_;
    write(std::move(packet), audio_, pts, pts, platform::MediaTime(1024, static_cast<int32_t>(rate)));
    position += 1024;
  }
  writeHeaderWhenReady();
}

void MediaFileWriter::finish() {
  if (finished_) return;
  finished_ = true;
  if (!headerWritten_) {
    pending_.clear();
    throw std::runtime_error("no file written: " + std::string(video_ ? "no audio" : "no video") + " came out");
  }
  check(av_interleaved_write_frame(context_, nullptr), "flush");
  check(av_write_trailer(context_), "container trailer");
  if (context_->pb) avio_closep(&context_->pb);
}

}  // namespace streamdemo
