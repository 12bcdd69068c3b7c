#include "Platform/Defaults/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "Platform/Files/ScopedEnv.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::scratchDirectory;
using Json = UserDefaults::Value;

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(UserDefaultsDomains, ArgumentsOverrideFileWhichOverridesRegistration) {
  fs::path dir = scratchDirectory("defaults-domains");
  fs::path file = dir / "defaults.json";
  writeText(file, R"({"Resolution": "720p", "Framing": "fit"})");
  auto defaults = UserDefaults::withFile(file);
  defaults->registerDefaults({{"Resolution", "1080p"}, {"Framing", "automatic"}, {"Transition", "cut"}});
  const char* argv[] = {"quarzadel", "-Resolution", "480p"};
  defaults->setArguments(3, argv);

  EXPECT_EQ(defaults->string("Resolution"), "480p");
  EXPECT_EQ(defaults->string("Framing"), "fit");
  EXPECT_EQ(defaults->string("Transition"), "cut");

  // Writing does not hide the command line; removing falls back to registration.
  defaults->set("Resolution", "2160p");
  EXPECT_EQ(defaults->string("Resolution"), "480p");
  defaults->remove("Framing");
  EXPECT_EQ(defaults->string("Framing"), "automatic");
}

TEST(UserDefaultsDomains, ArgumentParsingTakesDashKeyValuePairsOnly) {
  auto defaults = UserDefaults::inMemory();
  defaults->setArguments(std::vector<std::string>{"input.mov", "-SyntheticSources", "YES", "--verbose", "-Level",
                                                  "-warn", "-Dangling"});
  EXPECT_TRUE(defaults->boolean("SyntheticSources"));
  EXPECT_EQ(defaults->string("Level"), "-warn");  // a value may itself start with "-"
  for (const char* absent : {"-verbose", "verbose", "Dangling", "input.mov"}) EXPECT_FALSE(defaults->contains(absent));
  // Set nothing, but kept for the program to refuse.
  EXPECT_EQ(defaults->strayArguments(), (std::vector<std::string>{"input.mov", "--verbose"}));

  // A new command line replaces the old one.
  defaults->setArguments(std::vector<std::string>{"-Other", "1"});
  EXPECT_FALSE(defaults->contains("SyntheticSources"));
  EXPECT_EQ(defaults->integer("Other"), 1);
}

TEST(UserDefaultsCoercion, BooleansNumbersAndText) {
  auto d = UserDefaults::inMemory();
  const std::vector<std::pair<Json, bool>> booleans{
      {"YES", true}, {"False", false}, {"0", false},     {" 2 ", true},
      {0.5, true},   {"maybe", false}, {nullptr, false}, {Json::array({1}), false}};
  for (const auto& [value, expected] : booleans) {
    if (value.is_null()) d->remove("k");
    else d->set("k", value);
    EXPECT_EQ(d->boolean("k"), expected) << value;
  }
  const std::vector<std::pair<Json, int64_t>> integers{
      {"-7", -7}, {"12px", 12}, {3.9, 3}, {"2.5", 2}, {"abc", 0},
      {1e300, std::numeric_limits<int64_t>::max()}, {18446744073709551615ULL, std::numeric_limits<int64_t>::max()}};
  for (const auto& [value, expected] : integers) {
    if (value.is_null()) d->remove("k");
    else d->set("k", value);
    EXPECT_EQ(d->integer("k"), expected) << value;
  }
  const std::vector<std::pair<Json, double>> doubles{{"1e3", 1000}, {true, 1}, {"abc", 0}};
  for (const auto& [value, expected] : doubles) {
    d->set("k", value);
    EXPECT_DOUBLE_EQ(d->doubleValue("k"), expected) << value;
  }
  const std::vector<std::pair<Json, std::optional<std::string>>> strings{
      {3.9, "3.9"}, {true, "1"}, {15, "15"}, {Json::array({"a"}), std::nullopt}};
  for (const auto& [value, expected] : strings) {
    d->set("k", value);
    EXPECT_EQ(d->string("k"), expected) << value;
  }
}

