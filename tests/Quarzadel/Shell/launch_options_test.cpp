// What a launch accepts and what it refuses with which message: values out of
// their sets, an unreadable defaults file, ingest URLs the connection refuses,
// an unusable key.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Quarzadel/Shell/LaunchOptions.h"

namespace quarzadel {
namespace {

std::shared_ptr<platform::UserDefaults> withArguments(const std::vector<std::string>& arguments) {
  auto d = platform::UserDefaults::inMemory();
  d->setArguments(arguments);
  return d;
}

std::string refusal(const std::vector<std::string>& arguments) {
  try {
    LaunchOptions::read(*withArguments(arguments));
  } catch (const LaunchOptions::Error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(LaunchOptions, ReadsTheStudioToOpenAndRefusesValuesItCannotUseNamingTheChoices) {
  // The program's own runs show the rest of what is read.
  EXPECT_EQ(LaunchOptions::read(*withArguments({"-DemoMicLevel", "7"})).demoMicLevel, 1.0);

  EXPECT_EQ(refusal({"-StreamCodec", "H264"}), "unknown value \"H264\" for StreamCodec: use \"h264\" or \"hevc\"");
  EXPECT_EQ(refusal({"-OpenStudio", "a/b"}),
            "OpenStudio \"a/b\" is no stream key: it must be non-empty, without \"/\" or \"\\\"");
  EXPECT_EQ(refusal({"-SyntheticSources", "no", "-StudioAutoFailover", "1", "-RTMPServerOverride", ""}), "accepted");
}

// A mistyped default is kept (it may be meant for something else) but named.
TEST(LaunchOptions, ArgumentsThatNameNoDefaultAreListedOnce) {
  const auto options = LaunchOptions::read(*withArguments(
      {"-StudioRecordLocaly", "NO", "-StudioRecordLocally", "NO", "-OpenStudio", "k", "-Typo", "1", "-Typo", "2",
       "-SyntheticSuspended", "synthetic-a", "-LogStoreURL", "http://k@127.0.0.1/z/logs/"}));
  EXPECT_EQ(options.unknownArguments, (std::vector<std::string>{"StudioRecordLocaly", "Typo"}));
  EXPECT_EQ(LaunchOptions::unknownArgumentLine("Typo"),
            "-Typo is no default the Studio reads; it is kept as a user default all the same");
}

// Every default comes as "-Key value": a word in a key's place (the rest of an
// unquoted value, a key with two dashes) or a last key without its value is
// refused, naming it, before any value is read.
TEST(LaunchOptions, AWordThatIsNoKeyValuePairIsRefused) {
  EXPECT_EQ(refusal({"-OpenStudio", "k", "-Scenario", "golive;", "wait", "2"}),
            "\"wait\" is no -Key value pair: every default is given as -Key value, a value of several words in quotes");
  EXPECT_EQ(refusal({"stray", "-OpenStudio", "k"}),
            "\"stray\" is no -Key value pair: every default is given as -Key value, a value of several words in quotes");
  EXPECT_EQ(refusal({"-OpenStudio", "k", "-StudioRecordLocally"}),
            "-StudioRecordLocally has no value: give it as -StudioRecordLocally VALUE");
  EXPECT_EQ(refusal({"-OpenStudio", "k", "-StreamCodec", "H264", "-StudioRecordLocally"}),
            "-StudioRecordLocally has no value: give it as -StudioRecordLocally VALUE");
  // A value that looks like a key is a value.
  EXPECT_EQ(refusal({"-OpenStudio", "k", "-DemoLiveElapsed", "-5", "-OpenStudioTitle", "--verbose"}), "accepted");
  // One dash too many would otherwise drop the default without a word.
  EXPECT_EQ(refusal({"-OpenStudio", "k", "-DemoLiveElapsed", "-5", "--verbose", "-Scenario", "golive; close"}),
            "\"--verbose\" is no -Key value pair: a default takes one dash, as -verbose VALUE");
  EXPECT_EQ(refusal({"-OpenStudio", "k", "--StudioRecordLocally"}),
            "\"--StudioRecordLocally\" is no -Key value pair: a default takes one dash, as -StudioRecordLocally VALUE");
  EXPECT_EQ(refusal({"--", "-OpenStudio", "k"}),
            "\"--\" is no -Key value pair: every default is given as -Key value, a value of several words in quotes");
  const auto d = withArguments({"-OpenStudio", "k", "-StudioRecordLocally"});
  EXPECT_FALSE(d->contains("StudioRecordLocally"));
  EXPECT_EQ(d->keyWithoutValue(), "StudioRecordLocally");
}

// Numbers are finite; the demo's elapsed time keeps the live date within the
// clock's range, from the command line as from the defaults file.
TEST(LaunchOptions, NumbersThatAreNoFiniteValueOrTooFarAreRefused) {
  for (const char* bad : {"nan", "inf", "-inf", "1e400", "12px"})
    for (const char* key : {"DemoLiveElapsed", "DemoViewers", "DemoMicLevel"})
      EXPECT_EQ(refusal({"-OpenStudio", "k", std::string("-") + key, bad}),
                "unknown value \"" + std::string(bad) + "\" for " + key + ": use a number");
  const std::string range = ": use a number of seconds within a hundred years (-3155760000 to 3155760000)";
  EXPECT_EQ(refusal({"-DemoLiveElapsed", "1e300"}), "unknown value \"1e300\" for DemoLiveElapsed" + range);
  EXPECT_EQ(refusal({"-DemoLiveElapsed", "-3155760001"}), "unknown value \"-3155760001\" for DemoLiveElapsed" + range);
  for (const char* fine : {"3155760000", "-3155760000", "0.25", "-90"})
    EXPECT_EQ(refusal({"-DemoLiveElapsed", fine}), "accepted") << fine;
  EXPECT_EQ(refusal({"-DemoViewers", "1e300"}), "accepted");

  const auto dir = std::filesystem::temp_directory_path() / ("qz-numbers-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "defaults.json";
  std::ofstream(file) << R"({"DemoLiveElapsed": 1e300})";
  auto d = platform::UserDefaults::withFile(file);
  try {
    LaunchOptions::read(*d);
    ADD_FAILURE() << "accepted";
  } catch (const LaunchOptions::Error& e) {
    EXPECT_EQ(std::string(e.what()), "unknown value 1e+300 for DemoLiveElapsed" + range);
  }
  std::filesystem::remove_all(dir);
}

TEST(LaunchOptions, AcceptsOnlyIngestURLsTheConnectionTakes) {
  for (const char* good : {"rtmp://127.0.0.1:1935/live", "RTMP://h/app/extra", "rtmps://[::1]:443/live"})
    EXPECT_TRUE(LaunchOptions::isUsableIngestURL(good)) << good;
  for (const char* bad : {"http://h/live", "rtmp://h", "rtmp://h/", "rtmp:///live", "rtmp://h:0/live",
                          "rtmp://h:70000/live", "rtmp://h /live", "127.0.0.1:1935/live"})
    EXPECT_FALSE(LaunchOptions::isUsableIngestURL(bad)) << bad;
  EXPECT_EQ(refusal({"-RTMPServerOverride", "http://127.0.0.1/live"}),
            "RTMPServerOverride \"http://127.0.0.1/live\" is not an ingest URL the connection accepts: use "
            "rtmp://HOST[:PORT]/APP or rtmps://HOST[:PORT]/APP");
}

TEST(LaunchOptions, AnUnreadableOrDamagedDefaultsFileIsRefused) {
  const auto dir = std::filesystem::temp_directory_path() / ("qz-launch-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "defaults.json";
  std::ofstream(file) << "{\"StudioResolution\": \"720p\"}";
  EXPECT_NO_THROW(LaunchOptions::read(*platform::UserDefaults::withFile(file)));
  std::ofstream(file) << "{not json";
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  std::ofstream(file) << "[1, 2]";
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  // A value from the file is checked like one from the command line.
  std::ofstream(file) << "{\"StreamCodec\": \"vp9\"}";
  EXPECT_THROW(LaunchOptions::read(*platform::UserDefaults::withFile(file)), LaunchOptions::Error);
  // A folder where the file should be cannot be read.
  std::filesystem::remove(file);
  std::filesystem::create_directories(file);
  EXPECT_THROW(LaunchOptions::checkDefaultsFile(file), LaunchOptions::Error);
  EXPECT_NO_THROW(LaunchOptions::checkDefaultsFile(dir / "missing.json"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quarzadel
