#include "Platform/Capture/CaptureFrameConverter.h"

#include <linux/videodev2.h>
#include <libyuv.h>

namespace platform {

namespace {
constexpr size_t kPoolMinimum = 4;
}

bool CaptureFrameConverter::canConvert(uint32_t f) {
  switch (f) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
      return true;
    default:
      return false;
  }
}

std::shared_ptr<PixelBufferPool> CaptureFrameConverter::poolFor(int width, int height, PixelFormat format) {
  if (!pool_ || pool_->width() != width || pool_->height() != height || pool_->format() != format) {
    PixelBufferPool::Attributes attributes;
    attributes.idleRelease = seconds(kPoolIdleReleaseSeconds);
    attributes.clock = clock_;
    pool_ = PixelBufferPool::make(width, height, format, kPoolMinimum, attributes);
  }
  return pool_;
}

PixelBufferRef CaptureFrameConverter::convert(const CapturedFrameLayout& l, const uint8_t* data, size_t size) {
  if (!data || l.width <= 0 || l.height <= 0 || (l.width & 1) || !canConvert(l.pixelFormat)) return nullptr;
  const bool jpeg = l.pixelFormat == V4L2_PIX_FMT_MJPEG || l.pixelFormat == V4L2_PIX_FMT_JPEG;
  const PixelFormat out = (jpeg || l.fullRange) ? PixelFormat::nv12FullRange : PixelFormat::nv12VideoRange;
  auto pool = poolFor(l.width, l.height, out);
  if (!pool) return nullptr;
  PixelBufferRef buffer = pool->makePixelBuffer();
  if (!buffer) return nullptr;
  const PixelBuffer::Plane y = buffer->plane(0);
  const PixelBuffer::Plane uv = buffer->plane(1);
  const int w = l.width, h = l.height;
  const int dy = static_cast<int>(y.bytesPerRow), duv = static_cast<int>(uv.bytesPerRow);
  const size_t chromaRows = static_cast<size_t>((h + 1) / 2);
  int rc = -1;

  switch (l.pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: {
      const size_t stride = l.bytesPerLine ? l.bytesPerLine : static_cast<size_t>(w) * 2;
      if (stride < static_cast<size_t>(w) * 2 || size < stride * static_cast<size_t>(h)) return nullptr;
      rc = l.pixelFormat == V4L2_PIX_FMT_YUYV
               ? libyuv::YUY2ToNV12(data, int(stride), y.data, dy, uv.data, duv, w, h)
               : libyuv::UYVYToNV12(data, int(stride), y.data, dy, uv.data, duv, w, h);
      break;
    }
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21: {
      const size_t stride = l.bytesPerLine ? l.bytesPerLine : static_cast<size_t>(w);
      const size_t lumaSize = stride * static_cast<size_t>(h);
      if (stride < static_cast<size_t>(w) || size < lumaSize + stride * chromaRows) return nullptr;
      if (l.pixelFormat == V4L2_PIX_FMT_NV12) {
        libyuv::CopyPlane(data, int(stride), y.data, dy, w, h);
        libyuv::CopyPlane(data + lumaSize, int(stride), uv.data, duv, w, int(chromaRows));
        rc = 0;
      } else {
        rc = libyuv::NV21ToNV12(data, int(stride), data + lumaSize, int(stride), y.data, dy, uv.data, duv, w, h);
      }
      break;
    }
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420: {
      const size_t stride = l.bytesPerLine ? l.bytesPerLine : static_cast<size_t>(w);
      const size_t cstride = stride / 2;
      const size_t lumaSize = stride * static_cast<size_t>(h);
      const size_t chromaSize = cstride * chromaRows;
      if (stride < static_cast<size_t>(w) || size < lumaSize + 2 * chromaSize) return nullptr;
      const uint8_t* first = data + lumaSize;
      const uint8_t* second = first + chromaSize;
      const bool swapped = l.pixelFormat == V4L2_PIX_FMT_YVU420;
      rc = libyuv::I420ToNV12(data, int(stride), swapped ? second : first, int(cstride), swapped ? first : second,
                              int(cstride), y.data, dy, uv.data, duv, w, h);
      break;
    }
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: {
      int jw = 0, jh = 0;
      if (size < 4 || libyuv::MJPGSize(data, size, &jw, &jh) != 0 || jw != w || jh != h) return nullptr;
      rc = libyuv::MJPGToNV12(data, size, y.data, dy, uv.data, duv, w, h, w, h);
      break;
    }
    default:
      return nullptr;
  }
  if (rc != 0) return nullptr;
  ColorAttachments tags;
  tags.matrix = jpeg ? YCbCrMatrix::itu_r_601_4 : l.matrix;
  tags.mode = AttachmentMode::shouldPropagate;
  buffer->setColorAttachments(tags);
  return buffer;
}

}  // namespace platform
