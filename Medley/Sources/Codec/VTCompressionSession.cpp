#include "Medley/Sources/Codec/VTCompressionSession.h"

#include <limits>

#include <malloc.h>

#include <cmath>

#include "Medley/Sources/Codec/VideoCodecLevel.h"
#include "Medley/Sources/Codec/VideoDecoderConfiguration.h"
#include "Medley/Sources/ISO/NALByteStream.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/PixelFormat.h"

namespace medley {

using platform::MediaTime;
using platform::SampleBuffer;

namespace {

constexpr std::int64_t kNanos = 1'000'000'000;
// Frames this close before a key-frame deadline already count as on time.
constexpr std::int64_t kKeyFrameTolerance = 1'000'000;
// The longest a new bit rate waits for a key frame.
constexpr std::int64_t kLongestRateChangeWait = 2 * kNanos;

VideoEncoderConfiguration::RateControl rateControlOf(const VTSessionOptionKey& key) {
    if (key == VTSessionOptionKey::constantBitRate()) return VideoEncoderConfiguration::RateControl::constant;
    if (key == VTSessionOptionKey::variableBitRate()) return VideoEncoderConfiguration::RateControl::variable;
    return VideoEncoderConfiguration::RateControl::average;
}

// The level a stream's SPS declares (ten times the level) and its tier.
std::optional<std::pair<int, bool>> levelOf(const std::vector<Data>& parameterSets, bool hevc) {
    for (const auto& unit : parameterSets) {
        if (unit.empty()) continue;
        if (hevc && ((unit[0] >> 1) & 0x3F) == 33) {
            const auto info = VideoDecoderConfiguration::readHEVCSequenceInfo(unit);
            if (!info) return std::nullopt;
            return std::make_pair(static_cast<int>(info->levelIdc / 3), info->highTier);
        }
        if (!hevc && (unit[0] & 0x1F) == 7) {
            const auto info = VideoDecoderConfiguration::readAVCSequenceInfo(unit);
            if (!info) return std::nullopt;
            return std::make_pair(static_cast<int>(info->levelIdc), false);
        }
    }
    return std::nullopt;
}

struct ProfileLevel {
    std::string profile;
    std::optional<int> levelIdc;
    bool tenBit = false;
};

// "H264_Main_4_1", "H264_High_AutoLevel", "HEVC_Main10_AutoLevel", ...
std::optional<ProfileLevel> parseProfileLevel(const std::string& text, bool hevc) {
    const auto first = text.find('_');
    if (first == std::string::npos) return std::nullopt;
    const std::string family = text.substr(0, first);
    const auto second = text.find('_', first + 1);
    const std::string profile = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    const std::string level = second == std::string::npos ? "AutoLevel" : text.substr(second + 1);
    ProfileLevel result;
    if (family == "H264" && !hevc) {
        if (profile == "Baseline" || profile == "ConstrainedBaseline") result.profile = "baseline";
        else if (profile == "Main") result.profile = "main";
        else if (profile == "High" || profile == "ConstrainedHigh") result.profile = "high";
        else return std::nullopt;
        if (level != "AutoLevel") {
            int major = 0, minor = 0;
            if (std::sscanf(level.c_str(), "%d_%d", &major, &minor) < 1 || major < 1 || major > 6) return std::nullopt;
            result.levelIdc = major * 10 + minor;
        }
        return result;
    }
    if (family == "HEVC" && hevc) {
        if (profile == "Main") result.profile = "main";
        else if (profile == "Main10") {
            result.profile = "main10";
            result.tenBit = true;
        } else return std::nullopt;
        return result;
    }
    return std::nullopt;
}

std::optional<VideoPictureConverter::ScalingMode> parseScalingMode(const std::string& raw) {
    using Mode = VideoPictureConverter::ScalingMode;
    if (raw == "Normal") return Mode::normal;
    if (raw == "Letterbox") return Mode::letterbox;
    if (raw == "CropSourceToCleanAperture") return Mode::cropSourceToCleanAperture;
    if (raw == "Trim") return Mode::trim;
    return std::nullopt;
}

std::int64_t toNanos(const MediaTime& t) {
    if (t.timescale == kNanos) return t.value;
    return t.convertScale(static_cast<std::int32_t>(kNanos)).value;
}

// The encoders count decode times in nanoseconds. One that falls on the
// presentation times' grid (usually it is another frame's time) is given back
// exactly there: rounded to nanoseconds it could sort after its own frame's time.
MediaTime decodeTimeOf(std::int64_t dtsNanos, const MediaTime& presentationTime) {
    if (presentationTime.isNumeric() && presentationTime.timescale != kNanos) {
        const MediaTime onGrid = MediaTime::fromNanos(dtsNanos).convertScale(presentationTime.timescale);
        if (toNanos(onGrid) == dtsNanos) return MediaTime(onGrid.value, onGrid.timescale);
    }
    return MediaTime::fromNanos(dtsNanos);
}

}  // namespace

std::shared_ptr<VTCompressionSession> VTCompressionSession::make(const Configuration& configuration) {
    const bool knownCodec =
        configuration.codecType == platform::codec::h264 || configuration.codecType == platform::codec::hevc;
    if (!knownCodec) throw VTSessionError(VTSessionError::Kind::failedToCreate, VTStatus::couldNotFindVideoEncoder);
    if (configuration.width < 2 || configuration.height < 2 || configuration.width > 16384 ||
        configuration.height > 16384) {
        throw VTSessionError(VTSessionError::Kind::failedToCreate, VTStatus::parameter);
    }
    return std::make_shared<VTCompressionSession>(configuration);
}

VTCompressionSession::VTCompressionSession(const Configuration& configuration)
    : configuration_([&] {
          // 4:2:0 pictures have whole chroma samples only at even sizes.
          Configuration c = configuration;
          c.width &= ~1;
          c.height &= ~1;
          return c;
      }()),
      hevc_(configuration.codecType == platform::codec::hevc) {
    auto& c = encoderConfiguration_;
    c.codec = hevc_ ? VideoEncoderConfiguration::Codec::hevc : VideoEncoderConfiguration::Codec::h264;
    c.width = configuration_.width;
    c.height = configuration_.height;
    c.profile = hevc_ ? "main" : "baseline";
    c.hardware = hevc_ && configuration_.requiresHardwareEncoder;
    if (configuration_.sourcePixelFormat) {
        c.fullRange = *configuration_.sourcePixelFormat == platform::fourCC(platform::PixelFormat::nv12FullRange);
    }
    for (const auto& option : configuration_.encoderSelection) options_[option.key.rawValue] = option.value;
}

VTCompressionSession::~VTCompressionSession() { invalidate(); }

OSStatus VTCompressionSession::applyOption(const VTSessionOption& option, VideoEncoderConfiguration& c,
                                           VideoPictureConverter::ScalingMode& scaling) const {
    const auto& key = option.key;
    const auto& value = option.value;
    using Key = VTSessionOptionKey;
    auto rate = [&](VideoEncoderConfiguration::RateControl mode) -> OSStatus {
        const auto bits = numberValue(value);
        if (!bits || *bits <= 0) return VTStatus::parameter;
        c.rateControl = mode;
        c.bitRate = static_cast<std::int64_t>(*bits);
        return VTStatus::noErr;
    };
    if (key == Key::averageBitRate()) return rate(VideoEncoderConfiguration::RateControl::average);
    if (key == Key::constantBitRate()) return rate(VideoEncoderConfiguration::RateControl::constant);
    if (key == Key::variableBitRate()) return rate(VideoEncoderConfiguration::RateControl::variable);
    if (key == Key::profileLevel()) {
        const auto* text = std::get_if<std::string>(&value);
        const auto parsed = text ? parseProfileLevel(*text, hevc_) : std::nullopt;
        if (!parsed) return VTStatus::parameter;
        c.profile = parsed->profile;
        c.levelIdc = parsed->levelIdc;
        c.tenBit = parsed->tenBit;
        return VTStatus::noErr;
    }
    if (key == Key::allowFrameReordering()) {
        const auto b = boolValue(value);
        if (!b) return VTStatus::parameter;
        c.allowFrameReordering = *b;
        return VTStatus::noErr;
    }
    if (key == Key::expectedFrameRate()) {
        const auto fps = numberValue(value);
        if (!fps || *fps < 0 || !std::isfinite(*fps)) return VTStatus::parameter;
        if (*fps > 0) c.expectedFrameRate = *fps;
        return VTStatus::noErr;
    }
    if (key == Key::h264EntropyMode()) {
        const auto* text = std::get_if<std::string>(&value);
        if (!text || (*text != VTH264EntropyMode::cabac && *text != VTH264EntropyMode::cavlc)) return VTStatus::parameter;
        c.cabac = *text == VTH264EntropyMode::cabac;
        return VTStatus::noErr;
    }
    if (key == Key::dataRateLimits()) {
        const auto* limits = std::get_if<std::vector<double>>(&value);
        if (!limits || limits->size() != 2 || (*limits)[0] <= 0 || (*limits)[1] <= 0) return VTStatus::parameter;
        c.vbvBufferSize = static_cast<std::int64_t>((*limits)[0] * 8);
        c.vbvMaxBitRate = static_cast<std::int64_t>((*limits)[0] * 8 / (*limits)[1]);
        return VTStatus::noErr;
    }
    if (key == Key::pixelTransferProperties()) {
        const auto* properties = std::get_if<std::map<std::string, std::string>>(&value);
        if (!properties) return VTStatus::parameter;
        if (auto it = properties->find("ScalingMode"); it != properties->end()) {
            const auto mode = parseScalingMode(it->second);
            if (!mode) return VTStatus::parameter;
            scaling = *mode;
        }
        return VTStatus::noErr;
    }
    if (key == Key::maxKeyFrameIntervalDuration() || key == Key::realTime() || key == Key::encoderID() ||
        key == Key::enableHardwareAcceleratedVideoEncoder() || key == Key::requireHardwareAcceleratedVideoEncoder() ||
        key == Key::enableLowLatencyRateControl()) {
        // Stored; read where they matter. These ask for hardware where there is
        // some and are served in software otherwise; a caller that must have
        // the GPU's HEVC encoder says so in the configuration.
        if (key == Key::maxKeyFrameIntervalDuration() && !numberValue(value)) return VTStatus::parameter;
        return VTStatus::noErr;
    }
    return VTStatus::propertyNotSupported;
}

OSStatus VTCompressionSession::setOption(const VTSessionOption& option) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return VTStatus::invalidSession;
    VideoEncoderConfiguration c = encoderConfiguration_;
    auto scaling = scalingMode_;
    if (prepared_) {
        const auto& key = option.key;
        const bool rate = key == VTSessionOptionKey::averageBitRate() || key == VTSessionOptionKey::constantBitRate() ||
                          key == VTSessionOptionKey::variableBitRate() || key == VTSessionOptionKey::dataRateLimits();
        if (!rate && key != VTSessionOptionKey::expectedFrameRate()) return VTStatus::propertyReadOnly;
        if (failed_) return VTStatus::invalidSession;
        // The rate-control method is the session's: a bit rate under another
        // mode's key, or a rate buffer outside the average mode, cannot apply.
        const bool bitRateKey = rate && key != VTSessionOptionKey::dataRateLimits();
        if (bitRateKey && rateControlOf(key) != c.rateControl) return VTStatus::propertyReadOnly;
        if (key == VTSessionOptionKey::dataRateLimits() && c.rateControl != VideoEncoderConfiguration::RateControl::average) {
            return VTStatus::propertyReadOnly;
        }
        const auto previousBitRate = c.bitRate;
        const OSStatus status = applyOption(option, c, scaling);
        if (status != VTStatus::noErr) return status;
        if (bitRateKey) {
            // A new bit rate carries its rate buffer along in proportion.
            if (c.vbvMaxBitRate > 0 && previousBitRate > 0) {
                const double ratio = static_cast<double>(c.bitRate) / static_cast<double>(previousBitRate);
                c.vbvMaxBitRate = static_cast<std::int64_t>(c.vbvMaxBitRate * ratio);
                c.vbvBufferSize = static_cast<std::int64_t>(c.vbvBufferSize * ratio);
            }
        }
        encoderConfiguration_ = c;
        if (key != VTSessionOptionKey::expectedFrameRate()) pendingReconfiguration_ = c;
        options_[option.key.rawValue] = option.value;
        return VTStatus::noErr;
    }
    const OSStatus status = applyOption(option, c, scaling);
    if (status != VTStatus::noErr) return status;
    encoderConfiguration_ = c;
    scalingMode_ = scaling;
    options_[option.key.rawValue] = option.value;
    if (option.key == VTSessionOptionKey::maxKeyFrameIntervalDuration()) {
        keyFrameInterval_ = numberValue(option.value).value_or(0);
    }
    return VTStatus::noErr;
}

