#include <gtest/gtest.h>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Time/HostClock.h"
#include "Quarzadel/Program/HostSeconds.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Studio/StudioSettings.h"

namespace quarzadel {
namespace {

using Resolution = StreamConfig::Resolution;
using VideoCodec = StreamConfig::VideoCodec;

// Only the exact "h264" chooses H.264; the default is read at every call.
TEST(StudioSettingsTest, StreamConfigTakesTheCodecFromTheStreamCodecDefault) {
  auto previous = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  StudioSettings settings;
  StreamConfig expected{Resolution::hd1080, VideoCodec::hevc, 30, 96000, 48000, 2};
  EXPECT_EQ(settings.streamConfig(), expected);  // nothing stored
  for (const char* other : {"hevc", "H264", "h264 ", ""}) {
    defaults->set("StreamCodec", std::string(other));
    EXPECT_EQ(settings.streamConfig().videoCodec, VideoCodec::hevc) << other;
  }
  defaults->set("StreamCodec", std::string("h264"));
  settings.resolution = Resolution::hd720;
  expected.resolution = Resolution::hd720;
  expected.videoCodec = VideoCodec::h264;
  EXPECT_EQ(settings.streamConfig(), expected);
  platform::UserDefaults::setStandard(previous);
}

struct FixedClock : platform::Clock {
  explicit FixedClock(platform::Nanos t) : t(t) {}
  platform::Nanos now() const override { return t; }
  platform::Nanos t;
};

TEST(HostSecondsTest, ConvertsCaptureTimesToHostSeconds) {
  FixedClock host(platform::seconds(500));
  FixedClock capture(platform::seconds(20));  // 480 s behind the host clock
  // Invalid times are "now", whatever the clock.
  EXPECT_DOUBLE_EQ(hostSeconds(platform::MediaTime::invalid(), &capture, host), 500.0);
  // No clock, or the host clock itself: unchanged.
  EXPECT_DOUBLE_EQ(hostSeconds(platform::MediaTime(3003, 1000), nullptr, host), 3.003);
  EXPECT_DOUBLE_EQ(hostSeconds(platform::MediaTime(3003, 1000), &host, host), 3.003);
  // Another clock: shifted onto the host clock.
  EXPECT_NEAR(hostSeconds(platform::MediaTime(19'500, 1000), &capture, host), 499.5, 1e-9);
}

}  // namespace
}  // namespace quarzadel
