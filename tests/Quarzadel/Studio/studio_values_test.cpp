// The Studio's plain values: the event built from the service's payload and
// refreshed by its answers, the settings in user defaults, the statuses and
// the notices.
#include <gtest/gtest.h>

#include <regex>

#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Studio/RTMPServerOverride.h"
#include "Quarzadel/Studio/StudioEngineStatus.h"
#include "Quarzadel/Studio/StudioEvent.h"
#include "Quarzadel/Studio/StudioNotice.h"
#include "Quarzadel/Studio/StudioSettings.h"

namespace quarzadel {
namespace {

using nlohmann::json;

StudioEvent build(const json& payload) {
  auto event = StudioEvent::fromPayload(payload);
  EXPECT_TRUE(event.has_value()) << payload.dump();
  return event.value_or(StudioEvent{});
}

TEST(StudioEventPayload, TheStreamKeyComesFromStreamKeyThenStreamUnderscoreKey) {
  EXPECT_EQ(build({{"stream_key", "snake"}}).streamKey, "snake");
  EXPECT_EQ(build({{"streamKey", "camel"}, {"stream_key", "snake"}}).streamKey, "camel");
  // A present but unusable "streamKey" is not replaced by "stream_key".
  EXPECT_FALSE(StudioEvent::fromPayload({{"streamKey", 5}, {"stream_key", "valid"}}));
  EXPECT_FALSE(StudioEvent::fromPayload({{"streamKey", nullptr}, {"stream_key", "valid"}}));
}

TEST(StudioEventPayload, UnusableKeysGiveNoEventAndSpacesAreKept) {
  for (const char* key : {"", "a/b", "a\\b", "/", "\\"})
    EXPECT_FALSE(StudioEvent::fromPayload({{"streamKey", key}})) << key;
  EXPECT_FALSE(StudioEvent::fromPayload(json::object()));
  EXPECT_FALSE(StudioEvent::fromPayload(json::array({"streamKey"})));
  EXPECT_FALSE(StudioEvent::fromPayload("streamKey"));
  EXPECT_EQ(build({{"streamKey", " key with spaces "}}).streamKey, " key with spaces ");
}

TEST(StudioEventPayload, TitleAndOptionalTexts) {
  EXPECT_EQ(build({{"streamKey", "k"}}).title, "Live Event");
  EXPECT_EQ(build({{"streamKey", "k"}, {"title", 7}}).title, "Live Event");
  EXPECT_EQ(build({{"streamKey", "k"}, {"title", ""}}).title, "");
  EXPECT_EQ(build({{"streamKey", "k"}, {"title", "Town Hall"}}).title, "Town Hall");

  auto event = build({{"streamKey", "k"},
                      {"url", "https://watch.example/e"},
                      {"slug", "town-hall"},
                      {"broadcaster", "Ada"},
                      {"event_status", "scheduled"}});
  EXPECT_EQ(event.watchURL, "https://watch.example/e");
  EXPECT_EQ(event.slug, "town-hall");
  EXPECT_EQ(event.broadcaster, "Ada");
  EXPECT_EQ(event.eventStatus, "scheduled");
  auto bare = build({{"streamKey", "k"}, {"url", 1}, {"slug", false}, {"broadcaster", json::array()}});
  EXPECT_EQ(bare.watchURL, std::nullopt);
  EXPECT_EQ(bare.slug, std::nullopt);
  EXPECT_EQ(bare.broadcaster, std::nullopt);
  EXPECT_EQ(bare.eventStatus, std::nullopt);
}

TEST(StudioEventPayload, IsTestForms) {
  for (const json& test : {json(true), json("true"), json(1), json(1.0)})
    EXPECT_TRUE(build({{"streamKey", "k"}, {"is_test", test}}).isTest) << test.dump();
  for (const json& test : {json("True"), json("1"), json(0), json(false), json(2), json(nullptr)})
    EXPECT_FALSE(build({{"streamKey", "k"}, {"is_test", test}}).isTest) << test.dump();
  EXPECT_FALSE(build({{"streamKey", "k"}}).isTest);
}

TEST(StudioEventPayload, LiveViewers) {
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", 42}}).liveViewers, 42);
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", "42"}}).liveViewers, 42);
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", "+42"}}).liveViewers, 42);
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", "-3"}}).liveViewers, -3);
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", "9223372036854775807"}}).liveViewers, INT64_MAX);
  EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", "-9223372036854775808"}}).liveViewers, INT64_MIN);
  for (const json& viewers : {json("4x2"), json(""), json(" 42"), json("42 "), json("+"), json("9223372036854775808"),
                              json(true), json(json::array())})
    EXPECT_EQ(build({{"streamKey", "k"}, {"liveViewers", viewers}}).liveViewers, 0) << viewers.dump();
  EXPECT_EQ(build({{"streamKey", "k"}}).liveViewers, 0);
}

TEST(StudioEventPayload, TheIngestIsTheRtmpUrlWithoutTheKeyElseTheDefault) {
  const std::string fallback = "rtmps://" + std::string(StudioEvent::kDefaultIngestHost) + ":443/live";
  EXPECT_EQ(StudioEvent::defaultIngestURL(), fallback);
  EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", "rtmp://ingest.example/app/Key1"}}).rtmpServer,
            "rtmp://ingest.example/app");
  for (const json& url : {json("rtmp://ingest.example/app"), json("rtmp://ingest.example/app/Key1/"),
                          json("rtmp://ingest.example/app/key1"), json("rtmp://ingest.example/appKey1"), json(3)})
    EXPECT_EQ(build({{"streamKey", "Key1"}, {"rtmpurl", url}}).rtmpServer, fallback) << url.dump();
  EXPECT_EQ(build({{"streamKey", "Key1"}}).rtmpServer, fallback);
}

TEST(StudioEventUpdate, OverwritesOnlyWhatTheAnswerCarriesInAUsableForm) {
  auto event = build({{"streamKey", "k"},
                      {"title", "Old"},
                      {"is_test", true},
                      {"slug", "s"},
                      {"broadcaster", "b"},
                      {"liveViewers", 5},
                      {"url", "https://old"},
                      {"event_status", "scheduled"},
                      {"rtmpurl", "rtmp://x/app/k"}});
  const auto before = event;

  event.update({{"title", ""}, {"liveViewers", "many"}, {"event_status", ""}});
  EXPECT_EQ(event.title, "Old");
  EXPECT_EQ(event.liveViewers, 5);
  EXPECT_EQ(event.eventStatus, "");

  event.update({{"title", "New"},
                {"liveViewers", "17"},
                {"url", "https://new"},
                {"streamKey", "other"},
                {"is_test", false},
                {"slug", "t"},
                {"broadcaster", "c"},
                {"rtmpurl", "rtmp://y/app/k"}});
  EXPECT_EQ(event.title, "New");
  EXPECT_EQ(event.liveViewers, 17);
  EXPECT_EQ(event.watchURL, "https://new");
  EXPECT_EQ(event.streamKey, before.streamKey);
  EXPECT_EQ(event.isTest, before.isTest);
  EXPECT_EQ(event.slug, before.slug);
  EXPECT_EQ(event.broadcaster, before.broadcaster);
  EXPECT_EQ(event.rtmpServer, before.rtmpServer);

  event.update({{"liveViewers", 0}, {"title", 12}, {"url", nullptr}});
  EXPECT_EQ(event.liveViewers, 0);
  EXPECT_EQ(event.title, "New");
  EXPECT_EQ(event.watchURL, "https://new");

  auto same = event;
  same.update(json::array({1, 2}));
  EXPECT_EQ(same, event);
}

struct StudioSettingsDefaults : ::testing::Test {
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
};

TEST_F(StudioSettingsDefaults, NothingStoredLoadsTheDefaults) {
  const auto settings = StudioSettings::load(*defaults);
  EXPECT_EQ(settings.resolution, StreamConfig::Resolution::hd1080);
  EXPECT_EQ(settings.framing, Framing::automatic);
  EXPECT_EQ(settings.transition, CameraTransition::dissolve);
  EXPECT_FALSE(settings.mirrorPreview);
  EXPECT_TRUE(settings.autoFailover);
  EXPECT_TRUE(settings.recordLocally);
  EXPECT_EQ(settings, StudioSettings{});
}

TEST_F(StudioSettingsDefaults, SaveWritesAllSixKeysAsStringsAndBooleans) {
  StudioSettings settings;
  settings.resolution = StreamConfig::Resolution::hd720;
  settings.framing = Framing::fit;
  settings.transition = CameraTransition::cut;
  settings.mirrorPreview = true;
  settings.autoFailover = false;
  settings.recordLocally = false;
  settings.save(*defaults);
  EXPECT_EQ(defaults->object("StudioResolution"), json("720p"));
  EXPECT_EQ(defaults->object("StudioFraming"), json("fit"));
  EXPECT_EQ(defaults->object("StudioTransition"), json("cut"));
  EXPECT_EQ(defaults->object("StudioMirrorPreview"), json(true));
  EXPECT_EQ(defaults->object("StudioAutoFailover"), json(false));
  EXPECT_EQ(defaults->object("StudioRecordLocally"), json(false));
  EXPECT_EQ(StudioSettings::load(*defaults), settings);

  StudioSettings{}.save(*defaults);
  EXPECT_EQ(defaults->object("StudioResolution"), json("1080p"));
  EXPECT_EQ(defaults->object("StudioFraming"), json("automatic"));
  EXPECT_EQ(defaults->object("StudioTransition"), json("dissolve"));
  EXPECT_EQ(defaults->object("StudioMirrorPreview"), json(false));
  EXPECT_EQ(defaults->object("StudioAutoFailover"), json(true));
  EXPECT_EQ(defaults->object("StudioRecordLocally"), json(true));
}

TEST_F(StudioSettingsDefaults, LoadingComparesExactlyAndFallsBackForOtherValues) {
  defaults->set("StudioResolution", "720P");
  defaults->set("StudioFraming", "Fill");
  defaults->set("StudioTransition", "Cut");
  defaults->set("StudioAutoFailover", "false");
  defaults->set("StudioRecordLocally", "no");
  auto settings = StudioSettings::load(*defaults);
  EXPECT_EQ(settings.resolution, StreamConfig::Resolution::hd1080);
  EXPECT_EQ(settings.framing, Framing::automatic);
  EXPECT_EQ(settings.transition, CameraTransition::dissolve);
  EXPECT_TRUE(settings.autoFailover);
  EXPECT_TRUE(settings.recordLocally);

  // The command line has only text: there YES and NO are flags.
  defaults->setArguments({"-StudioRecordLocally", "NO", "-StudioAutoFailover", "NO"});
  settings = StudioSettings::load(*defaults);
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

TEST_F(StudioSettingsDefaults, TheStreamConfigReadsStreamCodecAtEveryCall) {
  StudioSettings settings;
  settings.resolution = StreamConfig::Resolution::hd720;
  auto config = settings.streamConfig(*defaults);
  EXPECT_EQ(config.resolution, StreamConfig::Resolution::hd720);
  EXPECT_EQ(config.videoCodec, StreamConfig::VideoCodec::hevc);
  EXPECT_EQ(config.frameRate, 30.0);
  EXPECT_EQ(config.audioBitrate, 96000);
  EXPECT_EQ(config.audioSampleRate, 48000.0);
  EXPECT_EQ(config.keyframeIntervalSeconds, 2);

  defaults->set("StreamCodec", "h264");
  EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::h264);
  for (const char* other : {"H264", "h264 ", "hevc", "avc"}) {
    defaults->set("StreamCodec", other);
    EXPECT_EQ(settings.streamConfig(*defaults).videoCodec, StreamConfig::VideoCodec::hevc) << other;
  }
}

TEST(StudioStatusValue, EqualityTakesThePayloadIntoAccount) {
  const platform::Date t0{std::chrono::seconds(1'800'000'000)};
  using Status = StudioEngineStatus;
  EXPECT_EQ(Status::live(t0), Status::live(t0));
  EXPECT_NE(Status::live(t0), Status::live(t0 + std::chrono::milliseconds(1)));
  EXPECT_EQ(Status::reconnecting(2, "Timed out"), Status::reconnecting(2, "Timed out"));
  EXPECT_NE(Status::reconnecting(2, "Timed out"), Status::reconnecting(3, "Timed out"));
  EXPECT_NE(Status::reconnecting(2, "Timed out"), Status::reconnecting(2, "Refused"));
  EXPECT_NE(Status::ready(), Status::starting());
  EXPECT_EQ(Status{}, Status::starting());
  EXPECT_EQ(Status::reconnecting(2, "Refused").description(), "reconnecting(2, Refused)");
  EXPECT_EQ(Status::live(t0 + std::chrono::milliseconds(25)).description(), "live(1800000000.025)");
  EXPECT_EQ(Status::stopping().name(), "stopping");
  EXPECT_EQ(name(StudioEnginePermission::unknown), "unknown");
  EXPECT_EQ(name(StudioEnginePermission::granted), "granted");
  EXPECT_EQ(name(StudioEnginePermission::denied), "denied");
}

TEST(StudioNoticeValue, ANoticeEqualsOnlyItselfAndItsCopies) {
  StudioNotice a("Same text", StudioNotice::Kind::info);
  StudioNotice b("Same text", StudioNotice::Kind::info);
  EXPECT_NE(a, b);
  auto copy = a;
  copy.actionTitle = "Do it";
  copy.action = [] {};
  EXPECT_EQ(copy, a);
  EXPECT_TRUE(std::regex_match(a.id(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << a.id();
  EXPECT_EQ(a.logText(), "Notice: Same text");
  EXPECT_EQ(copy.logText(), "Notice: Same text [Do it]");
}

TEST(RTMPServerOverrideDefault, PresentAndNonEmptyOnlyAndReadAnewEachTime) {
  auto defaults = platform::UserDefaults::inMemory();
  EXPECT_EQ(rtmpServerOverride(*defaults), std::nullopt);
  defaults->set("RTMPServerOverride", "");
  EXPECT_EQ(rtmpServerOverride(*defaults), std::nullopt);
  defaults->set("RTMPServerOverride", "rtmp://127.0.0.1:1935/live");
  EXPECT_EQ(rtmpServerOverride(*defaults), "rtmp://127.0.0.1:1935/live");
}

}  // namespace
}  // namespace quarzadel