OSStatus VTCompressionSession::setOptions(const VTSessionOptionSet& options) {
    OSStatus first = VTStatus::noErr;
    for (const auto& option : options) {
        const OSStatus status = setOption(option);
        if (status != VTStatus::noErr && first == VTStatus::noErr) first = status;
    }
    return first;
}

OSStatus VTCompressionSession::prepareToEncodeFrames() {
    std::unique_lock lock(mutex_);
    if (invalidated_) return VTStatus::invalidSession;
    if (prepared_) return VTStatus::noErr;
    VideoEncoderConfiguration c = encoderConfiguration_;
    if (c.rateControl == VideoEncoderConfiguration::RateControl::constant) {
        c.vbvMaxBitRate = c.bitRate;
        c.vbvBufferSize = c.bitRate;
    } else if (c.rateControl == VideoEncoderConfiguration::RateControl::variable) {
        c.vbvMaxBitRate = c.vbvBufferSize = 0;
    }
    if (c.tenBit) {
        c.color = {platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                   platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate};
    }
    lock.unlock();

    // Decoders size their buffers by the declared level: one too low for the
    // picture or the rate is raised to the lowest that fits.
    if (c.levelIdc && !VideoCodecLevel::fits(c, *c.levelIdc)) {
        const auto raised = VideoCodecLevel::lowestFitting(c, *c.levelIdc);
        if (!raised) {
            MEDLEY_LOG_WARN("no level holds", std::to_string(c.width) + "x" + std::to_string(c.height), "at",
                            c.expectedFrameRate, "frames per second");
            return VTStatus::parameter;
        }
        MEDLEY_LOG_INFO("level", VideoCodecLevel::name(*c.levelIdc), "is too low for",
                        std::to_string(c.width) + "x" + std::to_string(c.height), "at", c.expectedFrameRate,
                        "frames per second and", c.bitRate, "bits per second; raised to",
                        VideoCodecLevel::name(*raised));
        c.levelIdc = raised;
    }

    OSStatus status = VTStatus::noErr;
    auto encoder = openEncoder(c, status);
    if (!encoder) return status == VTStatus::noErr ? VTStatus::couldNotCreateInstance : status;
    auto format = makeFormat(*encoder, c);
    if (!format) return VTStatus::videoEncoderMalfunction;

    lock.lock();
    if (invalidated_) return VTStatus::invalidSession;
    encoderConfiguration_ = c;
    running_ = c;
    requestedLevel_ = c.levelIdc;
    encoder_ = std::move(encoder);
    converter_ = std::make_unique<VideoPictureConverter>(c.width, c.height, c.tenBit, scalingMode_);
    formatDescription_ = std::move(format);
    reorders_ = c.allowFrameReordering;
    prepared_ = true;
    if (!configuration_.encodesOnCaller) worker_ = std::thread([this] { run(); });
    return VTStatus::noErr;
}

