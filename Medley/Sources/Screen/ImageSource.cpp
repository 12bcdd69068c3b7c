#include "Medley/Sources/Screen/ImageSource.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "Platform/Media/FFmpegBridge.h"

namespace medley {
namespace {

const char* describe(ImageSourceError::Kind k) {
  switch (k) {
    case ImageSourceError::Kind::unsupported: return "unsupported";
    case ImageSourceError::Kind::invalidDataURL: return "invalidDataURL";
    case ImageSourceError::Kind::invalidBase64: return "invalidBase64";
    case ImageSourceError::Kind::imageDecodingFailed: return "imageDecodingFailed";
    case ImageSourceError::Kind::tooLarge: return "tooLarge";
  }
  return "unknown";
}

bool isURLText(const std::string& s) {
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c)) return false;
  return true;
}

std::string schemeOf(const std::string& s) {
  const auto colon = s.find(':');
  if (colon == std::string::npos || colon == 0) return {};
  for (size_t i = 0; i < colon; ++i) {
    const char c = s[i];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!(alpha || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))) return {};
  }
  return s.substr(0, colon);
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A file that ends before its closing marker would decode into part of a picture.
bool isCompletePNG(const std::vector<uint8_t>& b) {
  static const uint8_t iend[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  return b.size() >= 8 + sizeof iend && std::memcmp(b.data() + b.size() - sizeof iend, iend, sizeof iend) == 0;
}
bool isCompleteJPEG(const std::vector<uint8_t>& b) {
  size_t n = b.size();
  while (n > 0 && b[n - 1] == 0) --n;  // padding after the end marker is harmless
  return n >= 4 && b[n - 2] == 0xFF && b[n - 1] == 0xD9;
}


[[noreturn]] void failDecoding() { throw ImageSourceError(ImageSourceError::Kind::imageDecodingFailed); }

}  // namespace

ImageSourceError::ImageSourceError(Kind kind) : std::runtime_error(describe(kind)), kind(kind) {}

bool decodeBase64(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // data after padding
      v[k] = base64Value(c);
      if (v[k] < 0) return false;
    }
    const uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(n));
  }
  return true;
}

std::string encodeBase64(const uint8_t* data, size_t size) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  s.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t n = (data[i] << 16) | ((i + 1 < size ? data[i + 1] : 0) << 8) | (i + 2 < size ? data[i + 2] : 0);
    s += a[n >> 18];
    s += a[(n >> 12) & 63];
    s += i + 1 < size ? a[(n >> 6) & 63] : '=';
    s += i + 2 < size ? a[n & 63] : '=';
  }
  return s;
}

DataImageSource::DataImageSource(std::string url) : url_(std::move(url)) {
  if (!isURLText(url_) || schemeOf(url_) != "data") throw ImageSourceError(ImageSourceError::Kind::unsupported);
}

platform::PixelBufferRef DataImageSource::makeImage() const {
  if (url_.size() > kMaximumURLLength) throw ImageSourceError(ImageSourceError::Kind::tooLarge);
  static constexpr std::string_view marker = "base64,";
  const auto at = url_.find(marker);
  if (at == std::string::npos) throw ImageSourceError(ImageSourceError::Kind::invalidDataURL);
  std::vector<uint8_t> bytes;
  if (!decodeBase64(std::string_view(url_).substr(at + marker.size()), bytes))
    throw ImageSourceError(ImageSourceError::Kind::invalidBase64);
  return decodePicture(bytes);
}

platform::PixelBufferRef decodePicture(const std::vector<uint8_t>& bytes) {
  AVCodecID id;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0 && isCompletePNG(bytes))
    id = AV_CODEC_ID_PNG;
  else if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF && isCompleteJPEG(bytes))
    id = AV_CODEC_ID_MJPEG;
  else
    failDecoding();
  const AVCodec* codec = avcodec_find_decoder(id);
  if (!codec) failDecoding();
  platform::ffmpeg::AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) failDecoding();
  ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) failDecoding();
  platform::ffmpeg::AVPacketPtr pkt(av_packet_alloc());
  platform::ffmpeg::AVFramePtr frame(av_frame_alloc());
  if (!pkt || !frame || av_new_packet(pkt.get(), static_cast<int>(bytes.size())) < 0) failDecoding();
  std::memcpy(pkt->data, bytes.data(), bytes.size());
  if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) failDecoding();
  avcodec_send_packet(ctx.get(), nullptr);
  if (avcodec_receive_frame(ctx.get(), frame.get()) < 0) failDecoding();
  if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) failDecoding();
  if (!platform::PixelBuffer::isValidSize(frame->width, frame->height)) failDecoding();

  auto out = platform::PixelBuffer::make(frame->width, frame->height, platform::PixelFormat::bgra);
  if (!out) failDecoding();
  SwsContext* sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                   frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) failDecoding();
  uint8_t* dst[4] = {out->plane(0).data, nullptr, nullptr, nullptr};
  int dstStride[4] = {static_cast<int>(out->plane(0).bytesPerRow), 0, 0, 0};
  sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
  sws_freeContext(sws);
  return out;
}

}  // namespace medley