TEST(UserDefaultsCoercion, StringArrays) {
  auto d = UserDefaults::inMemory();
  d->registerDefaults({{"mixed", Json::array({"a", 1})}, {"empty", "()"}});
  d->setArguments(std::vector<std::string>{"-Suspended", R"((cam1, "cam 2", cam\3))"});
  EXPECT_EQ(d->stringArray("Suspended"), (std::vector<std::string>{"cam1", "cam 2", "cam\\3"}));
  EXPECT_EQ(d->stringArray("empty"), std::vector<std::string>{});
  EXPECT_FALSE(d->stringArray("mixed").has_value());

  d->setArguments(std::vector<std::string>{"-Bad", "(a, \"unclosed)", "-Hole", "(a,,b)"});
  EXPECT_FALSE(d->stringArray("Bad").has_value());
  EXPECT_FALSE(d->stringArray("Hole").has_value());
}

TEST(UserDefaultsFile, ChangesOnDiskAreReadAtTheNextUse) {
  fs::path dir = scratchDirectory("defaults-reread");
  fs::path file = dir / "defaults.json";
  auto defaults = UserDefaults::withFile(file);
  EXPECT_FALSE(defaults->contains("BaseURL"));

  writeText(file, R"({"BaseURL": "https://one.test"})");
  EXPECT_EQ(defaults->string("BaseURL"), "https://one.test");
  // Same size, rewritten in place: still noticed.
  writeText(file, R"({"BaseURL": "https://two.test"})");
  EXPECT_EQ(defaults->string("BaseURL"), "https://two.test");
  fs::remove(file);
  EXPECT_FALSE(defaults->contains("BaseURL"));
}

TEST(UserDefaultsFile, SetRewritesTheFileAtomically) {
  fs::path dir = scratchDirectory("defaults-atomic");
  fs::path file = dir / "nested" / "defaults.json";
  auto writer = UserDefaults::withFile(file);
  writer->set("RecordLocally", true);
  writer->set("Resolution", "720p");

  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  writer->set("Resolution", "1080p");
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  // Replaced by rename, never truncated and rewritten in place.
  EXPECT_NE(before.st_ino, after.st_ino);

  EXPECT_EQ(Json::parse(readText(file)), (Json{{"RecordLocally", true}, {"Resolution", "1080p"}}));
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(entry.path().filename(), "defaults.json") << "left behind: " << entry.path();

  // Another store on the same file sees it, and keeps what it did not touch.
  auto reader = UserDefaults::withFile(file);
  EXPECT_TRUE(reader->boolean("RecordLocally"));
  reader->set("Framing", "fill");
  EXPECT_EQ(writer->string("Framing"), "fill");
  EXPECT_EQ(writer->string("Resolution"), "1080p");
}

TEST(UserDefaultsFile, ADamagedFileReadsAsEmptyAndIsKeptAsideOnWrite) {
  fs::path dir = scratchDirectory("defaults-damaged");
  fs::path file = dir / "defaults.json";
  writeText(file, "{\"Resolution\": \"720p\",");
  auto defaults = UserDefaults::withFile(file);
  defaults->registerDefaults({{"Resolution", "1080p"}});
  EXPECT_EQ(defaults->string("Resolution"), "1080p");

  defaults->set("Framing", "fit");
  EXPECT_EQ(readText(dir / "defaults.json.damaged"), "{\"Resolution\": \"720p\",");
  EXPECT_EQ(Json::parse(readText(file)), (Json{{"Framing", "fit"}}));
}

TEST(UserDefaultsFile, AFailedWriteThrowsAndChangesNothing) {
  fs::path dir = scratchDirectory("defaults-unwritable");
  writeText(dir / "not-a-folder", "x");
  auto defaults = UserDefaults::withFile(dir / "not-a-folder" / "defaults.json");
  EXPECT_THROW(defaults->set("Key", "value"), std::system_error);
  EXPECT_FALSE(defaults->contains("Key"));
}

TEST(UserDefaultsFile, ConcurrentWritersLoseNoKey) {
  fs::path dir = scratchDirectory("defaults-threads");
  auto defaults = UserDefaults::withFile(dir / "defaults.json");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        defaults->set("k" + std::to_string(t) + "_" + std::to_string(i), i);
        (void)defaults->integer("k0_0");
      }
    });
  for (auto& th : threads) th.join();
  auto fresh = UserDefaults::withFile(dir / "defaults.json");
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 10; ++i) EXPECT_EQ(fresh->integer("k" + std::to_string(t) + "_" + std::to_string(i)), i);
}

}  // namespace
}  // namespace platform
