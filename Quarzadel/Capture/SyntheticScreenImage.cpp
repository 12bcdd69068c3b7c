#include "Quarzadel/Capture/SyntheticScreenImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "Platform/Media/FFmpegBridge.h"

namespace quarzadel {

namespace {

uint8_t channel(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); }

// Hue, saturation, brightness to red, green, blue.
void hsbToRGB(double h, double s, double v, double rgb[3]) {
  const double i = std::floor(h * 6.0);
  const double f = h * 6.0 - i;
  const double p = v * (1 - s), q = v * (1 - f * s), t = v * (1 - (1 - f) * s);
  switch (static_cast<int>(i) % 6) {
    case 0: rgb[0] = v, rgb[1] = t, rgb[2] = p; break;
    case 1: rgb[0] = q, rgb[1] = v, rgb[2] = p; break;
    case 2: rgb[0] = p, rgb[1] = v, rgb[2] = t; break;
    case 3: rgb[0] = p, rgb[1] = q, rgb[2] = v; break;
    case 4: rgb[0] = t, rgb[1] = p, rgb[2] = v; break;
    default: rgb[0] = v, rgb[1] = p, rgb[2] = q; break;
  }
}


int64_t floorMod(int64_t a, int64_t m) {
  const int64_t r = a % m;
  return r < 0 ? r + m : r;
}

void fillRect(platform::PixelBuffer& buffer, int x, int y, int w, int h, const uint8_t bgra[4]) {
  auto plane = buffer.plane(0);
  for (int row = y; row < y + h && row < buffer.height(); ++row) {
    uint8_t* p = plane.data + static_cast<size_t>(row) * plane.bytesPerRow + static_cast<size_t>(x) * 4;
    for (int col = x; col < x + w && col < buffer.width(); ++col, p += 4) std::memcpy(p, bgra, 4);
  }
}

}  // namespace

void SyntheticScreenImage::patternColour(int64_t n, uint8_t bgr[3]) {
  double rgb[3];
  hsbToRGB(static_cast<double>(floorMod(n, 6)) / 6.0, 0.5, 0.85, rgb);
  bgr[0] = channel(rgb[2]);
  bgr[1] = channel(rgb[1]);
  bgr[2] = channel(rgb[0]);
}

platform::PixelBufferRef SyntheticScreenImage::pattern(int64_t n) {
  auto buffer = platform::PixelBuffer::make(kPatternWidth, kPatternHeight, platform::PixelFormat::bgra);
  if (!buffer) return nullptr;
  uint8_t background[4] = {0, 0, 0, 255};
  patternColour(n, background);
  fillRect(*buffer, 0, 0, kPatternWidth, kPatternHeight, background);
  // Bitmap coordinates start at the bottom left; rows in memory start at the top.
  const int barBottom = 160 + static_cast<int>(floorMod(n, 4)) * 120;
  const uint8_t white[4] = {255, 255, 255, 255};
  fillRect(*buffer, 160, kPatternHeight - barBottom - 80, 1600, 80, white);
  return buffer;
}

platform::PixelBufferRef SyntheticScreenImage::contentsOfFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return nullptr;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) return nullptr;

  // The decoder is chosen by the file's signature, so a misnamed file still loads.
  AVCodecID codecID = AV_CODEC_ID_NONE;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0) codecID = AV_CODEC_ID_PNG;
  else if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) codecID = AV_CODEC_ID_MJPEG;
  else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') codecID = AV_CODEC_ID_BMP;
  if (codecID == AV_CODEC_ID_NONE) return nullptr;
  const AVCodec* codec = avcodec_find_decoder(codecID);
  if (!codec) return nullptr;

  // Each freed on every path, also when another could not be made.
  platform::ffmpeg::AVCodecContextPtr context(avcodec_alloc_context3(codec));
  platform::ffmpeg::AVPacketPtr packetHolder(av_packet_alloc());
  platform::ffmpeg::AVFramePtr frameHolder(av_frame_alloc());
  AVCodecContext* ctx = context.get();
  AVPacket* packet = packetHolder.get();
  AVFrame* frame = frameHolder.get();
  platform::PixelBufferRef result;
  bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  if (ctx && packet && frame && avcodec_open2(ctx, codec, nullptr) == 0) {
    // The packet borrows the file's bytes: it owns no buffer, so freeing it leaves them alone.
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    bool decoded = avcodec_send_packet(ctx, packet) == 0 && avcodec_receive_frame(ctx, frame) == 0;
    if (!decoded) {
      avcodec_send_packet(ctx, nullptr);
      decoded = avcodec_receive_frame(ctx, frame) == 0;
    }
    if (decoded && platform::PixelBuffer::isValidSize(frame->width, frame->height)) {
      result = platform::PixelBuffer::make(frame->width, frame->height, platform::PixelFormat::bgra);
      SwsContext* sws = result ? sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                                frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_POINT, nullptr,
                                                nullptr, nullptr)
                               : nullptr;
      if (sws) {
        auto plane = result->plane(0);
        uint8_t* dst[4] = {plane.data, nullptr, nullptr, nullptr};
        int dstStride[4] = {static_cast<int>(plane.bytesPerRow), 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
        sws_freeContext(sws);
        // Premultiplied alpha, as the pictures the renderer takes.
        for (int y = 0; y < frame->height; ++y) {
          uint8_t* p = plane.data + static_cast<size_t>(y) * plane.bytesPerRow;
          for (int x = 0; x < frame->width; ++x, p += 4)
            if (p[3] != 255)
              for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * p[3] + 127) / 255);
        }
      } else {
        result.reset();
      }
    }
  }
  return result;
}

}  // namespace quarzadel
