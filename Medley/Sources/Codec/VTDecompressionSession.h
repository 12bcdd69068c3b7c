#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "Medley/Sources/Codec/VTSessionConvertible.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBufferPool.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace medley {

// A decoding session for H.264 or HEVC access units (4-byte length-prefixed,
// parameter sets in the format description's avcC/hvcC). Decoded pictures
// come out as NV12 (P010 for 10-bit streams) sample buffers whose decode time
// is invalid and whose presentation time and duration are the frame's own.
// Decoding happens in convert(); pictures the decoder holds back for
// reordering come out with later frames or when the session is invalidated.
class VTDecompressionSession final : public VTSessionConvertible {
public:
    // Throws VTSessionError(failedToCreate) for a description it cannot decode.
    static std::shared_ptr<VTDecompressionSession> make(const platform::FormatDescriptionRef& format);
    ~VTDecompressionSession() override;

    OSStatus setOption(const VTSessionOption& option) override;
    OSStatus setOptions(const VTSessionOptionSet& options) override;
    void convert(const platform::SampleBufferRef& sampleBuffer,
                 const std::optional<SampleBufferContinuation>& continuation) override;
    // Emits the pictures held back for reordering, then ends the session.
    void invalidate() override;
    // Emits the pictures held back for reordering; the session stays usable.
    void finishDelayedFrames();

    const platform::FormatDescriptionRef& formatDescription() const { return format_; }

    explicit VTDecompressionSession(platform::FormatDescriptionRef format);

private:
    OSStatus open();
    void receive(const std::optional<SampleBufferContinuation>& continuation);
    platform::PixelBufferRef toPixelBuffer(const AVFrame& frame);

    platform::FormatDescriptionRef format_;
    std::mutex mutex_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* sws_ = nullptr;
    std::shared_ptr<platform::PixelBufferPool> pool_;
    std::map<std::int64_t, platform::SampleTiming> timings_;  // by presentation time in ns
    std::optional<SampleBufferContinuation> lastContinuation_;
    bool invalidated_ = false;
};

}  // namespace medley
