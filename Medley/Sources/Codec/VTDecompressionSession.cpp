#include "Medley/Sources/Codec/VTDecompressionSession.h"
#include "Medley/Sources/Util/FFmpegLogBridge.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <libyuv.h>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/FourCC.h"

namespace medley {

using platform::MediaTime;
using platform::PixelFormat;

namespace {
constexpr std::int64_t kNanos = 1'000'000'000;
constexpr std::size_t kMaxTrackedFrames = 64;

std::int64_t toNanos(const MediaTime& t) {
    return t.timescale == kNanos ? t.value : t.convertScale(static_cast<std::int32_t>(kNanos)).value;
}
}  // namespace

std::shared_ptr<VTDecompressionSession> VTDecompressionSession::make(const platform::FormatDescriptionRef& format) {
    if (!format || format->mediaType() != platform::MediaType::video || !format->isCompressed()) {
        throw VTSessionError(VTSessionError::Kind::failedToCreate, VTStatus::parameter);
    }
    auto session = std::make_shared<VTDecompressionSession>(format);
    const OSStatus status = session->open();
    if (status != VTStatus::noErr) throw VTSessionError(VTSessionError::Kind::failedToCreate, status);
    return session;
}

VTDecompressionSession::VTDecompressionSession(platform::FormatDescriptionRef format) : format_(std::move(format)) {}

VTDecompressionSession::~VTDecompressionSession() {
    invalidate();
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

OSStatus VTDecompressionSession::open() {
    AVCodecID id;
    const std::vector<std::uint8_t>* atom = nullptr;
    if (format_->mediaSubType() == platform::codec::h264) {
        id = AV_CODEC_ID_H264;
        atom = format_->sampleDescriptionAtom("avcC");
    } else if (format_->mediaSubType() == platform::codec::hevc || format_->mediaSubType() == platform::fourCC("hev1")) {
        id = AV_CODEC_ID_HEVC;
        atom = format_->sampleDescriptionAtom("hvcC");
    } else {
        return VTStatus::couldNotFindVideoDecoder;
    }
    if (!atom || atom->empty()) return VTStatus::parameter;
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return VTStatus::couldNotFindVideoDecoder;
    installFFmpegLogBridge();
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!context_ || !frame_ || !packet_) return VTStatus::allocationFailed;
    context_->extradata = static_cast<std::uint8_t*>(av_mallocz(atom->size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context_->extradata) return VTStatus::allocationFailed;
    std::memcpy(context_->extradata, atom->data(), atom->size());
    context_->extradata_size = static_cast<int>(atom->size());
    context_->pkt_timebase = AVRational{1, static_cast<int>(kNanos)};
    context_->thread_count = 1;
    if (avcodec_open2(context_, codec, nullptr) < 0) return VTStatus::couldNotCreateInstance;
    return VTStatus::noErr;
}

OSStatus VTDecompressionSession::setOption(const VTSessionOption&) { return VTStatus::propertyNotSupported; }

OSStatus VTDecompressionSession::setOptions(const VTSessionOptionSet& options) {
    return options.empty() ? VTStatus::noErr : VTStatus::propertyNotSupported;
}

void VTDecompressionSession::convert(const platform::SampleBufferRef& sampleBuffer,
                                     const std::optional<SampleBufferContinuation>& continuation) {
    std::lock_guard lock(mutex_);
    if (invalidated_) throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::invalidSession);
    if (!sampleBuffer || !sampleBuffer->dataBuffer() || sampleBuffer->dataBuffer()->empty()) {
        throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::parameter);
    }
    const auto& block = *sampleBuffer->dataBuffer();
    if (av_new_packet(packet_, static_cast<int>(block.size())) < 0) {
        throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::allocationFailed);
    }
    std::memcpy(packet_->data, block.data(), block.size());
    const MediaTime pts = sampleBuffer->presentationTime();
    if (pts.isNumeric()) {
        packet_->pts = toNanos(pts);
        timings_[packet_->pts] = sampleBuffer->timing();
        while (timings_.size() > kMaxTrackedFrames) timings_.erase(timings_.begin());
    }
    if (sampleBuffer->decodeTime().isNumeric()) packet_->dts = toNanos(sampleBuffer->decodeTime());
    if (sampleBuffer->isSync()) packet_->flags |= AV_PKT_FLAG_KEY;
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    lastContinuation_ = continuation;
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
        throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::videoDecoderBadData);
    }
    receive(continuation);
}

