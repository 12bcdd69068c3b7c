#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/LogStore.h"
#include "Quarzadel/Log/MaskedStreamKey.h"

namespace quarzadel {
namespace {

TEST(MaskedStreamKeyTest, MasksKeysOfSevenCharactersOrMoreButNeverURLs) {
  // Characters, not bytes: six two-byte letters stay whole, seven are masked.
  for (auto [key, masked] : std::vector<std::pair<std::string, std::string>>{
           {"abc123", "abc123"}, {"abcd123", "abcd…23"}, {"live_0123456789abcdef", "live…ef"},
           {"rtmps://ingest.example:443/live", "rtmps://ingest.example:443/live"}, {"", ""},
           {"éééééé", "éééééé"}, {"ключ-abc", "ключ…bc"}, {"🎥🎥🎥🎥🎥🎥🎥", "🎥🎥🎥🎥…🎥🎥"}})
    EXPECT_EQ(maskedStreamKey(key), masked);
}

TEST(SystemDescriptionTest, NamesSystemReleaseModelAndArchitecture) {
  EXPECT_EQ(makeSystemDescription("Linux", "6.1.0-18-amd64", "ThinkPad X1 Carbon\n", "x86_64"),
            "Linux 6.1.0-18-amd64 ThinkPad X1 Carbon x86_64");
  EXPECT_EQ(makeSystemDescription("Linux", "6.1.0", "  \n", "x86_64"), "Linux 6.1.0 unknown x86_64");
  auto live = systemDescription();
  EXPECT_TRUE(live.starts_with("Linux ")) << live;
  EXPECT_FALSE(live.ends_with(" ")) << live;
  EXPECT_EQ(live.find('\n'), std::string::npos);
}

TEST(BaseURLTest, TakesTheDefaultOnlyForHttpSchemes) {
  testing::ScopedDefaults defaults;
  EXPECT_EQ(baseURL(), kDefaultBaseURL);
  for (auto [setting, url] : std::vector<std::pair<std::string, std::string>>{
           {"http://localhost:3000/", "http://localhost:3000/"},
           {"https://staging.example/app", "https://staging.example/app"},
           {"file:///etc/passwd", kDefaultBaseURL},
           {"not a url", kDefaultBaseURL}}) {
    defaults->set("BaseURL", setting);
    EXPECT_EQ(baseURL(), url);
  }
}

TEST(LogStoreTest, OneURLCarriesTheEndpointAndTheKey) {
  auto store = LogStore::parse("https://7f3e91a2-4b6c-4d8e-9a1f5c7e2b3d-8e4f-4c1a@storage.example:8443/zone/logs/");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->endpoint, "https://storage.example:8443/zone/logs/");
  EXPECT_EQ(store->accessKey, "7f3e91a2-4b6c-4d8e-9a1f5c7e2b3d-8e4f-4c1a");
  EXPECT_EQ(store->uploadURL("ab_cd_2026-12-05_15:30:38.log"),
            "https://storage.example:8443/zone/logs/ab_cd_2026-12-05_15%3A30%3A38.log");
  // A name can never leave its folder or start a query.
  EXPECT_EQ(store->uploadURL("../x?y#z.log"), "https://storage.example:8443/zone/logs/..%2Fx%3Fy%23z.log");

  auto keyless = LogStore::parse("http://127.0.0.1:8080/zone/logs");
  ASSERT_TRUE(keyless);
  EXPECT_EQ(keyless->endpoint, "http://127.0.0.1:8080/zone/logs/");
  EXPECT_EQ(keyless->accessKey, "");
  for (const char* bad : {"ftp://k@host/logs/", "https://k@/logs/", "storage.example/logs/", "https://host/logs/?q=1"})
    EXPECT_FALSE(LogStore::parse(bad)) << bad;
}

TEST(LogStoreTest, TheConfiguredStoreWinsAndABadOneDisablesUploads) {
  testing::ScopedDefaults defaults;
  ASSERT_TRUE(LogStore::current());
  EXPECT_EQ(LogStore::current()->accessKey, "7f3e91a2-4b6c-4d8e-9a1f5c7e2b3d-8e4f-4c1a");
  {
    testing::ScopedEnv env("QUARZADEL_LOG_STORE_URL", "http://e@127.0.0.1:1/env/logs/");
    EXPECT_EQ(LogStore::current()->endpoint, "http://127.0.0.1:1/env/logs/");
    defaults->set("LogStoreURL", "http://d@127.0.0.1:2/defaults/logs/");
    EXPECT_EQ(LogStore::current()->endpoint, "http://127.0.0.1:2/defaults/logs/");
    defaults->set("LogStoreURL", "nonsense");
    EXPECT_FALSE(LogStore::current());
  }
}

}  // namespace
}  // namespace quarzadel
