#include "Medley/Sources/Codec/VideoCodecSettings.h"

#include <cmath>

#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using nlohmann::json;

const VideoCodecSettings::BitRateMode& VideoCodecSettings::BitRateMode::average() {
    static const BitRateMode mode{VTSessionOptionKey::averageBitRate()};
    return mode;
}
const VideoCodecSettings::BitRateMode& VideoCodecSettings::BitRateMode::constant() {
    static const BitRateMode mode{VTSessionOptionKey::constantBitRate()};
    return mode;
}
const VideoCodecSettings::BitRateMode& VideoCodecSettings::BitRateMode::variable() {
    static const BitRateMode mode{VTSessionOptionKey::variableBitRate()};
    return mode;
}

std::string_view VideoCodecSettings::rawValue(ScalingMode mode) {
    switch (mode) {
        case ScalingMode::normal: return "Normal";
        case ScalingMode::letterbox: return "Letterbox";
        case ScalingMode::cropSourceToCleanAperture: return "CropSourceToCleanAperture";
        case ScalingMode::trim: return "Trim";
    }
    return "Trim";
}

std::optional<VideoCodecSettings::ScalingMode> VideoCodecSettings::makeScalingMode(std::string_view raw) {
    for (auto mode : {ScalingMode::normal, ScalingMode::letterbox, ScalingMode::cropSourceToCleanAperture,
                      ScalingMode::trim}) {
        if (rawValue(mode) == raw) return mode;
    }
    return std::nullopt;
}

const std::vector<VideoCodecSettings::Format>& VideoCodecSettings::allFormats() {
    static const std::vector<Format> all{Format::h264, Format::hevc};
    return all;
}

const VideoCodecSettings& VideoCodecSettings::defaultValue() {
    static const VideoCodecSettings value;
    return value;
}

VideoCodecSettings::VideoCodecSettings() { setProfileLevel(VTProfileLevel::h264Baseline31); }

VideoCodecSettings::VideoCodecSettings(Size videoSize, int bitRate, std::string profileLevel, ScalingMode scalingMode,
                                       BitRateMode bitRateMode, std::int32_t maxKeyFrameIntervalDuration,
                                       std::optional<bool> allowFrameReordering,
                                       std::optional<std::vector<double>> dataRateLimits,
                                       bool isLowLatencyRateControlEnabled, bool isHardwareAcceleratedEnabled,
                                       std::optional<double> expectedFrameRate)
    : videoSize(videoSize),
      bitRate(bitRate),
      scalingMode(scalingMode),
      bitRateMode(std::move(bitRateMode)),
      maxKeyFrameIntervalDuration(maxKeyFrameIntervalDuration),
      allowFrameReordering(allowFrameReordering),
      dataRateLimits(std::move(dataRateLimits)),
      isLowLatencyRateControlEnabled(isLowLatencyRateControlEnabled),
      isHardwareAcceleratedEnabled(isHardwareAcceleratedEnabled),
      frameInterval(0),
      expectedFrameRate(expectedFrameRate) {
    setProfileLevel(std::move(profileLevel));
}

void VideoCodecSettings::setProfileLevel(std::string profileLevel) {
    profileLevel_ = std::move(profileLevel);
    format_ = profileLevel_.find("HEVC") != std::string::npos ? Format::hevc : Format::h264;
}

VTSessionOptionSet VideoCodecSettings::makeOptions() const {
    using Key = VTSessionOptionKey;
    const bool baseline = profileLevel_.find("Baseline") != std::string::npos;
    VTSessionOptionSet options;
    options.insert({Key::realTime(), true});
    options.insert({Key::profileLevel(), profileLevel_});
    options.insert({bitRateMode.key, static_cast<std::int64_t>(bitRate)});
    options.insert({Key::maxKeyFrameIntervalDuration(), static_cast<std::int64_t>(maxKeyFrameIntervalDuration)});
    options.insert({Key::allowFrameReordering(), allowFrameReordering.value_or(!baseline)});
    options.insert({Key::pixelTransferProperties(),
                    std::map<std::string, std::string>{{"ScalingMode", std::string(rawValue(scalingMode))}}});
    if (bitRateMode == BitRateMode::average() && dataRateLimits && dataRateLimits->size() == 2) {
        const auto& limits = *dataRateLimits;
        const double bytes = limits[0] == 0 ? static_cast<double>(bitRate) * 0.125 * 1.5 : limits[0];
        const double seconds = limits[1] == 0 ? 1.0 : limits[1];
        options.insert({Key::dataRateLimits(), std::vector<double>{bytes, seconds}});
    }
    if (isHardwareAcceleratedEnabled) {
        options.insert({Key::encoderID(), std::string(format_ == Format::hevc ? "hevc_vaapi" : "h264_vaapi")});
        options.insert({Key::enableHardwareAcceleratedVideoEncoder(), true});
        options.insert({Key::requireHardwareAcceleratedVideoEncoder(), true});
    }
    if (!baseline && profileLevel_.find("H264") != std::string::npos) {
        options.insert({Key::h264EntropyMode(), std::string(VTH264EntropyMode::cabac)});
    }
    return options;
}

