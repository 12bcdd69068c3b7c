// The event built from the service's payload and refreshed by its answers, and
// the settings in user defaults.
#include <gtest/gtest.h>

#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Studio/StudioEvent.h"
#include "Quarzadel/Studio/StudioSettings.h"

namespace quarzadel {
namespace {

using nlohmann::json;

StudioEvent build(json payload) {
  if (!payload.contains("streamKey") && !payload.contains("stream_key")) payload["streamKey"] = "k";
  auto event = StudioEvent::fromPayload(payload);
  EXPECT_TRUE(event.has_value()) << payload.dump();
  return event.value_or(StudioEvent{});
}

TEST(StudioEventPayload, TheKeyDecidesWhetherThereIsAnEventAndFieldsOfTheWrongTypeKeepTheirDefaults) {
  EXPECT_EQ(build({{"stream_key", "snake"}}).streamKey, "snake");
  EXPECT_EQ(build({{"streamKey", "camel"}, {"stream_key", "snake"}}).streamKey, "camel");
  // A present but unusable "streamKey" is not replaced by "stream_key".
  for (const json& payload : {json{{"streamKey", 5}, {"stream_key", "valid"}}, json{{"streamKey", ""}},
                              json{{"streamKey", "a/b"}}, json::array({"streamKey"})})
    EXPECT_FALSE(StudioEvent::fromPayload(payload)) << payload.dump();

  auto bare = build({{"title", 7}, {"url", 1}, {"is_test", "True"}});
  EXPECT_EQ(std::tuple(bare.title, bare.watchURL, bare.isTest), std::tuple("Live Event", std::nullopt, false));
  EXPECT_TRUE(build({{"is_test", "true"}}).isTest);
  const std::vector<std::pair<json, int64_t>> viewers{
      {"+42", 42}, {"-9223372036854775808", INT64_MIN}, {" 42", 0}, {"9223372036854775808", 0}, {true, 0}};
  for (const auto& [given, count] : viewers) EXPECT_EQ(build({{"liveViewers", given}}).liveViewers, count) << given;

  // The ingest is the RTMP address without the key, else the default.
  EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", "rtmp://ingest.example/app/Key1"}}).rtmpServer,
            "rtmp://ingest.example/app");
  for (const json& url : {json("rtmp://ingest.example/app/key1"), json("rtmp://ingest.example/appKey1"), json(3)})
    EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", url}}).rtmpServer,
              "rtmps://" + std::string(StudioEvent::kDefaultIngestHost) + ":443/live") << url.dump();
}

struct StudioSettingsDefaults : ::testing::Test {
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
};

TEST_F(StudioSettingsDefaults, LoadingComparesExactlyAndFallsBackForOtherValues) {
  defaults->set("StudioResolution", "720P");
  defaults->set("StudioFraming", "Fill");
  defaults->set("StudioTransition", "Cut");
  defaults->set("StudioAutoFailover", "false");
  defaults->set("StudioRecordLocally", "no");
  EXPECT_EQ(StudioSettings::load(*defaults), StudioSettings{});

  // The command line has only text: there YES and NO are flags.
  defaults->setArguments({"-StudioRecordLocally", "NO", "-StudioAutoFailover", "NO"});
  auto settings = StudioSettings::load(*defaults);
  EXPECT_FALSE(settings.recordLocally);
  EXPECT_FALSE(settings.autoFailover);
  defaults->setArguments({"-StudioRecordLocally", "YES"});
  EXPECT_TRUE(StudioSettings::load(*defaults).recordLocally);
  defaults->setArguments(std::vector<std::string>{});

  defaults->set("StudioFraming", "fill");
  defaults->set("StudioAutoFailover", 0);
  defaults->set("StudioRecordLocally", false);
  settings = StudioSettings::load(*defaults);
  EXPECT_EQ(settings.framing, Framing::fill);
  EXPECT_FALSE(settings.autoFailover);
  EXPECT_FALSE(settings.recordLocally);
}

TEST_F(StudioSettingsDefaults, TheStreamIsH264OnlyWhenStreamCodecSaysExactlySo) {
  StudioSettings settings;
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::hevc);
  defaults->set("StreamCodec", "h264");
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::h264);
  defaults->set("StreamCodec", "H264");
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::hevc);
}

}  // namespace
}  // namespace quarzadel
