#include "Platform/Media/FFmpegBridge.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace platform::ffmpeg {
namespace {

// Keeps a shared object alive for as long as FFmpeg references the buffer.
template <class T>
AVBufferRef* holdingBuffer(const std::shared_ptr<T>& object, uint8_t* data, size_t size) {
  auto* holder = new std::shared_ptr<T>(object);
  AVBufferRef* ref = av_buffer_create(
      data, size, [](void* opaque, uint8_t*) { delete static_cast<std::shared_ptr<T>*>(opaque); }, holder,
      AV_BUFFER_FLAG_READONLY);
  if (!ref) delete holder;
  return ref;
}

void copyRows(const uint8_t* src, int srcStride, uint8_t* dst, size_t dstStride, size_t rowBytes, int rows) {
  for (int y = 0; y < rows; ++y) std::memcpy(dst + dstStride * y, src + static_cast<ptrdiff_t>(srcStride) * y, rowBytes);
}

}  // namespace

void AVCodecContextDeleter::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }

AVPixelFormat avPixelFormat(PixelFormat f) {
  switch (f) {
    case PixelFormat::nv12VideoRange:
    case PixelFormat::nv12FullRange: return AV_PIX_FMT_NV12;
    case PixelFormat::bgra: return AV_PIX_FMT_BGRA;
    case PixelFormat::p010: return AV_PIX_FMT_P010LE;
  }
  return AV_PIX_FMT_NONE;
}

std::optional<PixelFormat> pixelFormatFor(AVPixelFormat f, AVColorRange range) {
  const bool full = range == AVCOL_RANGE_JPEG;
  switch (f) {
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_YUV420P:
      return full ? PixelFormat::nv12FullRange : PixelFormat::nv12VideoRange;
    case AV_PIX_FMT_YUVJ420P: return PixelFormat::nv12FullRange;
    case AV_PIX_FMT_P010LE:
    case AV_PIX_FMT_YUV420P10LE: return PixelFormat::p010;
    case AV_PIX_FMT_BGRA: return PixelFormat::bgra;
    default: return std::nullopt;
  }
}

AVColorSpace avColorSpace(YCbCrMatrix m) {
  switch (m) {
    case YCbCrMatrix::itu_r_709_2: return AVCOL_SPC_BT709;
    case YCbCrMatrix::itu_r_601_4: return AVCOL_SPC_SMPTE170M;
    case YCbCrMatrix::smpte_240m_1995: return AVCOL_SPC_SMPTE240M;
    case YCbCrMatrix::itu_r_2020: return AVCOL_SPC_BT2020_NCL;
    case YCbCrMatrix::unspecified: break;
  }
  return AVCOL_SPC_UNSPECIFIED;
}

AVColorPrimaries avColorPrimaries(ColorPrimaries p) {
  switch (p) {
    case ColorPrimaries::itu_r_709_2: return AVCOL_PRI_BT709;
    case ColorPrimaries::ebu_3213: return AVCOL_PRI_BT470BG;
    case ColorPrimaries::smpte_c: return AVCOL_PRI_SMPTE170M;
    case ColorPrimaries::p3_d65: return AVCOL_PRI_SMPTE432;
    case ColorPrimaries::itu_r_2020: return AVCOL_PRI_BT2020;
    case ColorPrimaries::unspecified: break;
  }
  return AVCOL_PRI_UNSPECIFIED;
}

AVColorTransferCharacteristic avColorTransfer(TransferFunction t) {
  switch (t) {
    case TransferFunction::itu_r_709_2: return AVCOL_TRC_BT709;
    case TransferFunction::smpte_240m_1995: return AVCOL_TRC_SMPTE240M;
    case TransferFunction::srgb: return AVCOL_TRC_IEC61966_2_1;
    case TransferFunction::linear: return AVCOL_TRC_LINEAR;
    case TransferFunction::itu_r_2020: return AVCOL_TRC_BT2020_10;
    case TransferFunction::smpte_st_2084_pq: return AVCOL_TRC_SMPTE2084;
    case TransferFunction::itu_r_2100_hlg: return AVCOL_TRC_ARIB_STD_B67;
    case TransferFunction::unspecified: break;
  }
  return AVCOL_TRC_UNSPECIFIED;
}

