#include "Medley/Sources/Codec/VTCompressionSession.h"

#include <cmath>

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
        // Stored; read where they matter. No render node here, so a hardware
        // request is served by the software encoders.
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
        const auto previousBitRate = c.bitRate;
        const auto previousMode = c.rateControl;
        const OSStatus status = applyOption(option, c, scaling);
        if (status != VTStatus::noErr) return status;
        if (key != VTSessionOptionKey::dataRateLimits() && key != VTSessionOptionKey::expectedFrameRate()) {
            // The running encoder keeps its rate-control method; a new bit rate
            // carries its rate buffer along in proportion.
            c.rateControl = previousMode;
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

    OSStatus status = VTStatus::noErr;
    auto encoder = VideoEncoder::make(c, status);
    if (!encoder) return status == VTStatus::noErr ? VTStatus::couldNotCreateInstance : status;

    std::vector<Data> vps, sps, pps;
    for (const auto& unit : encoder->parameterSets()) {
        if (unit.empty()) continue;
        if (hevc_) {
            const int type = (unit[0] >> 1) & 0x3F;
            (type == 32 ? vps : type == 33 ? sps : pps).push_back(unit);
        } else {
            ((unit[0] & 0x1F) == 7 ? sps : pps).push_back(unit);
        }
    }
    const auto atom = hevc_ ? VideoDecoderConfiguration::makeHEVC(vps, sps, pps) : VideoDecoderConfiguration::makeAVC(sps, pps);
    if (!atom) return VTStatus::videoEncoderMalfunction;
    platform::VideoExtensions extensions;
    extensions.sampleDescriptionAtoms[hevc_ ? "hvcC" : "avcC"] = *atom;
    extensions.color = c.color;
    extensions.fullRangeVideo = c.fullRange;
    auto format = platform::FormatDescription::makeVideo(configuration_.codecType, c.width, c.height, extensions);
    if (!format) return VTStatus::parameter;

    lock.lock();
    if (invalidated_) return VTStatus::invalidSession;
    encoderConfiguration_ = c;
    encoder_ = std::move(encoder);
    converter_ = std::make_unique<VideoPictureConverter>(c.width, c.height, c.tenBit, scalingMode_);
    formatDescription_ = std::move(format);
    reorders_ = c.allowFrameReordering;
    prepared_ = true;
    worker_ = std::thread([this] { run(); });
    return VTStatus::noErr;
}

void VTCompressionSession::convert(const platform::SampleBufferRef& sampleBuffer,
                                   const std::optional<SampleBufferContinuation>& continuation) {
    if (!sampleBuffer || !sampleBuffer->imageBuffer()) return;
    if (!sampleBuffer->presentationTime().isNumeric()) {
        throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::parameter);
    }
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_ || !prepared_) throw VTSessionError(VTSessionError::Kind::failedToConvert, VTStatus::invalidSession);
        while (queue_.size() >= std::max<std::size_t>(1, configuration_.maxPendingFrames)) {
            queue_.pop_front();
            dropped = ++dropped_;
        }
        queue_.push_back(Job{sampleBuffer, continuation});
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
    idle_.notify_all();
}

void VTCompressionSession::completeFrames() { waitUntilPendingAtMost(0); }

void VTCompressionSession::waitUntilPendingAtMost(std::size_t count) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return !prepared_ || stopping_ || (queue_.size() + (busy_ ? 1 : 0)) <= count; });
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
        std::optional<VideoEncoderConfiguration> reconfiguration;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) break;
            job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            reconfiguration = std::exchange(pendingReconfiguration_, std::nullopt);
        }
        if (reconfiguration) reconfigure(*reconfiguration);
        encode(job);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        idle_.notify_all();
    }
    std::vector<VideoEncodedFrame> frames;
    if (!encoder_->flush(frames)) MEDLEY_LOG_WARN("encoder failed while draining");
    emit(frames);
    inFlight_.clear();
    encoder_.reset();
}

void VTCompressionSession::reconfigure(const VideoEncoderConfiguration& configuration) {
    std::vector<VideoEncodedFrame> held;
    const auto before = encoder_->parameterSets();
    const bool ok = encoder_->reconfigure(configuration, held);
    emit(held);
    if (!ok) {
        MEDLEY_LOG_WARN("encoder refused the new rate settings");
        return;
    }
    if (encoder_->parameterSets() != before) {
        MEDLEY_LOG_WARN("encoder parameter sets changed with the new rate settings");
    }
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
    bool forceKey = false;
    if (!nextKeyFrameAt_) {
        forceKey = true;
    } else if (interval > 0 && pts + kKeyFrameTolerance >= *nextKeyFrameAt_) {
        forceKey = true;
    }
    if (forceKey) {
        const std::int64_t step = interval > 0 ? static_cast<std::int64_t>(std::llround(interval * kNanos)) : 0;
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
        auto sample = SampleBuffer::makeData(platform::BlockBuffer::adopt(std::move(units)), formatDescription_, timing);
        if (!sample) continue;
        sample->setNotSync(!key);
        if (auto* attachments = sample->mutableAttachments(0)) attachments->dependsOnOthers = !key;
        if (continuation) continuation->yield(std::move(sample));
    }
}

}  // namespace medley