bool VideoCodecSettings::shouldInvalidateSession(const VideoCodecSettings& other) const {
    return videoSize.width != other.videoSize.width || videoSize.height != other.videoSize.height ||
           maxKeyFrameIntervalDuration != other.maxKeyFrameIntervalDuration || scalingMode != other.scalingMode ||
           allowFrameReordering != other.allowFrameReordering || !(bitRateMode == other.bitRateMode) ||
           profileLevel_ != other.profileLevel_ || dataRateLimits != other.dataRateLimits ||
           isLowLatencyRateControlEnabled != other.isLowLatencyRateControlEnabled ||
           isHardwareAcceleratedEnabled != other.isHardwareAcceleratedEnabled ||
           isHardwareEncoderRequired != other.isHardwareEncoderRequired;
}

OSStatus VideoCodecSettings::apply(VideoCodec& codec, const VideoCodecSettings& rhs) const {
    OSStatus result = VTStatus::noErr;
    if (bitRate != rhs.bitRate) {
        MEDLEY_LOG_INFO("bitRate change from", rhs.bitRate, "to", bitRate);
        if (const auto& session = codec.session()) {
            const OSStatus status = session->setOption({bitRateMode.key, static_cast<std::int64_t>(bitRate)});
            if (status != VTStatus::noErr) {
                MEDLEY_LOG_WARN("the session refused the bit rate", bitRate, "with status", status);
                result = status;
            }
        }
    }
    if (!(frameInterval == rhs.frameInterval)) codec.frameInterval = frameInterval;
    if (expectedFrameRate != rhs.expectedFrameRate) {
        if (const auto& session = codec.session()) {
            const OSStatus status =
                session->setOption({VTSessionOptionKey::expectedFrameRate(), expectedFrameRate.value_or(0.0)});
            if (result == VTStatus::noErr) result = status;
        }
    }
    return result;
}

namespace {

std::string_view formatName(VideoCodecSettings::Format format) {
    return format == VideoCodecSettings::Format::hevc ? "hevc" : "h264";
}

[[noreturn]] void keyNotFound(const std::string& key) {
    throw VideoCodecSettings::DecodingError(VideoCodecSettings::DecodingError::Kind::keyNotFound,
                                            "No value associated with key \"" + key + "\".");
}

[[noreturn]] void typeMismatch(const std::string& key, const std::string& expected) {
    throw VideoCodecSettings::DecodingError(VideoCodecSettings::DecodingError::Kind::typeMismatch,
                                            "Expected to decode " + expected + " for key \"" + key + "\".");
}

const json& required(const json& object, const std::string& key) {
    auto it = object.find(key);
    if (it == object.end()) keyNotFound(key);
    return *it;
}

double number(const json& value, const std::string& key) {
    if (!value.is_number()) typeMismatch(key, "a number");
    return value.get<double>();
}

template <typename Int>
Int integer(const json& value, const std::string& key) {
    if (!value.is_number_integer()) typeMismatch(key, "an integer");
    const auto v = value.get<std::int64_t>();
    if (v < std::numeric_limits<Int>::min() || v > std::numeric_limits<Int>::max()) typeMismatch(key, "an integer");
    return static_cast<Int>(v);
}

bool boolean(const json& value, const std::string& key) {
    if (!value.is_boolean()) typeMismatch(key, "a Boolean");
    return value.get<bool>();
}

std::string string(const json& value, const std::string& key) {
    if (!value.is_string()) typeMismatch(key, "a string");
    return value.get<std::string>();
}

}  // namespace

