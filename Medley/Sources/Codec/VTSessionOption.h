#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

namespace medley {

// A named compression-session property.
struct VTSessionOptionKey {
    std::string rawValue;

    VTSessionOptionKey() = default;
    explicit VTSessionOptionKey(std::string raw) : rawValue(std::move(raw)) {}

    static const VTSessionOptionKey& profileLevel();
    static const VTSessionOptionKey& h264EntropyMode();
    static const VTSessionOptionKey& expectedFrameRate();
    static const VTSessionOptionKey& allowFrameReordering();
    static const VTSessionOptionKey& maxKeyFrameIntervalDuration();
    static const VTSessionOptionKey& requireHardwareAcceleratedVideoEncoder();
    static const VTSessionOptionKey& enableHardwareAcceleratedVideoEncoder();
    static const VTSessionOptionKey& pixelTransferProperties();
    static const VTSessionOptionKey& averageBitRate();
    static const VTSessionOptionKey& dataRateLimits();
    static const VTSessionOptionKey& realTime();
    static const VTSessionOptionKey& encoderID();
    static const VTSessionOptionKey& constantBitRate();
    static const VTSessionOptionKey& variableBitRate();
    // Encoder selection only: ask for low-latency rate control.
    static const VTSessionOptionKey& enableLowLatencyRateControl();

    std::string description() const { return rawValue; }
    bool operator==(const VTSessionOptionKey&) const = default;
};

// A property value: a number, string, Boolean, list of numbers or a
// string-to-string dictionary.
using VTSessionOptionValue =
    std::variant<bool, std::int64_t, double, std::string, std::vector<double>, std::map<std::string, std::string>>;

// One key-value pair. Equal and hashed by the key alone, so a set holds at
// most one option per key.
struct VTSessionOption {
    VTSessionOptionKey key;
    VTSessionOptionValue value;

    bool operator==(const VTSessionOption& other) const { return key == other.key; }

    struct Hash {
        std::size_t operator()(const VTSessionOption& o) const { return std::hash<std::string>()(o.key.rawValue); }
    };
};

using VTSessionOptionSet = std::unordered_set<VTSessionOption, VTSessionOption::Hash>;

// Value readers that accept any numeric alternative; nullopt for other kinds.
std::optional<double> numberValue(const VTSessionOptionValue& value);
std::optional<bool> boolValue(const VTSessionOptionValue& value);

// Profile-level and entropy-mode values understood by the encoders.
namespace VTProfileLevel {
inline constexpr const char* h264Baseline31 = "H264_Baseline_3_1";
inline constexpr const char* h264Baseline41 = "H264_Baseline_4_1";
inline constexpr const char* h264BaselineAutoLevel = "H264_Baseline_AutoLevel";
inline constexpr const char* h264Main31 = "H264_Main_3_1";
inline constexpr const char* h264Main41 = "H264_Main_4_1";
inline constexpr const char* h264MainAutoLevel = "H264_Main_AutoLevel";
inline constexpr const char* h264High40 = "H264_High_4_0";
inline constexpr const char* h264High41 = "H264_High_4_1";
inline constexpr const char* h264HighAutoLevel = "H264_High_AutoLevel";
inline constexpr const char* hevcMainAutoLevel = "HEVC_Main_AutoLevel";
inline constexpr const char* hevcMain10AutoLevel = "HEVC_Main10_AutoLevel";
}  // namespace VTProfileLevel

namespace VTH264EntropyMode {
inline constexpr const char* cabac = "CABAC";
inline constexpr const char* cavlc = "CAVLC";
}  // namespace VTH264EntropyMode

}  // namespace medley
