#pragma once
// Bridges between the media buffers and FFmpeg's frames, for the codecs. The
// one media header that includes FFmpeg; include it only where FFmpeg is used.
#include <cstdint>
#include <memory>
#include <optional>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/BlockBuffer.h"
#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Time/MediaTime.h"

struct AVCodecContext;

namespace platform::ffmpeg {

struct AVFrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;

struct AVPacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;

// Defined out of line so that this header need not include the codec API.
struct AVCodecContextDeleter {
  void operator()(AVCodecContext* c) const;
};
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;

// Pictures.
AVPixelFormat avPixelFormat(PixelFormat f);
// The layout of ours that holds a frame of this FFmpeg format after pixelBufferFromAVFrame:
// NV12 and 8-bit 4:2:0 planar → nv12 (video or full range by the frame's range), P010 and
// 10-bit 4:2:0 planar → p010, BGRA → bgra; none for anything else.
std::optional<PixelFormat> pixelFormatFor(AVPixelFormat f, AVColorRange range);

AVColorSpace avColorSpace(YCbCrMatrix m);
AVColorPrimaries avColorPrimaries(ColorPrimaries p);
AVColorTransferCharacteristic avColorTransfer(TransferFunction t);
ColorAttachments colorAttachmentsOf(const AVFrame& frame);

// A frame over the picture's own planes, without copying; the frame keeps the
// picture alive until it and every reference to it are freed. Carries size,
// format, range and colour tags. Null for a null picture.
AVFramePtr makeAVFrame(const PixelBufferRef& picture);

// A picture from a decoded frame: the frame's own memory (kept referenced)
// when its layout is one of ours, otherwise a converted copy, taken from
// `pool` when it matches the frame's size and result format. Colour tags come
// from the frame. Null for layouts without a counterpart, or an exhausted pool.
PixelBufferRef pixelBufferFromAVFrame(const AVFrame& frame, PixelBufferPool* pool = nullptr);

// Copies (and converts, as above) a frame into a picture of the same size; false when they do not fit.
bool copyAVFrameToPixelBuffer(const AVFrame& frame, PixelBuffer& picture);

// Sound.
AVSampleFormat avSampleFormat(const AudioFormat& f);
// The PCM format of a decoder's output; none for sample types without a counterpart (e.g. unsigned 8-bit).
std::optional<AudioFormat> audioFormatFor(AVSampleFormat f, int sampleRate, int channels);

// A frame over the buffer's samples (frameLength of them), without copying;
// keeps the buffer alive. Null for a null buffer or more than 8 channels planar.
AVFramePtr makeAVFrame(const PCMBufferRef& buffer);
// A new buffer holding a copy of the frame's samples; null when the sample type has no counterpart.
PCMBufferRef pcmBufferFromAVFrame(const AVFrame& frame);

// Encoded bytes: a block over the packet's own memory (a new reference to
// it, no copy); empty for an empty packet.
BlockBuffer blockBufferFromAVPacket(const AVPacket& packet);

// Time stamps.
MediaTime mediaTimeFrom(int64_t timestamp, AVRational timeBase);
// AV_NOPTS_VALUE for a non-numeric time.
int64_t avTimestamp(const MediaTime& time, AVRational timeBase);

}  // namespace platform::ffmpeg