json VideoCodecSettings::toJSON() const {
    json out = json::object();
    out["videoSize"] = json::array({videoSize.width, videoSize.height});
    out["bitRate"] = bitRate;
    out["profileLevel"] = profileLevel_;
    out["scalingMode"] = std::string(rawValue(scalingMode));
    out["bitRateMode"] = json{{"key", bitRateMode.key.rawValue}};
    out["maxKeyFrameIntervalDuration"] = maxKeyFrameIntervalDuration;
    if (allowFrameReordering) out["allowFrameReordering"] = *allowFrameReordering;
    if (dataRateLimits) out["dataRateLimits"] = *dataRateLimits;
    out["isLowLatencyRateControlEnabled"] = isLowLatencyRateControlEnabled;
    out["isHardwareAcceleratedEnabled"] = isHardwareAcceleratedEnabled;
    if (isHardwareEncoderRequired) out["isHardwareEncoderRequired"] = true;
    out["frameInterval"] = frameInterval;
    if (expectedFrameRate) out["expectedFrameRate"] = *expectedFrameRate;
    out["format"] = json{{std::string(formatName(format_)), json::object()}};
    return out;
}

VideoCodecSettings VideoCodecSettings::fromJSON(const json& in) {
    if (!in.is_object()) typeMismatch("", "a keyed container");
    VideoCodecSettings s;
    const auto& size = required(in, "videoSize");
    if (!size.is_array() || size.size() != 2) typeMismatch("videoSize", "a size");
    s.videoSize = {number(size[0], "videoSize"), number(size[1], "videoSize")};
    s.bitRate = integer<int>(required(in, "bitRate"), "bitRate");
    s.setProfileLevel(string(required(in, "profileLevel"), "profileLevel"));
    const auto scaling = makeScalingMode(string(required(in, "scalingMode"), "scalingMode"));
    if (!scaling) typeMismatch("scalingMode", "a scaling mode");
    s.scalingMode = *scaling;
    const auto& mode = required(in, "bitRateMode");
    if (!mode.is_object()) typeMismatch("bitRateMode", "a keyed container");
    s.bitRateMode = BitRateMode{VTSessionOptionKey(string(required(mode, "key"), "key"))};
    s.maxKeyFrameIntervalDuration =
        integer<std::int32_t>(required(in, "maxKeyFrameIntervalDuration"), "maxKeyFrameIntervalDuration");
    s.allowFrameReordering.reset();
    if (auto it = in.find("allowFrameReordering"); it != in.end() && !it->is_null()) {
        s.allowFrameReordering = boolean(*it, "allowFrameReordering");
    }
    s.dataRateLimits.reset();
    if (auto it = in.find("dataRateLimits"); it != in.end() && !it->is_null()) {
        if (!it->is_array()) typeMismatch("dataRateLimits", "an array");
        std::vector<double> limits;
        for (const auto& v : *it) limits.push_back(number(v, "dataRateLimits"));
        s.dataRateLimits = std::move(limits);
    }
    s.isLowLatencyRateControlEnabled =
        boolean(required(in, "isLowLatencyRateControlEnabled"), "isLowLatencyRateControlEnabled");
    s.isHardwareAcceleratedEnabled = boolean(required(in, "isHardwareAcceleratedEnabled"), "isHardwareAcceleratedEnabled");
    if (auto it = in.find("isHardwareEncoderRequired"); it != in.end() && !it->is_null()) {
        s.isHardwareEncoderRequired = boolean(*it, "isHardwareEncoderRequired");
    }
    s.frameInterval = number(required(in, "frameInterval"), "frameInterval");
    if (auto it = in.find("expectedFrameRate"); it != in.end() && !it->is_null()) {
        s.expectedFrameRate = number(*it, "expectedFrameRate");
    }
    const auto& format = required(in, "format");
    if (!format.is_object()) typeMismatch("format", "a keyed container");
    if (format.size() != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
    }
    const std::string name = format.begin().key();
    if (name == "h264") s.format_ = Format::h264;
    else if (name == "hevc") s.format_ = Format::hevc;
    else typeMismatch("format", "h264 or hevc");
    return s;
}

}  // namespace medley
