#include "Medley/Sources/Screen/AssetReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Platform/Media/FFmpegBridge.h"

namespace medley {

struct AssetReader::Impl {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int stream = -1;
  bool draining = false;
  ~Impl() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
};

AssetReader::AssetReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AssetReader::~AssetReader() = default;

std::shared_ptr<AssetReader> AssetReader::make(const std::string& path) {
  auto impl = std::make_unique<Impl>();
  if (avformat_open_input(&impl->format, path.c_str(), nullptr, nullptr) < 0)
    throw AssetReaderError("cannot open " + path);
  if (avformat_find_stream_info(impl->format, nullptr) < 0) throw AssetReaderError("cannot read " + path);
  impl->stream = av_find_best_stream(impl->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (impl->stream >= 0) {
    const AVCodecParameters* par = impl->format->streams[impl->stream]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    if (!decoder) throw AssetReaderError("no decoder for the video track of " + path);
    impl->codec = avcodec_alloc_context3(decoder);
    if (!impl->codec || avcodec_parameters_to_context(impl->codec, par) < 0)
      throw AssetReaderError("cannot set up the decoder of " + path);
    impl->codec->pkt_timebase = impl->format->streams[impl->stream]->time_base;
    impl->codec->thread_count = 1;
    if (avcodec_open2(impl->codec, decoder, nullptr) < 0) throw AssetReaderError("cannot open the decoder of " + path);
  }
  impl->packet = av_packet_alloc();
  impl->frame = av_frame_alloc();
  if (!impl->packet || !impl->frame) throw AssetReaderError("out of memory");
  return std::shared_ptr<AssetReader>(new AssetReader(std::move(impl)));
}

bool AssetReader::hasVideoTrack() const { return impl_->stream >= 0; }

void AssetReader::startReading() {
  if (status_ == Status::unknown) status_ = Status::reading;
}

void AssetReader::cancelReading() {
  if (status_ == Status::reading || status_ == Status::unknown) status_ = Status::cancelled;
}

platform::SampleBufferRef AssetReader::copyNextSampleBuffer() {
  if (status_ != Status::reading || !hasVideoTrack()) return nullptr;
  Impl& m = *impl_;
  for (;;) {
    const int got = avcodec_receive_frame(m.codec, m.frame);
    if (got == 0) {
      const AVStream* st = m.format->streams[m.stream];
      int64_t ts = m.frame->best_effort_timestamp;
      if (ts == AV_NOPTS_VALUE) ts = m.frame->pts;
      if (ts != AV_NOPTS_VALUE && st->start_time != AV_NOPTS_VALUE) ts -= st->start_time;
      auto picture = platform::ffmpeg::pixelBufferFromAVFrame(*m.frame);
      const int64_t duration = m.frame->pkt_duration;
      av_frame_unref(m.frame);
      if (!picture) {
        status_ = Status::failed;
        return nullptr;
      }
      platform::SampleTiming timing;
      timing.presentationTime = ts == AV_NOPTS_VALUE ? platform::MediaTime::zero()
                                                     : platform::ffmpeg::mediaTimeFrom(ts, st->time_base);
      if (duration > 0) timing.duration = platform::ffmpeg::mediaTimeFrom(duration, st->time_base);
      return platform::SampleBuffer::makeImage(std::move(picture), timing);
    }
    if (got == AVERROR_EOF) {
      status_ = Status::completed;
      return nullptr;
    }
    if (got != AVERROR(EAGAIN)) {
      status_ = Status::failed;
      return nullptr;
    }
    if (m.draining) {
      status_ = Status::completed;
      return nullptr;
    }
    const int read = av_read_frame(m.format, m.packet);
    if (read < 0) {
      m.draining = true;
      avcodec_send_packet(m.codec, nullptr);
      continue;
    }
    ++packetsRead_;
    if (m.packet->stream_index == m.stream && avcodec_send_packet(m.codec, m.packet) < 0) {
      av_packet_unref(m.packet);
      status_ = Status::failed;
      return nullptr;
    }
    av_packet_unref(m.packet);
  }
}

}  // namespace medley