ColorAttachments colorAttachmentsOf(const AVFrame& f) {
  ColorAttachments c;
  switch (f.colorspace) {
    case AVCOL_SPC_BT709: c.matrix = YCbCrMatrix::itu_r_709_2; break;
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_BT470BG: c.matrix = YCbCrMatrix::itu_r_601_4; break;
    case AVCOL_SPC_SMPTE240M: c.matrix = YCbCrMatrix::smpte_240m_1995; break;
    case AVCOL_SPC_BT2020_NCL: c.matrix = YCbCrMatrix::itu_r_2020; break;
    default: break;
  }
  switch (f.color_primaries) {
    case AVCOL_PRI_BT709: c.primaries = ColorPrimaries::itu_r_709_2; break;
    case AVCOL_PRI_BT470BG: c.primaries = ColorPrimaries::ebu_3213; break;
    case AVCOL_PRI_SMPTE170M: c.primaries = ColorPrimaries::smpte_c; break;
    case AVCOL_PRI_SMPTE432: c.primaries = ColorPrimaries::p3_d65; break;
    case AVCOL_PRI_BT2020: c.primaries = ColorPrimaries::itu_r_2020; break;
    default: break;
  }
  switch (f.color_trc) {
    case AVCOL_TRC_BT709: c.transfer = TransferFunction::itu_r_709_2; break;
    case AVCOL_TRC_SMPTE240M: c.transfer = TransferFunction::smpte_240m_1995; break;
    case AVCOL_TRC_IEC61966_2_1: c.transfer = TransferFunction::srgb; break;
    case AVCOL_TRC_LINEAR: c.transfer = TransferFunction::linear; break;
    case AVCOL_TRC_BT2020_10: c.transfer = TransferFunction::itu_r_2020; break;
    case AVCOL_TRC_SMPTE2084: c.transfer = TransferFunction::smpte_st_2084_pq; break;
    case AVCOL_TRC_ARIB_STD_B67: c.transfer = TransferFunction::itu_r_2100_hlg; break;
    default: break;
  }
  return c;
}

AVFramePtr makeAVFrame(const PixelBufferRef& picture) {
  if (!picture) return nullptr;
  AVFramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->width = picture->width();
  frame->height = picture->height();
  frame->format = avPixelFormat(picture->format());
  for (int i = 0; i < picture->planeCount(); ++i) {
    const PixelBuffer::Plane p = picture->plane(i);
    frame->data[i] = p.data;
    frame->linesize[i] = static_cast<int>(p.bytesPerRow);
    frame->buf[i] = holdingBuffer(picture, p.data, p.byteSize());
    if (!frame->buf[i]) return nullptr;
  }
  frame->extended_data = frame->data;
  const PixelFormatLayout layout = layoutOf(picture->format());
  frame->color_range = layout.isYCbCr ? (layout.isFullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG)
                                      : AVCOL_RANGE_JPEG;
  const ColorAttachments& c = picture->colorAttachments();
  frame->colorspace = avColorSpace(c.matrix);
  frame->color_primaries = avColorPrimaries(c.primaries);
  frame->color_trc = avColorTransfer(c.transfer);
  return frame;
}

