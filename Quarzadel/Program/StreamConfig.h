#pragma once
// What the program is made of (size, codec, pacing, sound rate, key-frame
// interval) and the two picture options the host chooses in the Studio settings.
// Every enumeration round-trips through its raw string (stored in user defaults).
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quarzadel {

struct StreamConfig {
  enum class Resolution { hd720, hd1080 };
  enum class VideoCodec { hevc, h264 };

  Resolution resolution = Resolution::hd1080;
  VideoCodec videoCodec = VideoCodec::hevc;
  double frameRate = 30;
  int64_t audioBitrate = 96000;
  double audioSampleRate = 48000;
  int32_t keyframeIntervalSeconds = 2;

  // Field-wise; a NaN rate never equals anything.
  friend bool operator==(const StreamConfig& a, const StreamConfig& b) {
    return a.resolution == b.resolution && a.videoCodec == b.videoCodec && a.frameRate == b.frameRate &&
           a.audioBitrate == b.audioBitrate && a.audioSampleRate == b.audioSampleRate &&
           a.keyframeIntervalSeconds == b.keyframeIntervalSeconds;
  }

  // Program picture size in pixels.
  int width() const { return resolution == Resolution::hd720 ? 1280 : 1920; }
  int height() const { return resolution == Resolution::hd720 ? 720 : 1080; }
};

enum class Framing { automatic, fill, fit };
enum class CameraTransition { cut, dissolve };

std::string_view rawValue(StreamConfig::Resolution v);
std::string_view rawValue(StreamConfig::VideoCodec v);
std::string_view rawValue(Framing v);
std::string_view rawValue(CameraTransition v);

// The identifier of a case is its raw value.
template <class E>
std::string_view id(E v) {
  return rawValue(v);
}

// Every case in declaration order.
template <class E>
struct AllCases;
template <>
struct AllCases<StreamConfig::Resolution> {
  static constexpr std::array value{StreamConfig::Resolution::hd720, StreamConfig::Resolution::hd1080};
};
template <>
struct AllCases<StreamConfig::VideoCodec> {
  static constexpr std::array value{StreamConfig::VideoCodec::hevc, StreamConfig::VideoCodec::h264};
};
template <>
struct AllCases<Framing> {
  static constexpr std::array value{Framing::automatic, Framing::fill, Framing::fit};
};
template <>
struct AllCases<CameraTransition> {
  static constexpr std::array value{CameraTransition::cut, CameraTransition::dissolve};
};

template <class E>
constexpr const auto& allCases() {
  return AllCases<E>::value;
}

// The case whose raw value is exactly `raw` (case-sensitive, nothing trimmed), or none.
template <class E>
std::optional<E> fromRawValue(std::string_view raw) {
  for (E v : allCases<E>())
    if (rawValue(v) == raw) return v;
  return std::nullopt;
}

}  // namespace quarzadel

// Values hash through their raw strings, so equal strings hash alike.
#define QZ_RAW_VALUE_HASH(E)                                  \
  template <>                                                 \
  struct std::hash<E> {                                       \
    size_t operator()(E v) const noexcept {                   \
      return std::hash<std::string_view>{}(quarzadel::rawValue(v)); \
    }                                                         \
  };
QZ_RAW_VALUE_HASH(quarzadel::StreamConfig::Resolution)
QZ_RAW_VALUE_HASH(quarzadel::StreamConfig::VideoCodec)
QZ_RAW_VALUE_HASH(quarzadel::Framing)
QZ_RAW_VALUE_HASH(quarzadel::CameraTransition)
#undef QZ_RAW_VALUE_HASH
