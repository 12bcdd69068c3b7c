#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Codec/VTSessionError.h"
#include "Medley/Sources/Codec/VTSessionOption.h"

namespace medley {

class VideoCodec;

// How the video encoder works: picture size, bit rate and its control,
// profile and level, key-frame spacing, scaling, encoder choice and
// frame-rate limit. A plain value.
class VideoCodecSettings {
public:
    struct Size {
        double width = 0;
        double height = 0;
        bool operator==(const Size&) const = default;
    };

    // Which session property carries the bit rate.
    struct BitRateMode {
        VTSessionOptionKey key;

        static const BitRateMode& average();
        static const BitRateMode& constant();
        static const BitRateMode& variable();

        std::string description() const { return key.rawValue; }
        bool operator==(const BitRateMode& other) const { return key.rawValue == other.key.rawValue; }
    };

    enum class ScalingMode { normal, letterbox, cropSourceToCleanAperture, trim };
    static std::string_view rawValue(ScalingMode mode);
    static std::optional<ScalingMode> makeScalingMode(std::string_view rawValue);

    enum class Format { h264, hevc };
    static const std::vector<Format>& allFormats();

    // Values of frameInterval that let through at most about 30, 10, 5 and 1
    // frames per second.
    static constexpr double frameIntervalFor30 = 1.0 / 30.0 - 0.001;
    static constexpr double frameIntervalFor10 = 0.099;
    static constexpr double frameIntervalFor5 = 0.199;
    static constexpr double frameIntervalFor1 = 0.999;

    // The shared default value.
    static const VideoCodecSettings& defaultValue();

    VideoCodecSettings();
    VideoCodecSettings(Size videoSize, int bitRate, std::string profileLevel, ScalingMode scalingMode,
                       BitRateMode bitRateMode, std::int32_t maxKeyFrameIntervalDuration,
                       std::optional<bool> allowFrameReordering, std::optional<std::vector<double>> dataRateLimits,
                       bool isLowLatencyRateControlEnabled, bool isHardwareAcceleratedEnabled,
                       std::optional<double> expectedFrameRate);

    Size videoSize{854, 480};
    int bitRate = 640000;
    ScalingMode scalingMode = ScalingMode::trim;
    BitRateMode bitRateMode = BitRateMode::average();
    std::int32_t maxKeyFrameIntervalDuration = 2;
    std::optional<bool> allowFrameReordering;
    std::optional<std::vector<double>> dataRateLimits = std::vector<double>{0.0, 0.0};
    bool isLowLatencyRateControlEnabled = false;
    bool isHardwareAcceleratedEnabled = true;
    // HEVC only: encode on the GPU or not at all. The hardware options above
    // are served in software where no GPU encoder exists; this is for a caller
    // that chose HEVC because the hardware encoder is there.
    bool isHardwareEncoderRequired = false;
    double frameInterval = 0;
    std::optional<double> expectedFrameRate;

    const std::string& profileLevel() const { return profileLevel_; }
    // Also sets format: hevc exactly when the text contains "HEVC".
    void setProfileLevel(std::string profileLevel);
    Format format() const { return format_; }

    // The properties of a freshly created compression session.
    VTSessionOptionSet makeOptions() const;
    // True when `other` differs in something only a new session can take.
    bool shouldInvalidateSession(const VideoCodecSettings& other) const;
    // Pushes the changes from `rhs` (the previous value) that a running
    // session can take into the codec and its session; the first failure
    // status of the session, noErr when every change applied.
    OSStatus apply(VideoCodec& codec, const VideoCodecSettings& rhs) const;

    struct DecodingError : std::runtime_error {
        enum class Kind { keyNotFound, typeMismatch };
        DecodingError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
        Kind kind;
    };
    nlohmann::json toJSON() const;
    // Throws DecodingError for a missing required key or a value of the wrong type.
    static VideoCodecSettings fromJSON(const nlohmann::json& json);

    bool operator==(const VideoCodecSettings&) const = default;

private:
    std::string profileLevel_;
    Format format_ = Format::h264;
};

}  // namespace medley
