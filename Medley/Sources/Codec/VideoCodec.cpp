#include "Medley/Sources/Codec/VideoCodec.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VTDecompressionSession.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::MediaTime;

VideoCodec::VideoCodec(std::shared_ptr<const platform::Clock> clock) : clock_(std::move(clock)) {}

VideoCodec::~VideoCodec() {
    setSession(nullptr);
    if (continuation_) continuation_->finish();
}

namespace {

bool requiresHardwareHEVC(const VideoCodecSettings& settings) {
    return settings.isHardwareEncoderRequired && settings.format() == VideoCodecSettings::Format::hevc;
}

// What stands in for hardware HEVC that does not start: the same picture and
// key frames in H.264, at HEVC's rate unless the owner gave one for H.264.
VideoCodecSettings softwareH264(VideoCodecSettings settings, std::optional<int> bitRate) {
    settings.setProfileLevel(VTProfileLevel::h264HighAutoLevel);
    settings.isHardwareEncoderRequired = false;
    if (bitRate) settings.bitRate = *bitRate;
    return settings;
}

// A picture side in whole pixels, where the number has one: NaN, infinities,
// sizes past 32 bits and sides of less than one pixel have none.
std::optional<std::int32_t> wholePixelsOfSide(double side) {
    if (!std::isfinite(side) || side < 1 || side >= double(INT32_MAX) + 1) return std::nullopt;
    return static_cast<std::int32_t>(side);
}

}  // namespace

OSStatus VideoCodec::setSettings(const VideoCodecSettings& settings) {
    const VideoCodecSettings old = settings_;
    // Once the hardware encoder failed, later changes (a new bit rate) keep to H.264.
    settings_ = hardwareHEVCFailed_ && requiresHardwareHEVC(settings) ? softwareH264(settings, fallbackBitRate) : settings;
    if (old.shouldInvalidateSession(settings_)) {
        invalidateSession = true;
        return VTStatus::noErr;
    }
    return settings_.apply(*this, old);
}

void VideoCodec::setInputFormat(platform::FormatDescriptionRef format) {
    const bool changed = !platform::sameFormat(inputFormat_, format);
    inputFormat_ = std::move(format);
    if (changed) invalidateSession = true;
}

void VideoCodec::setSession(std::shared_ptr<VTSessionConvertible> session) {
    if (session_) {
        if (auto* compression = dynamic_cast<VTCompressionSession*>(session_.get())) {
            compression->invalidate();
            droppedByEndedSessions_ += compression->droppedFrameCount();
        } else {
            session_->invalidate();
        }
    }
    session_ = std::move(session);
    invalidateSession = false;
}

platform::AsyncStream<platform::SampleBufferRef> VideoCodec::outputStream() {
    auto [stream, writer] = platform::AsyncStream<platform::SampleBufferRef>::make(platform::BufferingPolicy::unbounded());
    if (continuation_) continuation_->finish();
    continuation_ = std::move(writer);
    return stream;
}

void VideoCodec::append(const platform::SampleBufferRef& sampleBuffer) {
    if (!isRunning_ || !sampleBuffer) return;
    setInputFormat(sampleBuffer->formatDescription());
    const bool compressed = inputFormat_ && inputFormat_->isCompressed();
    // An encoder that could not restart ends its session: make a new one.
    if (auto* compression = dynamic_cast<VTCompressionSession*>(session_.get()); compression && compression->failed()) {
        invalidateSession = true;
    }
    if (invalidateSession) {
        try {
            setSession(makeSession(compressed ? VTSessionMode::decompression : VTSessionMode::compression));
        } catch (const VTSessionError& error) {
            MEDLEY_LOG_WARN(error);
            return;
        }
    }
    if (!session_ || !continuation_) return;
    if (compressed) {
        try {
            session_->convert(sampleBuffer, continuation_);
        } catch (const VTSessionError& error) {
            MEDLEY_LOG_WARN(error);
        }
        return;
    }
    const MediaTime pts = sampleBuffer->presentationTime();
    if (!(startedAt <= pts)) return;
    // The first picture is measured against nothing: a picture at time zero
    // is the stream's first, not a repeat of the initial time.
    if (hasEncodedFrame_) {
        if (!(presentationTimeStamp < pts)) return;
        if (frameInterval > 0 && pts.seconds() - presentationTimeStamp.seconds() < frameInterval) return;
    }
    try {
        session_->convert(sampleBuffer, continuation_);
        presentationTimeStamp = pts;
        hasEncodedFrame_ = true;
    } catch (const VTSessionError& error) {
        MEDLEY_LOG_WARN(error);
    }
}