bool copyAVFrameToPixelBuffer(const AVFrame& f, PixelBuffer& picture) {
  const auto target = pixelFormatFor(static_cast<AVPixelFormat>(f.format), f.color_range);
  if (!target || f.width != picture.width() || f.height != picture.height()) return false;
  // Both ranges of NV12 share a layout; the picture's own range tag wins.
  const bool nv12Target =
      picture.format() == PixelFormat::nv12VideoRange || picture.format() == PixelFormat::nv12FullRange;
  const bool nv12Source = *target == PixelFormat::nv12VideoRange || *target == PixelFormat::nv12FullRange;
  if (!(nv12Target && nv12Source) && *target != picture.format()) return false;
  const PixelBuffer::Plane y = picture.plane(0);
  const PixelBuffer::Plane c = picture.plane(1);
  switch (f.format) {
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_P010LE:
    case AV_PIX_FMT_BGRA: {
      const int bytes = f.format == AV_PIX_FMT_NV12 ? 1 : f.format == AV_PIX_FMT_P010LE ? 2 : 4;
      copyRows(f.data[0], f.linesize[0], y.data, y.bytesPerRow, size_t(y.width) * bytes, y.height);
      if (picture.planeCount() > 1)
        copyRows(f.data[1], f.linesize[1], c.data, c.bytesPerRow, size_t(c.width) * 2 * bytes, c.height);
      break;
    }
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      copyRows(f.data[0], f.linesize[0], y.data, y.bytesPerRow, size_t(y.width), y.height);
      for (int row = 0; row < c.height; ++row) {
        const uint8_t* u = f.data[1] + static_cast<ptrdiff_t>(f.linesize[1]) * row;
        const uint8_t* v = f.data[2] + static_cast<ptrdiff_t>(f.linesize[2]) * row;
        uint8_t* out = c.data + c.bytesPerRow * row;
        for (int x = 0; x < c.width; ++x) {
          out[2 * x] = u[x];
          out[2 * x + 1] = v[x];
        }
      }
      break;
    case AV_PIX_FMT_YUV420P10LE:
      // 10-bit samples move to the high bits of their 16-bit words.
      for (int row = 0; row < y.height; ++row) {
        auto* in = reinterpret_cast<const uint16_t*>(f.data[0] + static_cast<ptrdiff_t>(f.linesize[0]) * row);
        auto* out = reinterpret_cast<uint16_t*>(y.data + y.bytesPerRow * row);
        for (int x = 0; x < y.width; ++x) out[x] = static_cast<uint16_t>(in[x] << 6);
      }
      for (int row = 0; row < c.height; ++row) {
        auto* u = reinterpret_cast<const uint16_t*>(f.data[1] + static_cast<ptrdiff_t>(f.linesize[1]) * row);
        auto* v = reinterpret_cast<const uint16_t*>(f.data[2] + static_cast<ptrdiff_t>(f.linesize[2]) * row);
        auto* out = reinterpret_cast<uint16_t*>(c.data + c.bytesPerRow * row);
        for (int x = 0; x < c.width; ++x) {
          out[2 * x] = static_cast<uint16_t>(u[x] << 6);
          out[2 * x + 1] = static_cast<uint16_t>(v[x] << 6);
        }
      }
      break;
    default:
      return false;
  }
  picture.setColorAttachments(colorAttachmentsOf(f));
  return true;
}

PixelBufferRef pixelBufferFromAVFrame(const AVFrame& f, PixelBufferPool* pool) {
  const auto target = pixelFormatFor(static_cast<AVPixelFormat>(f.format), f.color_range);
  if (!target || f.width <= 0 || f.height <= 0) return nullptr;
  const bool sameLayout = f.format == AV_PIX_FMT_NV12 || f.format == AV_PIX_FMT_P010LE || f.format == AV_PIX_FMT_BGRA;
  if (sameLayout && f.buf[0]) {
    // Share the decoder's memory: the clone holds references to its buffers.
    std::shared_ptr<AVFrame> clone(av_frame_clone(&f), [](AVFrame* p) { av_frame_free(&p); });
    if (clone) {
      std::array<PixelBuffer::Plane, 2> planes{};
      for (int i = 0; i < 2 && clone->data[i]; ++i)
        planes[i] = {clone->data[i], static_cast<size_t>(clone->linesize[i]), 0, 0};
      const bool negativeStride = clone->linesize[0] < 0 || (clone->data[1] && clone->linesize[1] < 0);
      if (!negativeStride) {
        if (auto picture = PixelBuffer::wrap(f.width, f.height, *target, planes, clone)) {
          picture->setColorAttachments(colorAttachmentsOf(f));
          return picture;
        }
      }
    }
  }
  PixelBufferRef picture;
  if (pool && pool->width() == f.width && pool->height() == f.height && pool->format() == *target) {
    picture = pool->makePixelBuffer();
  } else {
    picture = PixelBuffer::make(f.width, f.height, *target);
  }
  if (!picture || !copyAVFrameToPixelBuffer(f, *picture)) return nullptr;
  return picture;
}