void VTCompressionSession::convert(const platform::SampleBufferRef& sampleBuffer,
                                   const std::optional<SampleBufferContinuation>& continuation) {
    if (!sampleBuffer || !sampleBuffer->imageBuffer()) return;
    if (!sampleBuffer->presentationTime().isNumeric()) {
        throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::parameter);
    }
    if (configuration_.encodesOnCaller) {
        Job job{sampleBuffer, continuation, std::nullopt};
        {
            std::lock_guard lock(mutex_);
            if (invalidated_ || !prepared_ || failed_) {
                throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::invalidSession);
            }
            job.rateChange = std::exchange(pendingReconfiguration_, std::nullopt);
        }
        encode(job);
        return;
    }
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_ || !prepared_ || failed_) {
            throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::invalidSession);
        }
        std::optional<VideoEncoderConfiguration> rateChange = std::exchange(pendingReconfiguration_, std::nullopt);
        const double newest = sampleBuffer->presentationTime().seconds();
        const std::size_t countBound =
            maxPendingFrames_ ? std::max<std::size_t>(1, *maxPendingFrames_)
            : configuration_.maxPendingSpan ? std::numeric_limits<std::size_t>::max()
                                            : std::max<std::size_t>(1, configuration_.maxPendingFrames);
        const auto full = [&] {
            if (queue_.empty()) return false;
            if (queue_.size() >= countBound) return true;
            // Pictures exactly a span apart (on a frame grid) both stay.
            return configuration_.maxPendingSpan &&
                   newest - queue_.front().sampleBuffer->presentationTime().seconds() >
                       *configuration_.maxPendingSpan + 1e-6;
        };
        while (full()) {
            // A dropped picture's rate change passes to the next one, unless a newer one follows.
            auto carried = std::move(queue_.front().rateChange);
            queue_.pop_front();
            if (carried) {
                auto& next = queue_.empty() ? rateChange : queue_.front().rateChange;
                if (!next) next = std::move(carried);
            }
            dropped = ++dropped_;
        }
        queue_.push_back(Job{sampleBuffer, continuation, std::move(rateChange)});
    }
    wake_.notify_one();
    if (dropped == 1 || (dropped > 0 && dropped % 300 == 0)) {
        MEDLEY_LOG_WARN("encoder behind: dropped", dropped, "frames so far");
    }
}