void VideoCodec::startRunning() {
    if (isRunning_) return;
    startedAt = passthrough ? MediaTime::zero() : MediaTime::fromNanos(clock_->now());
    isRunning_ = true;
}

void VideoCodec::stopRunning() {
    if (!isRunning_) return;
    isRunning_ = false;
    setSession(nullptr);
    invalidateSession = true;
    inputFormat_ = nullptr;
    presentationTimeStamp = MediaTime::zero();
    hasEncodedFrame_ = false;
    if (continuation_) continuation_->finish();
    startedAt = MediaTime::zero();
}

std::optional<VideoImageBufferAttributes> VideoCodec::makeImageBufferAttributes(VTSessionMode mode) const {
    if (mode == VTSessionMode::decompression) return VideoImageBufferAttributes{std::nullopt, true};
    if (!inputFormat_) return std::nullopt;
    // The pixel format the pictures arrive in: the description's media subtype.
    return VideoImageBufferAttributes{inputFormat_->mediaSubType(), false};
}

std::shared_ptr<VTSessionConvertible> VideoCodec::makeSession(VTSessionMode mode) {
    if (mode == VTSessionMode::decompression) {
        if (!inputFormat_) throw VTSessionError(VTSessionError::Kind::failedToCreate, VTStatus::parameter);
        return VTDecompressionSession::make(inputFormat_);
    }
    // A size no encoder takes is a bad setting, not an encoder that did not start.
    if (!wholePixelsOfSide(settings_.videoSize.width) || !wholePixelsOfSide(settings_.videoSize.height))
        throw VTSessionError(VTSessionError::Kind::failedToCreate, VTStatus::parameter);
    try {
        return makeCompressionSession();
    } catch (const VTSessionError& error) {
        if (!requiresHardwareHEVC(settings_)) throw;
        MEDLEY_LOG_WARN("the hardware HEVC encoder did not start (" + error.description() + "); encoding H.264 in software instead");
    }
    hardwareHEVCFailed_ = true;
    settings_ = softwareH264(settings_, fallbackBitRate);
    return makeCompressionSession();
}

std::shared_ptr<VTSessionConvertible> VideoCodec::makeCompressionSession() {
    VTCompressionSession::Configuration configuration;
    configuration.width = wholePixelsOfSide(settings_.videoSize.width).value_or(0);
    configuration.height = wholePixelsOfSide(settings_.videoSize.height).value_or(0);
    configuration.codecType =
        settings_.format() == VideoCodecSettings::Format::hevc ? platform::codec::hevc : platform::codec::h264;
    if (settings_.isLowLatencyRateControlEnabled) {
        configuration.encoderSelection.insert({VTSessionOptionKey::enableLowLatencyRateControl(), true});
    }
    if (auto attributes = makeImageBufferAttributes(VTSessionMode::compression)) {
        configuration.sourcePixelFormat = attributes->pixelFormatType;
    }
    configuration.requiresHardwareEncoder = settings_.isHardwareEncoderRequired;
    configuration.makeEncoder = makeEncoder;
    configuration.encodesOnCaller = encodesOnCaller;
    configuration.maxPendingSpan = pendingSpan;
    auto session = VTCompressionSession::make(configuration);
    if (pendingLimit_) session->setMaxPendingFrames(pendingLimit_);
    OSStatus status = session->setOptions(settings_.makeOptions());
    // The frame-rate hint goes in before the encoder opens: its rate control is built on it.
    if (status == VTStatus::noErr && settings_.expectedFrameRate) {
        session->setOption({VTSessionOptionKey::expectedFrameRate(), *settings_.expectedFrameRate});
    }
    if (status == VTStatus::noErr) status = session->prepareToEncodeFrames();
    if (status != VTStatus::noErr) {
        session->invalidate();
        throw VTSessionError(VTSessionError::Kind::failedToPrepare, status);
    }
    frameInterval = settings_.frameInterval;
    return session;
}

void VideoCodec::setPendingLimit(std::optional<std::size_t> count) {
    pendingLimit_ = count;
    if (auto* compression = dynamic_cast<VTCompressionSession*>(session_.get())) compression->setMaxPendingFrames(count);
}

void VideoCodec::completeFrames() {
    if (auto* compression = dynamic_cast<VTCompressionSession*>(session_.get())) compression->completeFrames();
}

std::uint64_t VideoCodec::droppedFrameCount() const {
    std::uint64_t dropped = droppedByEndedSessions_;
    if (auto* compression = dynamic_cast<VTCompressionSession*>(session_.get())) dropped += compression->droppedFrameCount();
    return dropped;
}

}  // namespace medley