AVSampleFormat avSampleFormat(const AudioFormat& f) {
  if (!f.isPCM()) return AV_SAMPLE_FMT_NONE;
  const bool planar = !f.isInterleaved();
  switch (f.commonFormat()) {
    case CommonFormat::float32: return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case CommonFormat::float64: return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case CommonFormat::int16: return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case CommonFormat::int32: return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case CommonFormat::other: break;
  }
  return AV_SAMPLE_FMT_NONE;
}

std::optional<AudioFormat> audioFormatFor(AVSampleFormat f, int sampleRate, int channels) {
  CommonFormat common;
  switch (av_get_packed_sample_fmt(f)) {
    case AV_SAMPLE_FMT_FLT: common = CommonFormat::float32; break;
    case AV_SAMPLE_FMT_DBL: common = CommonFormat::float64; break;
    case AV_SAMPLE_FMT_S16: common = CommonFormat::int16; break;
    case AV_SAMPLE_FMT_S32: common = CommonFormat::int32; break;
    default: return std::nullopt;
  }
  AudioFormat format(common, sampleRate, static_cast<uint32_t>(std::max(channels, 0)), !av_sample_fmt_is_planar(f));
  if (!format.isValid()) return std::nullopt;
  return format;
}

AVFramePtr makeAVFrame(const PCMBufferRef& buffer) {
  if (!buffer) return nullptr;
  const AudioFormat& format = buffer->format();
  if (buffer->bufferCount() > AV_NUM_DATA_POINTERS) return nullptr;
  AVFramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->format = avSampleFormat(format);
  frame->sample_rate = static_cast<int>(format.sampleRate());
  frame->nb_samples = static_cast<int>(buffer->frameLength());
  av_channel_layout_default(&frame->ch_layout, static_cast<int>(format.channelCount()));
  const size_t blockBytes = size_t{buffer->frameCapacity()} * buffer->bytesPerFrameInBuffer();
  for (uint32_t i = 0; i < buffer->bufferCount(); ++i) {
    frame->data[i] = buffer->rawChannelData()[i];
    frame->buf[i] = holdingBuffer(buffer, buffer->rawChannelData()[i], blockBytes);
    if (!frame->buf[i]) return nullptr;
  }
  frame->linesize[0] = static_cast<int>(blockBytes);
  frame->extended_data = frame->data;
  return frame;
}

PCMBufferRef pcmBufferFromAVFrame(const AVFrame& f) {
  const auto format = audioFormatFor(static_cast<AVSampleFormat>(f.format), f.sample_rate, f.ch_layout.nb_channels);
  if (!format || f.nb_samples < 0) return nullptr;
  auto buffer = PCMBuffer::make(*format, static_cast<uint32_t>(f.nb_samples));
  if (!buffer) return nullptr;
  const size_t bytes = size_t(f.nb_samples) * buffer->bytesPerFrameInBuffer();
  for (uint32_t i = 0; i < buffer->bufferCount(); ++i) {
    if (!f.extended_data[i]) return nullptr;
    std::memcpy(buffer->rawChannelData()[i], f.extended_data[i], bytes);
  }
  buffer->setFrameLength(static_cast<uint32_t>(f.nb_samples));
  return buffer;
}

BlockBuffer blockBufferFromAVPacket(const AVPacket& packet) {
  if (!packet.data || packet.size <= 0) return {};
  std::shared_ptr<AVPacket> ref(av_packet_clone(&packet), [](AVPacket* p) { av_packet_free(&p); });
  if (!ref || !ref->data) return {};
  return BlockBuffer::wrap(ref->data, static_cast<size_t>(ref->size), ref);
}

MediaTime mediaTimeFrom(int64_t timestamp, AVRational timeBase) {
  if (timestamp == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0) return MediaTime::invalid();
  if (timeBase.num == 1) return MediaTime{timestamp, timeBase.den};
  // Bases such as 1001/30000 have no exact timescale of their own: nanoseconds then.
  return MediaTime{av_rescale_q(timestamp, timeBase, AVRational{1, 1'000'000'000}), 1'000'000'000};
}

int64_t avTimestamp(const MediaTime& time, AVRational timeBase) {
  if (!time.isNumeric() || timeBase.num <= 0 || timeBase.den <= 0) return AV_NOPTS_VALUE;
  return av_rescale_q(time.value, AVRational{1, time.timescale}, timeBase);
}

}  // namespace platform::ffmpeg