void VTCompressionSession::invalidate() {
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
        stopping_ = true;
    }
    wake_.notify_all();
    idle_.notify_all();
    if (worker_.joinable()) worker_.join();
    else if (configuration_.encodesOnCaller) finishEncoding();
    idle_.notify_all();
}

void VTCompressionSession::completeFrames() { waitUntilPendingAtMost(0); }

void VTCompressionSession::waitUntilPendingAtMost(std::size_t count) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return !prepared_ || stopping_ || (queue_.size() + (busy_ ? 1 : 0)) <= count; });
}

void VTCompressionSession::setMaxPendingFrames(std::optional<std::size_t> count) {
    std::lock_guard lock(mutex_);
    maxPendingFrames_ = count;
}

bool VTCompressionSession::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::uint64_t VTCompressionSession::droppedFrameCount() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::size_t VTCompressionSession::pendingFrameCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + (busy_ ? 1 : 0);
}

platform::FormatDescriptionRef VTCompressionSession::formatDescription() const {
    std::lock_guard lock(mutex_);
    return formatDescription_;
}

std::optional<VTSessionOptionValue> VTCompressionSession::option(const VTSessionOptionKey& key) const {
    std::lock_guard lock(mutex_);
    auto it = options_.find(key.rawValue);
    if (it == options_.end()) return std::nullopt;
    return it->second;
}