void VTDecompressionSession::finishDelayedFrames() {
    std::lock_guard lock(mutex_);
    if (invalidated_ || !context_) return;
    avcodec_send_packet(context_, nullptr);
    receive(lastContinuation_);
    avcodec_flush_buffers(context_);
}

void VTDecompressionSession::invalidate() {
    finishDelayedFrames();
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    lastContinuation_.reset();
}

void VTDecompressionSession::receive(const std::optional<SampleBufferContinuation>& continuation) {
    for (;;) {
        const int r = avcodec_receive_frame(context_, frame_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) {
            MEDLEY_LOG_WARN("decoder failed:", r);
            return;
        }
        auto picture = toPixelBuffer(*frame_);
        const std::int64_t ptsNs = frame_->best_effort_timestamp != AV_NOPTS_VALUE ? frame_->best_effort_timestamp : frame_->pts;
        av_frame_unref(frame_);
        if (!picture) {
            MEDLEY_LOG_WARN("decoded picture could not be converted; dropped");
            continue;
        }
        platform::SampleTiming timing;
        if (ptsNs != AV_NOPTS_VALUE) {
            timing.presentationTime = MediaTime::fromNanos(ptsNs);
            if (auto it = timings_.find(ptsNs); it != timings_.end()) {
                timing = it->second;
                timings_.erase(it);
            }
        }
        timing.decodeTime = MediaTime::invalid();
        auto sample = platform::SampleBuffer::makeImage(std::move(picture), timing);
        if (sample && continuation) continuation->yield(std::move(sample));
    }
}

platform::PixelBufferRef VTDecompressionSession::toPixelBuffer(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const bool tenBit = format == AV_PIX_FMT_YUV420P10LE;
    const bool full = frame.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P;
    const PixelFormat target = tenBit ? PixelFormat::p010 : full ? PixelFormat::nv12FullRange : PixelFormat::nv12VideoRange;
    if (!pool_ || pool_->width() != frame.width || pool_->height() != frame.height || pool_->format() != target) {
        platform::PixelBufferPool::Attributes attributes;
        if (const auto& c = format_->extensions().color; !c.isEmpty()) attributes.colorAttachments = c;
        pool_ = platform::PixelBufferPool::make(frame.width, frame.height, target, 3, attributes);
        if (!pool_) return nullptr;
    }
    auto out = pool_->makePixelBuffer();
    if (!out) return nullptr;
    const auto y = out->plane(0), uv = out->plane(1);
    int r = -1;
    if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
        r = libyuv::I420ToNV12(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.data[2],
                               frame.linesize[2], y.data, static_cast<int>(y.bytesPerRow), uv.data,
                               static_cast<int>(uv.bytesPerRow), frame.width, frame.height);
    } else if (format == AV_PIX_FMT_NV12) {
        r = libyuv::NV12Copy(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], y.data,
                             static_cast<int>(y.bytesPerRow), uv.data, static_cast<int>(uv.bytesPerRow), frame.width,
                             frame.height);
    } else if (tenBit) {
        r = libyuv::I010ToP010(reinterpret_cast<const std::uint16_t*>(frame.data[0]), frame.linesize[0] / 2,
                               reinterpret_cast<const std::uint16_t*>(frame.data[1]), frame.linesize[1] / 2,
                               reinterpret_cast<const std::uint16_t*>(frame.data[2]), frame.linesize[2] / 2,
                               reinterpret_cast<std::uint16_t*>(y.data), static_cast<int>(y.bytesPerRow / 2),
                               reinterpret_cast<std::uint16_t*>(uv.data), static_cast<int>(uv.bytesPerRow / 2),
                               frame.width, frame.height);
    } else {
        sws_ = sws_getCachedContext(sws_, frame.width, frame.height, format, frame.width, frame.height, AV_PIX_FMT_NV12,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws_) return nullptr;
        std::uint8_t* planes[4] = {y.data, uv.data, nullptr, nullptr};
        int strides[4] = {static_cast<int>(y.bytesPerRow), static_cast<int>(uv.bytesPerRow), 0, 0};
        r = sws_scale(sws_, frame.data, frame.linesize, 0, frame.height, planes, strides) == frame.height ? 0 : -1;
    }
    return r == 0 ? out : nullptr;
}

}  // namespace medley
