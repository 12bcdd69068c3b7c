#include "FlvCheck.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "Platform/Media/FourCC.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

namespace rtmpsmoke {

namespace {

using rtmpmedley::Data;

uint32_t be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

// libavcodec's decoder for the description's codec, with its configuration record.
class Decoder {
 public:
  explicit Decoder(const platform::FormatDescription& format) {
    const bool hevc = format.mediaSubType() == platform::codec::hevc;
    const AVCodec* codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context_) return;
    if (const auto* record = format.decoderConfigurationData()) {
      context_->extradata = static_cast<uint8_t*>(av_mallocz(record->size() + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(context_->extradata, record->data(), record->size());
      context_->extradata_size = static_cast<int>(record->size());
    }
    if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~Decoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }
  bool ok() const { return context_ != nullptr; }
  // Pictures that came out for these bytes; -1 on a decoding error.
  int decode(const std::vector<uint8_t>* bytes) {
    if (bytes) {
      if (av_new_packet(packet_, static_cast<int>(bytes->size())) < 0) return -1;
      std::memcpy(packet_->data, bytes->data(), bytes->size());
    }
    const int sent = avcodec_send_packet(context_, bytes ? packet_ : nullptr);
    if (bytes) av_packet_unref(packet_);
    if (sent < 0) return -1;
    int pictures = 0;
    while (avcodec_receive_frame(context_, frame_) == 0) {
      width = frame_->width;
      height = frame_->height;
      ++pictures;
    }
    return pictures;
  }
  int width = 0;
  int height = 0;

 private:
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

}  // namespace

FlvReport checkFlv(const std::string& path) {
  FlvReport report;
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 13 || std::memcmp(file.data(), "FLV", 3) != 0) {
    report.problem = "not an FLV file: " + path;
    return report;
  }
  size_t offset = (uint32_t(file[5]) << 24 | uint32_t(file[6]) << 16 | uint32_t(file[7]) << 8 | file[8]) + 4;
  platform::FormatDescriptionRef videoFormat;
  std::unique_ptr<Decoder> decoder;
  std::optional<int64_t> firstVideo, firstVideoDecode, lastVideo, firstAudio, lastAudio;
  while (offset + 11 <= file.size()) {
    const uint8_t* tag = file.data() + offset;
    const uint8_t type = tag[0] & 0x1F;
    const uint32_t size = be24(tag + 1);
    const int64_t time = static_cast<int64_t>(be24(tag + 4) | (uint32_t(tag[7]) << 24));
    if (offset + 11 + size > file.size()) break;  // a recording cut short ends here
    Data body(tag + 11, tag + 11 + size);
    offset += 11 + size + 4;
    if (type == 9) {
      const rtmpmedley::RTMPVideoMessage message(1, static_cast<uint32_t>(time), std::move(body));
      if (!message.isSupported() || message.payload().size() < 2) continue;
      // Legacy: AVC packet type 0; enhanced: packet type 0 in the low bits of the first byte.
      const uint8_t first = message.payload()[0];
      const bool sequenceHeader = (first & 0x80) ? (first & 0x0F) == 0 : message.payload()[1] == 0;
      if (sequenceHeader) {
        auto format = message.makeFormatDescription();
        if (!format) continue;
        videoFormat = format;
        decoder = std::make_unique<Decoder>(*format);
        report.videoCodec = format->mediaSubType() == platform::codec::hevc ? "hevc" : "h264";
        continue;
      }
      if (!videoFormat || !decoder || !decoder->ok()) continue;
      auto sample = message.makeSampleBuffer(platform::MediaTime(time, 1000), videoFormat);
      if (!sample || !sample->dataBuffer()) continue;
      ++report.videoFrames;
      // Presentation time: the tag's decode time plus the composition time.
      if (!firstVideo) firstVideo = time + message.compositionTime();
      lastVideo = time;
      if (!firstVideoDecode) firstVideoDecode = time;
      std::vector<uint8_t> bytes(sample->dataBuffer()->size());
      sample->dataBuffer()->copyBytes(0, bytes.size(), bytes.data());
      const int pictures = decoder->decode(&bytes);
      if (pictures < 0)
        ++report.decodeErrors;
      else
        report.decodedFrames += pictures;
    } else if (type == 8) {
      const rtmpmedley::RTMPAudioMessage message(1, static_cast<uint32_t>(time), std::move(body));
      if (message.codec() != rtmpmedley::RTMPAudioCodec::aac || message.payload().size() < 2) continue;
      if (message.payload()[1] == 0) {
        if (auto format = message.makeAudioFormat()) {
          report.audioCodec = "aac";
          report.sampleRate = format->sampleRate();
          report.channels = format->channelCount();
        }
        continue;
      }
      ++report.audioFrames;
      if (!firstAudio) firstAudio = time;
      lastAudio = time;
    }
  }
  if (decoder && decoder->ok()) {
    const int rest = decoder->decode(nullptr);
    if (rest > 0) report.decodedFrames += rest;
    report.width = decoder->width;
    report.height = decoder->height;
  }
  if (firstVideoDecode && lastVideo && *lastVideo > *firstVideoDecode)
    report.framesPerSecond =
        static_cast<double>(report.videoFrames - 1) * 1000.0 / double(*lastVideo - *firstVideoDecode);
  if (firstVideo && firstAudio) report.audioVideoOffsetMs = *firstAudio - *firstVideo;
  const int64_t end = std::max(lastVideo.value_or(0), lastAudio.value_or(0));
  const int64_t start = std::min(firstVideoDecode.value_or(end), firstAudio.value_or(end));
  report.durationSeconds = static_cast<double>(end - start) / 1000.0;
  if (report.videoCodec.empty()) report.problem = "no supported video in " + path;
  return report;
}

}  // namespace rtmpsmoke