VideoEncoderConfiguration VTCompressionSession::encoderConfiguration() const {
    std::lock_guard lock(mutex_);
    return encoderConfiguration_;
}

void VTCompressionSession::run() {
    for (;;) {
        Job job;
        bool failed;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) break;
            job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            failed = failed_;
        }
        if (!failed) encode(job);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        idle_.notify_all();
    }
    finishEncoding();
}

void VTCompressionSession::finishEncoding() {
    std::vector<VideoEncodedFrame> frames;
    if (encoder_ && !encoder_->flush(frames)) MEDLEY_LOG_WARN("encoder failed while draining");
    emit(frames);
    inFlight_.clear();
    encoder_.reset();
}

std::unique_ptr<VideoEncoder> VTCompressionSession::openEncoder(const VideoEncoderConfiguration& c,
                                                                OSStatus& status) const {
    return configuration_.makeEncoder ? configuration_.makeEncoder(c, status) : VideoEncoder::make(c, status);
}

platform::FormatDescriptionRef VTCompressionSession::makeFormat(const VideoEncoder& encoder,
                                                                const VideoEncoderConfiguration& c) const {
    std::vector<Data> vps, sps, pps;
    for (const auto& unit : encoder.parameterSets()) {
        if (unit.empty()) continue;
        if (hevc_) {
            const int type = (unit[0] >> 1) & 0x3F;
            (type == 32 ? vps : type == 33 ? sps : pps).push_back(unit);
        } else {
            ((unit[0] & 0x1F) == 7 ? sps : pps).push_back(unit);
        }
    }
    const auto atom = hevc_ ? VideoDecoderConfiguration::makeHEVC(vps, sps, pps) : VideoDecoderConfiguration::makeAVC(sps, pps);
    if (!atom) return nullptr;
    platform::VideoExtensions extensions;
    extensions.sampleDescriptionAtoms[hevc_ ? "hvcC" : "avcC"] = *atom;
    extensions.color = c.color;
    extensions.fullRangeVideo = c.fullRange;
    return platform::FormatDescription::makeVideo(configuration_.codecType, c.width, c.height, extensions);
}

