#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Medley/Sources/Codec/VTSessionConvertible.h"
#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Medley/Sources/Codec/VideoPictureConverter.h"
#include "Platform/Media/FourCC.h"

namespace medley {

// An encoding session: pictures in, H.264 or HEVC access units out, as
// 4-byte length-prefixed units with the parameter sets ("avcC"/"hvcC") in the
// format description and non-key frames marked not-sync.
//
// Encoding runs on the session's own thread. At most `maxPendingFrames`
// pictures wait for it, or with `maxPendingSpan` those within that many
// seconds of the newest (and no more than setMaxPendingFrames() allows,
// whichever bound is tighter); when the encoder falls behind, the oldest waiting
// picture is dropped and counted, so memory stays bounded. With
// `encodesOnCaller` there is no such thread and no queue: convert() encodes
// on the caller's thread and returns with the picture's output yielded, for an
// owner that would otherwise only wait for the thread (its owner then bounds
// what waits before it).
class VTCompressionSession final : public VTSessionConvertible {
public:
    struct Configuration {
        std::int32_t width = 0;
        std::int32_t height = 0;
        platform::FourCC codecType = platform::codec::h264;
        VTSessionOptionSet encoderSelection;
        // Pixel format of the pictures to come, when known (range and bit depth).
        std::optional<platform::FourCC> sourcePixelFormat;
        std::size_t maxPendingFrames = 3;
        // Bounds the waiting pictures by presentation time instead of by
        // count: how long the encoder may lag (at its start, say) then does
        // not depend on the frame rate.
        std::optional<double> maxPendingSpan;
        // convert() encodes before it returns; the owner calls the session from one thread at a time.
        bool encodesOnCaller = false;
        // HEVC: the GPU's encoder or none (prepareToEncodeFrames() fails).
        bool requiresHardwareEncoder = false;
        // Opens an encoder library; empty: VideoEncoder::make.
        std::function<std::unique_ptr<VideoEncoder>(const VideoEncoderConfiguration&, OSStatus&)> makeEncoder;
    };

    // Throws VTSessionError(failedToCreate) for a codec it cannot encode or a bad size.
    static std::shared_ptr<VTCompressionSession> make(const Configuration& configuration);
    ~VTCompressionSession() override;

    // Before prepareToEncodeFrames() any option may be set; afterwards the
    // bit rate of the session's own mode, the rate buffer (average mode) and
    // the expected frame rate may change, and the others are read-only.
    //
    // A new bit rate applies from the next picture given to convert(). The
    // encoders cannot retarget a running rate control (an average keeps
    // aiming at the average since the start), so the encoder restarts with
    // it, which costs a key frame: at once for a lower rate, unless an
    // extra key frame was spent within the last key-frame interval; at the
    // next scheduled key frame for a higher one; in any case within two
    // seconds or the key-frame interval, whichever is shorter. Changes that
    // wait are merged, the last one wins, and the key-frame schedule starts
    // again at the forced key frame. The stream keeps its level, and so its
    // parameter sets and description, while the new rate fits it.
    OSStatus setOption(const VTSessionOption& option) override;
    OSStatus setOptions(const VTSessionOptionSet& options) override;
    // Opens the encoder with the options set so far.
    OSStatus prepareToEncodeFrames();

    void convert(const platform::SampleBufferRef& sampleBuffer,
                 const std::optional<SampleBufferContinuation>& continuation) override;
    // Encodes what is queued, drains the encoder, yields the rest and stops.
    void invalidate() override;

    // Blocks until every queued picture has been encoded and yielded.
    void completeFrames();
    // Blocks until at most `count` pictures wait (a producer's back-pressure).
    void waitUntilPendingAtMost(std::size_t count);
    // From the next picture on, at most `count` pictures wait beside the
    // span bound; none: the span alone bounds them (`maxPendingFrames`
    // without a span).
    void setMaxPendingFrames(std::optional<std::size_t> count);

    // True once the encoder failed to restart: the session takes no more
    // frames, and its owner makes a new one.
    bool failed() const;
    std::uint64_t droppedFrameCount() const;
    std::size_t pendingFrameCount() const;
    std::int32_t width() const { return configuration_.width; }
    std::int32_t height() const { return configuration_.height; }
    // The output's description; nullptr before prepareToEncodeFrames().
    platform::FormatDescriptionRef formatDescription() const;
    // The option as last set, if it was.
    std::optional<VTSessionOptionValue> option(const VTSessionOptionKey& key) const;
    // What the options amount to for the encoder library.
    VideoEncoderConfiguration encoderConfiguration() const;

    explicit VTCompressionSession(const Configuration& configuration);

private:
    struct Job {
        platform::SampleBufferRef sampleBuffer;
        std::optional<SampleBufferContinuation> continuation;
        // Rate settings set since the previous picture: they apply from this one on.
        std::optional<VideoEncoderConfiguration> rateChange;
    };
    struct InFlight {
        platform::SampleTiming timing;
        std::optional<SampleBufferContinuation> continuation;
    };

    OSStatus applyOption(const VTSessionOption& option, VideoEncoderConfiguration& c,
                         VideoPictureConverter::ScalingMode& scaling) const;
    void run();
    // What the encoder still holds, out; then the encoder goes.
    void finishEncoding();
    void encode(Job& job);
    bool applyRateChange(std::int64_t pts, std::int64_t keyFrameStep, bool keyFrameDue, bool& restarted);
    bool restart(VideoEncoderConfiguration configuration);
    platform::FormatDescriptionRef makeFormat(const VideoEncoder& encoder, const VideoEncoderConfiguration& c) const;
    std::unique_ptr<VideoEncoder> openEncoder(const VideoEncoderConfiguration& c, OSStatus& status) const;
    void emit(std::vector<VideoEncodedFrame>& frames);
    bool isKeyFrame(const Data& lengthPrefixed) const;

    const Configuration configuration_;
    const bool hevc_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::map<std::string, VTSessionOptionValue> options_;
    VideoEncoderConfiguration encoderConfiguration_;
    VideoPictureConverter::ScalingMode scalingMode_ = VideoPictureConverter::ScalingMode::trim;
    double keyFrameInterval_ = 0;
    std::optional<VideoEncoderConfiguration> pendingReconfiguration_;
    std::deque<Job> queue_;
    std::optional<std::size_t> maxPendingFrames_;
    bool busy_ = false;
    bool prepared_ = false;
    bool stopping_ = false;
    bool invalidated_ = false;
    bool failed_ = false;
    std::uint64_t dropped_ = 0;
    platform::FormatDescriptionRef formatDescription_;
    std::thread worker_;

    // Worker thread only (the caller's with encodesOnCaller).
    std::unique_ptr<VideoEncoder> encoder_;
    std::unique_ptr<VideoPictureConverter> converter_;
    std::map<std::int64_t, InFlight> inFlight_;
    std::optional<std::int64_t> lastPts_;
    std::optional<std::int64_t> nextKeyFrameAt_;
    std::optional<std::int64_t> lastDts_;
    VideoEncoderConfiguration running_;          // what the encoder was opened or retargeted with
    std::optional<int> requestedLevel_;          // the configured level, raised to fit the picture
    std::optional<VideoEncoderConfiguration> waitingChange_;
    std::optional<std::int64_t> changeWaitingSince_;
    std::optional<std::int64_t> lastExtraKeyFrameAt_;
    bool reorders_ = false;  // fixed before the worker starts
};

}  // namespace medley
