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

TEST(StudioEventPayload, TheStreamKeyDecidesWhetherThereIsAnEvent) {
  EXPECT_EQ(build({{"stream_key", "snake"}}).streamKey, "snake");
  EXPECT_EQ(build({{"streamKey", "camel"}, {"stream_key", "snake"}}).streamKey, "camel");
  EXPECT_EQ(build({{"streamKey", " key with spaces "}}).streamKey, " key with spaces ");
  // A present but unusable "streamKey" is not replaced by "stream_key".
  for (const json& payload : {json{{"streamKey", 5}, {"stream_key", "valid"}}, json{{"streamKey", nullptr}},
                              json{{"streamKey", ""}}, json{{"streamKey", "a/b"}}, json{{"streamKey", "a\\b"}},
                              json::object(), json::array({"streamKey"}), json("streamKey")})
    EXPECT_FALSE(StudioEvent::fromPayload(payload)) << payload.dump();
}

TEST(StudioEventPayload, FieldsOfTheWrongTypeKeepTheirDefaults) {
  EXPECT_EQ(build({{"title", 7}}).title, "Live Event");
  EXPECT_EQ(build({{"title", ""}}).title, "");
  auto bare = build({{"url", 1}, {"slug", false}, {"broadcaster", json::array()}});
  EXPECT_EQ(bare.watchURL, std::nullopt);
  EXPECT_EQ(bare.slug, std::nullopt);
  EXPECT_EQ(bare.broadcaster, std::nullopt);

  for (const json& test : {json(true), json("true"), json(1), json(1.0)})
    EXPECT_TRUE(build({{"is_test", test}}).isTest) << test.dump();
  for (const json& test : {json("True"), json("1"), json(0), json(2), json(nullptr)})
    EXPECT_FALSE(build({{"is_test", test}}).isTest) << test.dump();

  const std::vector<std::pair<json, int64_t>> viewers{
      {42, 42}, {"+42", 42}, {"-3", -3}, {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"4x2", 0}, {"", 0}, {" 42", 0}, {"42 ", 0}, {"+", 0}, {"9223372036854775808", 0}, {true, 0}};
  for (const auto& [given, count] : viewers) EXPECT_EQ(build({{"liveViewers", given}}).liveViewers, count) << given;
}

TEST(StudioEventPayload, TheIngestIsTheRtmpUrlWithoutTheKeyElseTheDefault) {
  const std::string fallback = "rtmps://" + std::string(StudioEvent::kDefaultIngestHost) + ":443/live";
  EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", "rtmp://ingest.example/app/Key1"}}).rtmpServer,
            "rtmp://ingest.example/app");
  for (const json& url : {json("rtmp://ingest.example/app"), json("rtmp://ingest.example/app/Key1/"),
                          json("rtmp://ingest.example/app/key1"), json("rtmp://ingest.example/appKey1"), json(3)})
    EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", url}}).rtmpServer, fallback) << url.dump();
}

TEST(StudioEventUpdate, OverwritesOnlyWhatTheAnswerCarriesInAUsableForm) {
  auto event = build({{"title", "Old"}, {"is_test", true}, {"slug", "s"}, {"liveViewers", 5},
                      {"url", "https://old"}, {"event_status", "scheduled"}, {"rtmpurl", "rtmp://x/app/k"}});
  const auto before = event;
  event.update({{"title", ""}, {"liveViewers", "many"}, {"event_status", ""}, {"url", nullptr}});
  EXPECT_EQ(event.title, "Old");
  EXPECT_EQ(event.liveViewers, 5);
  EXPECT_EQ(event.eventStatus, "");
  EXPECT_EQ(event.watchURL, "https://old");

  // What only the payload sets is never changed by an answer.
  event.update({{"title", "New"}, {"liveViewers", "17"}, {"url", "https://new"}, {"streamKey", "other"},
                {"is_test", false}, {"slug", "t"}, {"rtmpurl", "rtmp://y/app/k"}});
  EXPECT_EQ(event.title, "New");
  EXPECT_EQ(event.liveViewers, 17);
  EXPECT_EQ(event.watchURL, "https://new");
  EXPECT_EQ(event.streamKey, before.streamKey);
  EXPECT_EQ(event.isTest, before.isTest);
  EXPECT_EQ(event.slug, before.slug);
  EXPECT_EQ(event.rtmpServer, before.rtmpServer);

  auto same = event;
  same.update(json::array({1, 2}));
  EXPECT_EQ(same, event);
}

struct StudioSettingsDefaults : ::testing::Test {
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
};

TEST_F(StudioSettingsDefaults, SaveWritesStringsAndBooleansThatLoadBack) {
  EXPECT_EQ(StudioSettings::load(*defaults), StudioSettings{});
  StudioSettings settings;
  settings.resolution = StreamConfig::Resolution::hd720;
  settings.framing = Framing::fit;
  settings.transition = CameraTransition::cut;
  settings.mirrorPreview = true;
  settings.autoFailover = false;
  settings.recordLocally = false;
  settings.save(*defaults);
  const std::vector<std::pair<const char*, json>> stored{
      {"StudioResolution", "720p"},      {"StudioFraming", "fit"},        {"StudioTransition", "cut"},
      {"StudioMirrorPreview", true},     {"StudioAutoFailover", false},   {"StudioRecordLocally", false}};
  for (const auto& [key, value] : stored) EXPECT_EQ(defaults->object(key), value) << key;
  EXPECT_EQ(StudioSettings::load(*defaults), settings);
}

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
  settings.resolution = StreamConfig::Resolution::hd720;
  EXPECT_EQ(settings.streamConfig(*defaults).resolution, StreamConfig::Resolution::hd720);
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::hevc);
  defaults->set("StreamCodec", "h264");
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::h264);
  for (const char* other : {"H264", "h264 ", "avc"}) {
    defaults->set("StreamCodec", other);
    EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::hevc) << other;
  }
}

}  // namespace
}  // namespace quarzadel