// Worker thread. False when the encoder could not restart.
bool VTCompressionSession::applyRateChange(std::int64_t pts, std::int64_t keyFrameStep, bool keyFrameDue,
                                           bool& restarted) {
    restarted = false;
    const auto& change = *waitingChange_;
    if (!changeWaitingSince_) changeWaitingSince_ = pts;
    const std::int64_t spacing = keyFrameStep > 0 ? std::min(keyFrameStep, kLongestRateChangeWait) : kLongestRateChangeWait;
    const bool lower = change.bitRate < running_.bitRate ||
                       (change.bitRate == running_.bitRate && change.vbvMaxBitRate < running_.vbvMaxBitRate);
    const bool extraKeyFrameAllowed = !lastExtraKeyFrameAt_ || pts + kKeyFrameTolerance >= *lastExtraKeyFrameAt_ + spacing;
    const bool due = keyFrameDue || (lower && extraKeyFrameAllowed) ||
                     pts + kKeyFrameTolerance >= *changeWaitingSince_ + spacing;
    if (!due) return true;
    const auto next = *std::exchange(waitingChange_, std::nullopt);
    changeWaitingSince_.reset();
    if (!restart(next)) return false;
    restarted = true;
    if (!keyFrameDue) lastExtraKeyFrameAt_ = pts;
    return true;
}

// Worker thread: a new encoder with the new rate settings, the old one
// drained into the output first.
bool VTCompressionSession::restart(VideoEncoderConfiguration next) {
    const auto level = levelOf(encoder_->parameterSets(), hevc_);
    if (level && VideoCodecLevel::fits(next, level->first, level->second)) {
        next.levelIdc = level->first;
        next.highTier = level->second;
    } else {
        next.levelIdc = requestedLevel_ ? VideoCodecLevel::lowestFitting(next, *requestedLevel_) : std::nullopt;
        next.highTier = false;
    }
    OSStatus status = VTStatus::noErr;
    auto encoder = openEncoder(next, status);
    auto format = encoder ? makeFormat(*encoder, next) : nullptr;
    if (!format) {
        MEDLEY_LOG_WARN("encoder did not restart with the new rate settings; the session ends, status", status);
        return false;
    }
    std::vector<VideoEncodedFrame> held;
    if (!encoder_->flush(held)) MEDLEY_LOG_WARN("encoder failed while draining");
    emit(held);
    const bool sameParameterSets = encoder->parameterSets() == encoder_->parameterSets();
    encoder_ = std::move(encoder);
    // The old encoder's picture buffers leave holes that the allocator keeps
    // resident; a congested stream restarts every few seconds, so give them back.
    malloc_trim(0);
    running_ = next;
    if (!sameParameterSets) {
        const auto newLevel = levelOf(encoder_->parameterSets(), hevc_);
        MEDLEY_LOG_INFO("stream description changes with the new bit rate", next.bitRate, "to level",
                        newLevel ? VideoCodecLevel::name(newLevel->first) : std::string("?"));
        std::lock_guard lock(mutex_);
        formatDescription_ = std::move(format);
    }
    return true;
}

