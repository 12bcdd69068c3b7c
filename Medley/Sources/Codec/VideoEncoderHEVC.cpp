// HEVC through libx265 directly (libavcodec's wrapper cannot change the bit
// rate of a running encoder). Tuned for live like the H.264 encoder.
#include <sched.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <libyuv.h>
#include <x265.h>

#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

void applyRate(x265_param& p, const VideoEncoderConfiguration& c) {
    p.rc.rateControlMode = X265_RC_ABR;
    p.rc.bitrate = std::max(1, kilobitsPerSecond(c.bitRate));
    p.rc.vbvMaxBitrate = kilobitsPerSecond(c.vbvMaxBitRate);
    p.rc.vbvBufferSize = kilobitsPerSecond(c.vbvBufferSize);
}

class HEVCVideoEncoder final : public VideoEncoder {
public:
    explicit HEVCVideoEncoder(const VideoEncoderConfiguration& c) : configuration_(c) {}
    ~HEVCVideoEncoder() override { close(); }

    void close() {
        if (encoder_) api_->encoder_close(encoder_);
        if (picture_) api_->picture_free(picture_);
        encoder_ = nullptr;
        picture_ = nullptr;
        param_ = nullptr;
        paramStorage_.reset();
        parameterSets_.clear();
        flushing_ = false;
    }

    OSStatus open() {
        const auto& c = configuration_;
        api_ = x265_api_get(c.tenBit ? 10 : 8);
        if (!api_) return VTStatus::couldNotFindVideoEncoder;
        // Our own storage: the library's param_free does not release what its param_alloc made.
        paramStorage_ = std::make_unique<x265_param>();
        param_ = paramStorage_.get();
        const char* preset = c.preset.empty() ? "ultrafast" : c.preset.c_str();
        if (api_->param_default_preset(param_, preset, c.allowFrameReordering ? nullptr : "zerolatency") < 0) {
            return VTStatus::parameter;
        }
        auto& p = *param_;
        p.logLevel = X265_LOG_ERROR;
        p.sourceWidth = c.width;
        p.sourceHeight = c.height;
        p.internalCsp = X265_CSP_I420;
        const double fps = c.expectedFrameRate > 0 ? c.expectedFrameRate : 30;
        p.fpsNum = static_cast<std::uint32_t>(std::lround(fps * 1000));
        p.fpsDenom = 1000;
        // x265 sizes its pool from every processor of the machine; keep it to
        // the processors this process may run on.
        int threads = c.threads;
        if (threads <= 0) {
            cpu_set_t set;
            if (sched_getaffinity(0, sizeof set, &set) == 0) threads = CPU_COUNT(&set);
        }
        if (threads > 0) {
            pools_ = std::to_string(threads);
            p.numaPools = pools_.c_str();
        }
        // One picture at a time, its rows in parallel (wavefront): each frame
        // thread would hold a picture back before the first comes out. What
        // remains is the B-frame run and its look-ahead when reordering is
        // allowed.
        p.frameNumThreads = 1;
        // Key frames come from the session's clock; the encoder's own limit is a far backstop.
        p.keyframeMax = std::max(1, static_cast<int>(fps * 3600));
        p.keyframeMin = 1;
        p.scenecutThreshold = 0;
        p.bHistBasedSceneCut = 0;
        p.bOpenGOP = 0;
        p.lookaheadDepth = 0;
        p.rc.cuTree = 0;
        if (!c.allowFrameReordering) {
            p.bframes = 0;
            p.bFrameAdaptive = 0;
        } else {
            p.bframes = std::min(p.bframes > 0 ? p.bframes : 2, 2);
            // x265 needs a look-ahead longer than its B-frame run; with its
            // own pipeline the first picture comes out after eight
            // (look-ahead 3, B-frames 2, about 3 more). Without reordering
            // there is no look-ahead and nothing waits.
            p.lookaheadDepth = p.bframes + 1;
        }
        applyRate(p, c);
        p.bRepeatHeaders = 0;
        p.bAnnexB = 1;
        p.bEmitInfoSEI = 0;
        p.vui.bEnableVideoSignalTypePresentFlag = 1;
        p.vui.bEnableVideoFullRangeFlag = c.fullRange ? 1 : 0;
        p.vui.bEnableColorDescriptionPresentFlag = 1;
        if (c.tenBit) {
            p.vui.colorPrimaries = 9;           // BT.2020
            p.vui.transferCharacteristics = 18; // HLG
            p.vui.matrixCoeffs = 9;             // BT.2020 non-constant
        } else {
            p.vui.colorPrimaries = 1;
            p.vui.transferCharacteristics = 1;
            p.vui.matrixCoeffs = 1;
        }
        if (c.levelIdc) {
            p.levelIdc = *c.levelIdc;
            p.bHighTier = c.highTier ? 1 : 0;
        }
        if (api_->param_apply_profile(param_, c.profile.c_str()) < 0) return VTStatus::parameter;

        encoder_ = api_->encoder_open(param_);
        if (!encoder_) return VTStatus::couldNotCreateInstance;
        picture_ = api_->picture_alloc();
        if (!picture_) return VTStatus::allocationFailed;
        api_->picture_init(param_, picture_);

        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        if (api_->encoder_headers(encoder_, &nals, &count) < 0) return VTStatus::videoEncoderMalfunction;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (nals[i].type < 32 || nals[i].type > 34) continue;
            for (const auto& unit : splitNALByteStream({nals[i].payload, nals[i].sizeBytes})) {
                parameterSets_.emplace_back(unit.bytes.begin(), unit.bytes.end());
            }
        }
        const std::size_t bytesPerSample = c.tenBit ? 2 : 1;
        const std::size_t lumaStride = static_cast<std::size_t>(c.width) * bytesPerSample;
        const std::size_t chromaStride = static_cast<std::size_t>(c.width / 2) * bytesPerSample;
        planar_.resize(lumaStride * c.height + 2 * chromaStride * (c.height / 2));
        picture_->planes[0] = planar_.data();
        picture_->planes[1] = planar_.data() + lumaStride * c.height;
        picture_->planes[2] = planar_.data() + lumaStride * c.height + chromaStride * (c.height / 2);
        picture_->stride[0] = static_cast<int>(lumaStride);
        picture_->stride[1] = picture_->stride[2] = static_cast<int>(chromaStride);
        picture_->colorSpace = X265_CSP_I420;
        picture_->bitDepth = c.tenBit ? 10 : 8;
        return parameterSets_.size() >= 3 ? VTStatus::noErr : VTStatus::videoEncoderMalfunction;
    }

    const std::vector<Data>& parameterSets() const override { return parameterSets_; }

    bool encode(const platform::PixelBuffer& picture, std::int64_t pts, bool forceKeyFrame,
                std::vector<VideoEncodedFrame>& out) override {
        if (flushing_) return false;
        return encode(&picture, pts, forceKeyFrame, out) >= 0;
    }

    bool flush(std::vector<VideoEncodedFrame>& out) override {
        flushing_ = true;
        for (;;) {
            const int r = encode(nullptr, 0, false, out);
            if (r < 0) return false;
            if (r == 0) return true;
        }
    }

