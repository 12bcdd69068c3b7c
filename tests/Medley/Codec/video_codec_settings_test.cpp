#include <gtest/gtest.h>

#include "Medley/Sources/Codec/VideoCodecSettings.h"

using namespace medley;
using Key = VTSessionOptionKey;

namespace {
const VTSessionOptionValue* find(const VTSessionOptionSet& options, const VTSessionOptionKey& key) {
    auto it = options.find(VTSessionOption{key, false});
    return it == options.end() ? nullptr : &it->value;
}
}  // namespace

TEST(VideoCodecSettingsOptions, ProfileDecidesFormatEntropyAndReordering) {
    VideoCodecSettings hevc;
    hevc.setProfileLevel(VTProfileLevel::hevcMainAutoLevel);
    auto options = hevc.makeOptions();
    EXPECT_EQ(*find(options, Key::encoderID()), VTSessionOptionValue(std::string("hevc_vaapi")));
    EXPECT_FALSE(find(options, Key::h264EntropyMode()));
    EXPECT_EQ(*find(options, Key::allowFrameReordering()), VTSessionOptionValue(true));

    VideoCodecSettings main;
    main.setProfileLevel(VTProfileLevel::h264MainAutoLevel);
    options = main.makeOptions();
    EXPECT_EQ(*find(options, Key::h264EntropyMode()), VTSessionOptionValue(std::string("CABAC")));
    EXPECT_EQ(*find(options, Key::allowFrameReordering()), VTSessionOptionValue(true));

    // Lower-case "hevc" is not the marker.
    main.setProfileLevel("hevc_main");
    EXPECT_EQ(main.format(), VideoCodecSettings::Format::h264);
}

TEST(VideoCodecSettingsOptions, DataRateLimits) {
    VideoCodecSettings s;
    s.dataRateLimits = std::vector<double>{500000, 2};
    EXPECT_EQ(*find(s.makeOptions(), Key::dataRateLimits()), VTSessionOptionValue(std::vector<double>{500000, 2}));
    s.dataRateLimits = std::vector<double>{0, 0};
    s.bitRate = 1000000;
    EXPECT_EQ(*find(s.makeOptions(), Key::dataRateLimits()), VTSessionOptionValue(std::vector<double>{187500.0, 1.0}));
    s.dataRateLimits = std::vector<double>{1000};
    EXPECT_FALSE(find(s.makeOptions(), Key::dataRateLimits()));
    s.dataRateLimits = std::vector<double>{0, 0};
    s.bitRateMode = VideoCodecSettings::BitRateMode::constant();
    const auto options = s.makeOptions();
    EXPECT_FALSE(find(options, Key::dataRateLimits()));
    EXPECT_EQ(*find(options, Key::constantBitRate()), VTSessionOptionValue(std::int64_t{1000000}));
    EXPECT_FALSE(find(options, Key::averageBitRate()));
}

TEST(VideoCodecSettingsCoding, RoundTripsAndKeepsTheStoredFormat) {
    VideoCodecSettings s({1920, 1080}, 4'000'000, VTProfileLevel::h264HighAutoLevel,
                         VideoCodecSettings::ScalingMode::letterbox, VideoCodecSettings::BitRateMode::constant(), 1,
                         true, std::nullopt, true, false, 29.97);
    s.frameInterval = VideoCodecSettings::frameIntervalFor10;
    const auto json = s.toJSON();
    EXPECT_EQ(json["scalingMode"], "Letterbox");
    EXPECT_EQ(json["bitRateMode"], (nlohmann::json{{"key", "ConstantBitRate"}}));
    EXPECT_EQ(json["format"], (nlohmann::json{{"h264", nlohmann::json::object()}}));
    EXPECT_FALSE(json.contains("dataRateLimits"));
    EXPECT_EQ(VideoCodecSettings::fromJSON(json), s);

    // The stored format wins over the profile's.
    auto mismatched = json;
    mismatched["format"] = {{"hevc", nlohmann::json::object()}};
    EXPECT_EQ(VideoCodecSettings::fromJSON(mismatched).format(), VideoCodecSettings::Format::hevc);

    // Optional keys may be absent.
    auto minimal = json;
    minimal.erase("allowFrameReordering");
    minimal.erase("expectedFrameRate");
    const auto decoded = VideoCodecSettings::fromJSON(minimal);
    EXPECT_FALSE(decoded.allowFrameReordering);
    EXPECT_FALSE(decoded.expectedFrameRate);
    EXPECT_FALSE(decoded.dataRateLimits);
}

TEST(VideoCodecSettingsCoding, RejectsMissingKeysWrongTypesAndBadFormats) {
    const auto json = VideoCodecSettings::defaultValue().toJSON();
    using Kind = VideoCodecSettings::DecodingError::Kind;
    auto kindOf = [](const nlohmann::json& j) -> std::optional<Kind> {
        try {
            VideoCodecSettings::fromJSON(j);
        } catch (const VideoCodecSettings::DecodingError& e) {
            return e.kind;
        }
        return std::nullopt;
    };
    auto missing = json;
    missing.erase("bitRate");
    EXPECT_EQ(kindOf(missing), Kind::keyNotFound);
    for (auto [key, value] : {std::pair<const char*, nlohmann::json>{"isHardwareAcceleratedEnabled", "yes"},
                              {"scalingMode", "Stretch"}}) {
        auto wrong = json;
        wrong[key] = value;
        EXPECT_EQ(kindOf(wrong), Kind::typeMismatch) << key;
    }
    auto twoKeys = json;
    twoKeys["format"] = {{"h264", nlohmann::json::object()}, {"hevc", nlohmann::json::object()}};
    try {
        VideoCodecSettings::fromJSON(twoKeys);
        FAIL();
    } catch (const VideoCodecSettings::DecodingError& e) {
        EXPECT_EQ(e.kind, Kind::typeMismatch);
        EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
    }
}
