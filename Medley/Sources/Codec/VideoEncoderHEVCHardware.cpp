// HEVC on the GPU through libavcodec's VAAPI encoder: pictures are uploaded to
// VAAPI surfaces of the encoder's own frame pool. Used only where a hardware
// encoder was asked for; it never falls back to software.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/FFmpegBridge.h"

namespace medley {

namespace {

// The encoder counts time in microseconds; the session's nanoseconds are kept to give back.
constexpr std::int64_t kNanosPerTick = 1000;

struct BufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
using Buffer = std::unique_ptr<AVBufferRef, BufferUnref>;
using Context = platform::ffmpeg::AVCodecContextPtr;
using Frame = platform::ffmpeg::AVFramePtr;
using Packet = platform::ffmpeg::AVPacketPtr;

std::vector<std::string> renderNodes() {
    std::vector<std::string> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec)) {
        const std::string node = entry.path().string();
        if (entry.path().filename().string().starts_with("renderD")) nodes.push_back(node);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

class HardwareHEVCVideoEncoder final : public VideoEncoder {
public:
    explicit HardwareHEVCVideoEncoder(const VideoEncoderConfiguration& c) : configuration_(c) {}

    OSStatus open() {
        const AVCodec* codec = avcodec_find_encoder_by_name("hevc_vaapi");
        if (!codec) return VTStatus::couldNotFindVideoEncoder;
        const auto nodes = renderNodes();
        if (nodes.empty()) return VTStatus::couldNotFindVideoEncoder;
        OSStatus status = VTStatus::couldNotCreateInstance;
        for (const auto& node : nodes) {
            status = openOn(codec, node);
            if (status == VTStatus::noErr) return status;
        }
        return status;
    }

    const std::vector<Data>& parameterSets() const override { return parameterSets_; }

    bool encode(const platform::PixelBuffer& picture, std::int64_t pts, bool forceKeyFrame,
                std::vector<VideoEncodedFrame>& out) override {
        if (flushing_) return false;
        Frame source(av_frame_alloc());
        Frame surface(av_frame_alloc());
        if (!source || !surface) return false;
        source->format = configuration_.tenBit ? AV_PIX_FMT_P010 : AV_PIX_FMT_NV12;
        source->width = configuration_.width;
        source->height = configuration_.height;
        for (int i = 0; i < 2; ++i) {
            const auto plane = picture.plane(i);
            source->data[i] = plane.data;
            source->linesize[i] = static_cast<int>(plane.bytesPerRow);
        }
        if (av_hwframe_get_buffer(context_->hw_frames_ctx, surface.get(), 0) < 0) return false;
        if (av_hwframe_transfer_data(surface.get(), source.get(), 0) < 0) return false;
        const std::int64_t tick = pts / kNanosPerTick;
        surface->pts = tick;
        surface->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        presentation_[tick] = pts;
        if (avcodec_send_frame(context_.get(), surface.get()) < 0) {
            presentation_.erase(tick);
            return false;
        }
        return drain(out);
    }

    bool flush(std::vector<VideoEncodedFrame>& out) override {
        if (flushing_) return true;
        flushing_ = true;
        if (avcodec_send_frame(context_.get(), nullptr) < 0) return false;
        return drain(out);
    }

private:
    OSStatus openOn(const AVCodec* codec, const std::string& node) {
        const auto& c = configuration_;
        AVBufferRef* rawDevice = nullptr;
        if (av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) {
            return VTStatus::couldNotCreateInstance;
        }
        Buffer device(rawDevice);
        Buffer frames(av_hwframe_ctx_alloc(device.get()));
        if (!frames) return VTStatus::allocationFailed;
        auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
        pool->format = AV_PIX_FMT_VAAPI;
        pool->sw_format = c.tenBit ? AV_PIX_FMT_P010 : AV_PIX_FMT_NV12;
        pool->width = c.width;
        pool->height = c.height;
        pool->initial_pool_size = 16;
        if (av_hwframe_ctx_init(frames.get()) < 0) return VTStatus::couldNotCreateInstance;

        Context context(avcodec_alloc_context3(codec));
        if (!context) return VTStatus::allocationFailed;
        context->width = c.width;
        context->height = c.height;
        context->time_base = AVRational{1, static_cast<int>(1'000'000'000 / kNanosPerTick)};
        const double fps = c.expectedFrameRate > 0 ? c.expectedFrameRate : 30;
        context->framerate = AVRational{static_cast<int>(std::lround(fps * 1000)), 1000};
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        context->sw_pix_fmt = pool->sw_format;
        context->hw_frames_ctx = av_buffer_ref(frames.get());
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        // Key frames come when the session asks for them.
        context->gop_size = 0x7fffffff;
        context->max_b_frames = c.allowFrameReordering ? 2 : 0;
        context->profile = c.tenBit ? FF_PROFILE_HEVC_MAIN_10 : FF_PROFILE_HEVC_MAIN;
        if (c.levelIdc) context->level = *c.levelIdc * 3;
        context->color_range = c.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        context->colorspace = c.tenBit ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709;
        context->color_primaries = c.tenBit ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
        context->color_trc = c.tenBit ? AVCOL_TRC_ARIB_STD_B67 : AVCOL_TRC_BT709;
        context->bit_rate = std::max<std::int64_t>(1000, c.bitRate);
        // Constant bit rate only where the driver has it: otherwise the open fails and says so.
        const bool constant = c.rateControl == VideoEncoderConfiguration::RateControl::constant;
        av_opt_set(context->priv_data, "rc_mode", constant ? "CBR" : "VBR", 0);
        if (constant) {
            context->rc_max_rate = context->bit_rate;
            context->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(context->bit_rate, INT32_MAX));
        } else if (c.vbvMaxBitRate > 0) {
            context->rc_max_rate = c.vbvMaxBitRate;
            context->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(c.vbvBufferSize, INT32_MAX));
        }
        if (avcodec_open2(context.get(), codec, nullptr) < 0) return VTStatus::couldNotCreateInstance;

        std::vector<Data> sets;
        for (const auto& unit :
             splitNALByteStream({context->extradata, static_cast<std::size_t>(std::max(0, context->extradata_size))})) {
            if (!unit.bytes.empty()) sets.emplace_back(unit.bytes.begin(), unit.bytes.end());
        }
        if (sets.size() < 3) return VTStatus::videoEncoderMalfunction;
        parameterSets_ = std::move(sets);
        device_ = std::move(device);
        frames_ = std::move(frames);
        context_ = std::move(context);
        MEDLEY_LOG_INFO("hardware HEVC encoder on", node, constant ? "at constant bit rate" : "at variable bit rate");
        return VTStatus::noErr;
    }

    bool drain(std::vector<VideoEncodedFrame>& out) {
        Packet packet(av_packet_alloc());
        if (!packet) return false;
        for (;;) {
            const int r = avcodec_receive_packet(context_.get(), packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            VideoEncodedFrame frame;
            frame.byteStream.assign(packet->data, packet->data + packet->size);
            const auto it = presentation_.find(packet->pts);
            frame.pts = it != presentation_.end() ? it->second : packet->pts * kNanosPerTick;
            if (it != presentation_.end()) presentation_.erase(it);
            frame.dts = packet->dts == AV_NOPTS_VALUE ? frame.pts : packet->dts * kNanosPerTick;
            out.push_back(std::move(frame));
            av_packet_unref(packet.get());
        }
    }

    VideoEncoderConfiguration configuration_;
    Buffer device_;
    Buffer frames_;
    Context context_;
    std::vector<Data> parameterSets_;
    std::map<std::int64_t, std::int64_t> presentation_;  // encoder ticks to the session's nanoseconds
    bool flushing_ = false;
};

}  // namespace

std::unique_ptr<VideoEncoder> makeHardwareHEVCVideoEncoder(const VideoEncoderConfiguration& configuration,
                                                           OSStatus& status) {
    auto encoder = std::make_unique<HardwareHEVCVideoEncoder>(configuration);
    status = encoder->open();
    if (status != VTStatus::noErr) return nullptr;
    return encoder;
}

}  // namespace medley