private:
    int encode(const platform::PixelBuffer* picture, std::int64_t pts, bool forceKeyFrame,
               std::vector<VideoEncodedFrame>& out) {
        if (!encoder_ || !picture_) return -1;
        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        x265_picture result;
        api_->picture_init(param_, &result);
        int r;
        if (picture) {
            if (!toPlanar(*picture)) return -1;
            picture_->pts = pts;
            picture_->sliceType = forceKeyFrame ? X265_TYPE_IDR : X265_TYPE_AUTO;
            r = api_->encoder_encode(encoder_, &nals, &count, picture_, &result);
        } else {
            r = api_->encoder_encode(encoder_, &nals, &count, nullptr, &result);
        }
        if (r < 0) return r;
        if (r > 0 && count > 0) {
            VideoEncodedFrame frame;
            std::size_t size = 0;
            for (std::uint32_t i = 0; i < count; ++i) size += nals[i].sizeBytes;
            frame.byteStream.reserve(size);
            for (std::uint32_t i = 0; i < count; ++i) {
                frame.byteStream.insert(frame.byteStream.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
            }
            frame.pts = result.pts;
            frame.dts = result.dts;
            out.push_back(std::move(frame));
        }
        return r;
    }

    bool toPlanar(const platform::PixelBuffer& picture) {
        const auto& c = configuration_;
        if (picture.width() != c.width || picture.height() != c.height) return false;
        const auto y = picture.plane(0);
        const auto uv = picture.plane(1);
        if (c.tenBit) {
            if (picture.format() != platform::PixelFormat::p010) return false;
            return libyuv::P010ToI010(reinterpret_cast<const std::uint16_t*>(y.data), static_cast<int>(y.bytesPerRow / 2),
                                      reinterpret_cast<const std::uint16_t*>(uv.data), static_cast<int>(uv.bytesPerRow / 2),
                                      static_cast<std::uint16_t*>(picture_->planes[0]), picture_->stride[0] / 2,
                                      static_cast<std::uint16_t*>(picture_->planes[1]), picture_->stride[1] / 2,
                                      static_cast<std::uint16_t*>(picture_->planes[2]), picture_->stride[2] / 2,
                                      c.width, c.height) == 0;
        }
        return libyuv::NV12ToI420(y.data, static_cast<int>(y.bytesPerRow), uv.data, static_cast<int>(uv.bytesPerRow),
                                  static_cast<std::uint8_t*>(picture_->planes[0]), picture_->stride[0],
                                  static_cast<std::uint8_t*>(picture_->planes[1]), picture_->stride[1],
                                  static_cast<std::uint8_t*>(picture_->planes[2]), picture_->stride[2], c.width,
                                  c.height) == 0;
    }

    VideoEncoderConfiguration configuration_;
    const x265_api* api_ = nullptr;
    std::unique_ptr<x265_param> paramStorage_;
    x265_param* param_ = nullptr;
    x265_encoder* encoder_ = nullptr;
    x265_picture* picture_ = nullptr;
    std::vector<std::uint8_t> planar_;
    std::string pools_;
    bool flushing_ = false;
    std::vector<Data> parameterSets_;
};

}  // namespace

std::unique_ptr<VideoEncoder> makeHEVCVideoEncoder(const VideoEncoderConfiguration& configuration, OSStatus& status) {
    auto encoder = std::make_unique<HEVCVideoEncoder>(configuration);
    status = encoder->open();
    if (status != VTStatus::noErr) return nullptr;
    return encoder;
}

}  // namespace medley

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
// libx265 keeps a few small allocations per opened encoder past encoder_close;
// they are the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif
