// H.264 through libx264, tuned for live: no look-ahead, no scene-cut key
// frames (the session forces key frames on its own clock), B-frames only when
// reordering is allowed.
#include <cmath>
#include <numeric>
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

extern "C" {
#include <x264.h>
}

#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

void logFromX264(void*, int level, const char* format, va_list args) {
    if (level > X264_LOG_WARNING) return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (level == X264_LOG_ERROR) MEDLEY_LOG_ERROR("x264:", text);
    else MEDLEY_LOG_WARN("x264:", text);
}

void applyRate(x264_param_t& p, const VideoEncoderConfiguration& c) {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = std::max(1, kilobitsPerSecond(c.bitRate));
    p.rc.i_vbv_max_bitrate = kilobitsPerSecond(c.vbvMaxBitRate);
    p.rc.i_vbv_buffer_size = kilobitsPerSecond(c.vbvBufferSize);
}

class H264VideoEncoder final : public VideoEncoder {
public:
    explicit H264VideoEncoder(const VideoEncoderConfiguration& c) : configuration_(c) {}
    ~H264VideoEncoder() override {
        if (encoder_) x264_encoder_close(encoder_);
    }

    OSStatus open() {
        const auto& c = configuration_;
        const char* preset = c.preset.empty() ? "veryfast" : c.preset.c_str();
        if (x264_param_default_preset(&param_, preset, c.allowFrameReordering ? nullptr : "zerolatency") < 0) {
            return VTStatus::parameter;
        }
        param_.pf_log = logFromX264;
        param_.i_log_level = X264_LOG_WARNING;
        param_.i_threads = c.threads > 0 ? c.threads : X264_THREADS_AUTO;
        param_.i_width = c.width;
        param_.i_height = c.height;
        param_.i_csp = X264_CSP_NV12;
        param_.i_bitdepth = 8;
        const double fps = c.expectedFrameRate > 0 ? c.expectedFrameRate : 30;
        const auto fpsNum = static_cast<std::uint32_t>(std::lround(fps * 1000));
        const std::uint32_t divisor = std::gcd(fpsNum, 1000u);
        param_.i_fps_num = fpsNum / divisor;
        param_.i_fps_den = 1000 / divisor;
        // Constant frame rate: the stream's timing information is the frame
        // rate itself (the library writes its time base there), rate control
        // budgets each picture at that rate, as the HEVC encoder does, and no
        // picture waits for the next one's time. Times pass through untouched.
        param_.b_vfr_input = 0;
        param_.i_timebase_num = param_.i_fps_den;
        param_.i_timebase_den = param_.i_fps_num;
        param_.i_keyint_max = X264_KEYINT_MAX_INFINITE;
        param_.i_scenecut_threshold = 0;
        param_.b_open_gop = 0;
        param_.b_intra_refresh = 0;
        param_.rc.i_lookahead = 0;
        param_.i_sync_lookahead = 0;
        param_.rc.b_mb_tree = 0;
        param_.i_bframe = c.allowFrameReordering ? 2 : 0;
        // Threads share each picture instead of each taking one: frame
        // threads hold one picture each before the first comes out. What
        // remains is the B-frame run when reordering is allowed (two pictures).
        param_.b_sliced_threads = 1;
        param_.b_cabac = c.cabac ? 1 : 0;
        applyRate(param_, c);
        param_.b_annexb = 1;
        param_.b_repeat_headers = 0;
        param_.b_aud = 0;
        param_.vui.b_fullrange = c.fullRange ? 1 : 0;
        param_.vui.i_colorprim = 1;
        param_.vui.i_transfer = 1;
        param_.vui.i_colmatrix = 1;
        param_.i_level_idc = c.levelIdc ? *c.levelIdc : -1;
        if (x264_param_apply_profile(&param_, c.profile.c_str()) < 0) return VTStatus::parameter;

        encoder_ = x264_encoder_open(&param_);
        if (!encoder_) return VTStatus::couldNotCreateInstance;
        x264_encoder_parameters(encoder_, &param_);

        x264_nal_t* nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(encoder_, &nals, &count) < 0) return VTStatus::videoEncoderMalfunction;
        for (int i = 0; i < count; ++i) {
            if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
            for (const auto& unit : splitNALByteStream({nals[i].p_payload, static_cast<std::size_t>(nals[i].i_payload)})) {
                parameterSets_.emplace_back(unit.bytes.begin(), unit.bytes.end());
            }
        }
        return parameterSets_.size() >= 2 ? VTStatus::noErr : VTStatus::videoEncoderMalfunction;
    }

    const std::vector<Data>& parameterSets() const override { return parameterSets_; }

    bool encode(const platform::PixelBuffer& picture, std::int64_t pts, bool forceKeyFrame,
                std::vector<VideoEncodedFrame>& out) override {
        return encode(&picture, pts, forceKeyFrame, out);
    }

    bool flush(std::vector<VideoEncodedFrame>& out) override {
        while (x264_encoder_delayed_frames(encoder_) > 0) {
            if (!encode(nullptr, 0, false, out)) return false;
        }
        return true;
    }

private:
    bool encode(const platform::PixelBuffer* picture, std::int64_t pts, bool forceKeyFrame,
                std::vector<VideoEncodedFrame>& out) {
        x264_picture_t in;
        x264_picture_t result;
        x264_picture_init(&in);
        x264_picture_init(&result);
        x264_nal_t* nals = nullptr;
        int count = 0;
        if (picture) {
            in.img.i_csp = X264_CSP_NV12;
            in.img.i_plane = 2;
            for (int i = 0; i < 2; ++i) {
                const auto plane = picture->plane(i);
                in.img.plane[i] = plane.data;
                in.img.i_stride[i] = static_cast<int>(plane.bytesPerRow);
            }
            in.i_pts = pts;
            in.i_type = forceKeyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
        }
        const int size = x264_encoder_encode(encoder_, &nals, &count, picture ? &in : nullptr, &result);
        if (size < 0) return false;
        if (size > 0 && count > 0) {
            VideoEncodedFrame frame;
            frame.byteStream.assign(nals[0].p_payload, nals[0].p_payload + size);
            frame.pts = result.i_pts;
            frame.dts = result.i_dts;
            out.push_back(std::move(frame));
        }
        return true;
    }

    VideoEncoderConfiguration configuration_;
    x264_param_t param_{};
    x264_t* encoder_ = nullptr;
    std::vector<Data> parameterSets_;
};

}  // namespace

std::unique_ptr<VideoEncoder> makeH264VideoEncoder(const VideoEncoderConfiguration& configuration, OSStatus& status) {
    if (configuration.tenBit) {
        status = VTStatus::parameter;
        return nullptr;
    }
    auto encoder = std::make_unique<H264VideoEncoder>(configuration);
    status = encoder->open();
    if (status != VTStatus::noErr) return nullptr;
    return encoder;
}

}  // namespace medley
