#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "Medley/Sources/Codec/VTSessionConvertible.h"
#include "Medley/Sources/Codec/VideoCodecSettings.h"
#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/HostClock.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class VideoCodec;

// Which kind of session a codec makes.
enum class VTSessionMode { compression, decompression };

// Attributes of the pictures a new session takes in or gives out.
struct VideoImageBufferAttributes {
    std::optional<platform::FourCC> pixelFormatType;
    bool gpuCompatible = false;
    bool operator==(const VideoImageBufferAttributes&) const = default;
};

// Turns video sample buffers into output sample buffers: raw pictures are
// encoded (H.264 or HEVC), compressed input is decoded. The session is made
// at the first frame that needs it and remade after a change the running
// session cannot take; raw frames are thinned by a minimum frame interval.
//
// Not thread-safe: its owner calls it from one task or queue at a time. The
// output sequence is written from the sessions' threads.
class VideoCodec {
public:
    explicit VideoCodec(std::shared_ptr<const platform::Clock> clock = platform::HostClock::shared());
    ~VideoCodec();
    VideoCodec(const VideoCodec&) = delete;
    VideoCodec& operator=(const VideoCodec&) = delete;

    const VideoCodecSettings& settings() const { return settings_; }
    // A change the running session cannot take rebuilds it at the next frame;
    // the others (bit rate, frame interval, expected frame rate) go to the
    // running session at once. The session's status when it refused one.
    OSStatus setSettings(const VideoCodecSettings& settings);

    // True: frames are taken from time zero; false: only from startRunning().
    bool passthrough = true;
    // Minimum distance in seconds between two encoded frames; <= 0: no limit.
    double frameInterval = 0;
    platform::MediaTime startedAt = platform::MediaTime::zero();
    bool invalidateSession = true;
    // Presentation time of the last frame handed to the encoder.
    platform::MediaTime presentationTimeStamp = platform::MediaTime::zero();

    const platform::FormatDescriptionRef& inputFormat() const { return inputFormat_; }
    void setInputFormat(platform::FormatDescriptionRef format);

    const std::shared_ptr<VTSessionConvertible>& session() const { return session_; }
    // Invalidates the replaced session.
    void setSession(std::shared_ptr<VTSessionConvertible> session);

    // A new sequence of output sample buffers; the previous one ends.
    platform::AsyncStream<platform::SampleBufferRef> outputStream();
    const std::optional<SampleBufferContinuation>& continuation() const { return continuation_; }

    void append(const platform::SampleBufferRef& sampleBuffer);

    bool isRunning() const { return isRunning_; }
    void startRunning();
    void stopRunning();

    // Sessions made from now on encode inside append() on the caller's thread
    // instead of on a thread of their own (see VTCompressionSession).
    bool encodesOnCaller = false;
    // Sessions made from now on keep the pictures waiting for their thread
    // within this many seconds of the newest, instead of a few by count.
    std::optional<double> pendingSpan;
    // At most this many pictures wait for the session's thread, beside the
    // span (whichever is tighter), from the running session's next picture
    // on; none: the span alone.
    void setPendingLimit(std::optional<std::size_t> count);
    const std::optional<std::size_t>& pendingLimit() const { return pendingLimit_; }
    // The bit rate of the H.264 that stands in for hardware HEVC that does not
    // start, where the owner's rates differ by codec; none: the HEVC rate.
    std::optional<int> fallbackBitRate;
    // Opens the encoder libraries; empty: VideoEncoder::make.
    std::function<std::unique_ptr<VideoEncoder>(const VideoEncoderConfiguration&, OSStatus&)> makeEncoder;

    // Throws VTSessionError. Settings that require the hardware HEVC encoder
    // where it does not start become H.264 in software (said once, in a
    // warning), never HEVC in software.
    std::shared_ptr<VTSessionConvertible> makeSession(VTSessionMode mode);
    std::optional<VideoImageBufferAttributes> makeImageBufferAttributes(VTSessionMode mode) const;

    // Blocks until the encoder has taken every appended frame.
    void completeFrames();
    // Raw frames dropped because the encoder fell behind, over all sessions.
    std::uint64_t droppedFrameCount() const;

private:
    std::shared_ptr<VTSessionConvertible> makeCompressionSession();

    std::shared_ptr<const platform::Clock> clock_;
    VideoCodecSettings settings_ = VideoCodecSettings::defaultValue();
    std::optional<SampleBufferContinuation> continuation_;
    bool isRunning_ = false;
    bool hasEncodedFrame_ = false;  // since startRunning()
    platform::FormatDescriptionRef inputFormat_;
    std::shared_ptr<VTSessionConvertible> session_;
    std::uint64_t droppedByEndedSessions_ = 0;
    std::optional<std::size_t> pendingLimit_;
    bool hardwareHEVCFailed_ = false;  // for the codec's life
};

}  // namespace medley