void VTCompressionSession::encode(Job& job) {
    const auto& sample = *job.sampleBuffer;
    const std::int64_t pts = toNanos(sample.presentationTime());
    if (lastPts_ && pts <= *lastPts_) {
        MEDLEY_LOG_WARN("frame at", sample.presentationTime().seconds(), "s is not after the previous one; dropped");
        return;
    }
    auto picture = converter_->convert(sample.imageBuffer());
    if (!picture) {
        MEDLEY_LOG_WARN("cannot encode a", platform::fourCCString(sample.imageBuffer()->formatType()), "picture of",
                        std::to_string(sample.imageBuffer()->width()) + "x" +
                            std::to_string(sample.imageBuffer()->height()) + ";",
                        "dropped");
        return;
    }
    double interval;
    {
        std::lock_guard lock(mutex_);
        interval = keyFrameInterval_;
    }
    const std::int64_t step = interval > 0 ? static_cast<std::int64_t>(std::llround(interval * kNanos)) : 0;
    bool forceKey = !nextKeyFrameAt_ || (step > 0 && pts + kKeyFrameTolerance >= *nextKeyFrameAt_);
    if (job.rateChange) {
        // Changes that wait merge: the last one wins, and one back to the
        // running rate cancels them.
        waitingChange_ = std::move(job.rateChange);
        if (waitingChange_->bitRate == running_.bitRate && waitingChange_->vbvMaxBitRate == running_.vbvMaxBitRate &&
            waitingChange_->vbvBufferSize == running_.vbvBufferSize) {
            waitingChange_.reset();
            changeWaitingSince_.reset();
        }
    }
    if (waitingChange_) {
        bool restarted = false;
        if (!applyRateChange(pts, step, forceKey, restarted)) {
            std::lock_guard lock(mutex_);
            failed_ = true;
            queue_.clear();
            return;
        }
        if (restarted && !forceKey) {
            // The restart's key frame starts the schedule again.
            forceKey = true;
            nextKeyFrameAt_.reset();
        }
    }
    if (forceKey) {
        if (!nextKeyFrameAt_) nextKeyFrameAt_ = pts;
        if (step > 0) {
            while (*nextKeyFrameAt_ <= pts + kKeyFrameTolerance) *nextKeyFrameAt_ += step;
        }
    }
    lastPts_ = pts;
    inFlight_[pts] = InFlight{sample.timing(), job.continuation};
    std::vector<VideoEncodedFrame> frames;
    if (!encoder_->encode(*picture, pts, forceKey, frames)) {
        inFlight_.erase(pts);
        MEDLEY_LOG_WARN("encoder failed on the frame at", sample.presentationTime().seconds(), "s");
        return;
    }
    emit(frames);
}

bool VTCompressionSession::isKeyFrame(const Data& lengthPrefixed) const {
    std::size_t offset = 0;
    while (offset + 4 < lengthPrefixed.size()) {
        const std::uint32_t length = (std::uint32_t(lengthPrefixed[offset]) << 24) |
                                     (std::uint32_t(lengthPrefixed[offset + 1]) << 16) |
                                     (std::uint32_t(lengthPrefixed[offset + 2]) << 8) | lengthPrefixed[offset + 3];
        if (length == 0 || lengthPrefixed.size() - offset - 4 < length) return false;
        const std::uint8_t header = lengthPrefixed[offset + 4];
        if (hevc_) {
            const int type = (header >> 1) & 0x3F;
            if (type >= 16 && type <= 21) return true;
            if (type < 16) return false;
        } else {
            const int type = header & 0x1F;
            if (type == 5) return true;
            if (type >= 1 && type <= 4) return false;
        }
        offset += 4 + length;
    }
    return false;
}

void VTCompressionSession::emit(std::vector<VideoEncodedFrame>& frames) {
    for (auto& frame : frames) {
        Data units;
        nalByteStreamToLengthPrefixed(frame.byteStream, units);
        const bool key = isKeyFrame(units);
        platform::SampleTiming timing;
        std::optional<SampleBufferContinuation> continuation;
        if (auto it = inFlight_.find(frame.pts); it != inFlight_.end()) {
            timing = it->second.timing;
            continuation = std::move(it->second.continuation);
            inFlight_.erase(it);
        } else {
            timing.presentationTime = MediaTime::fromNanos(frame.pts);
        }
        timing.decodeTime = reorders_ ? decodeTimeOf(frame.dts, timing.presentationTime) : timing.presentationTime;
        // A restarted encoder counts its decode times anew: keep them rising.
        if (lastDts_ && timing.decodeTime.isNumeric() && toNanos(timing.decodeTime) <= *lastDts_) {
            timing.decodeTime = MediaTime::fromNanos(std::min(*lastDts_ + 1, toNanos(timing.presentationTime)));
        }
        if (timing.decodeTime.isNumeric()) lastDts_ = toNanos(timing.decodeTime);
        auto sample = SampleBuffer::makeData(platform::BlockBuffer::adopt(std::move(units)), formatDescription_, timing);
        if (!sample) continue;
        sample->setNotSync(!key);
        if (auto* attachments = sample->mutableAttachments(0)) attachments->dependsOnOthers = !key;
        if (continuation) continuation->yield(std::move(sample));
    }
}

}  // namespace medley
