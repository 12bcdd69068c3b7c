#include "Quarzadel/Shell/LaunchOptions.h"

#include "Platform/Text/AsciiLowercase.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "Logwell/LWLogLevel.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/MedleyLogging.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

namespace quarzadel {

namespace {

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) out += i + 1 == words.size() ? " or " : ", ";
    out += "\"" + words[i] + "\"";
  }
  return out;
}

// Text defaults whose value is one of a few words.
void checkChoice(const platform::UserDefaults& d, const std::string& key, const std::vector<std::string>& allowed) {
  if (!d.contains(key)) return;
  const auto value = d.string(key);
  if (value && std::find(allowed.begin(), allowed.end(), *value) != allowed.end()) return;
  throw LaunchOptions::Error("unknown value " + (value ? "\"" + *value + "\"" : d.object(key)->dump()) + " for " +
                             key + ": use " + joined(allowed));
}

// Boolean defaults: the words the defaults read as true or false.
void checkBoolean(const platform::UserDefaults& d, const std::string& key) {
  auto value = d.object(key);
  if (!value || value->is_boolean() || value->is_number()) return;
  if (value->is_string()) {
    static const std::vector<std::string> words = {"yes", "no", "true", "false", "y", "n", "1", "0"};
    if (std::find(words.begin(), words.end(), platform::asciiLowercase(value->get<std::string>())) != words.end()) return;
  }
  throw LaunchOptions::Error("unknown value " + (value->is_string() ? "\"" + value->get<std::string>() + "\""
                                                                     : value->dump()) +
                             " for " + key + ": use YES or NO");
}

// Numbers as the defaults read them: finite, and within `most` either way where given.
void checkNumber(const platform::UserDefaults& d, const std::string& key,
                 std::optional<std::pair<double, std::string>> most = std::nullopt) {
  auto value = d.object(key);
  if (!value) return;
  std::optional<double> number;
  if (value->is_number()) {
    number = value->get<double>();
  } else if (value->is_string()) {
    const std::string text = value->get<std::string>();
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (!text.empty() && end && *end == '\0') number = parsed;
  }
  const std::string shown = value->is_string() ? "\"" + value->get<std::string>() + "\"" : value->dump();
  if (!number || !std::isfinite(*number))
    throw LaunchOptions::Error("unknown value " + shown + " for " + key + ": use a number");
  if (most && std::fabs(*number) > most->first)
    throw LaunchOptions::Error("unknown value " + shown + " for " + key + ": use " + most->second);
}

// Every default the program reads, from the command line or the defaults file.
const std::vector<std::string>& knownDefaults() {
  static const std::vector<std::string> keys = {
      "BaseURL", "DemoLiveElapsed", "DemoMicLevel", "DemoViewers", "EventAPIBase", "Events", "InitialCamera",
      "LogStoreURL", "MedleyLogLevel", "OpenStudio", "OpenStudioLive", "OpenStudioTitle", "OpenStudioURL",
      "RTMPServerOverride", "RecordLocally", "Scenario", "SkipPermissionPrompts", "SnapshotDir", "StreamCodec",
      "StudioAutoFailover", "StudioCameraID", "StudioFraming", "StudioMicSelection", "StudioMirrorPreview",
      "StudioRecordLocally", "StudioResolution", "StudioTransition", "SyntheticClip", "SyntheticClipName",
      "SyntheticMicName", "SyntheticScreenImage", "SyntheticSources", "SyntheticSuspended"};
  return keys;
}

}  // namespace

bool LaunchOptions::isKnownDefault(const std::string& key) {
  const auto& keys = knownDefaults();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string LaunchOptions::unknownArgumentLine(const std::string& key) {
  return "-" + key + " is no default the Studio reads; it is kept as a user default all the same";
}

bool LaunchOptions::isUsableIngestURL(const std::string& url) {
  const auto parsed = rtmpmedley::RTMPConnectionURL::parse(url);
  if (!parsed) return false;
  const std::string scheme = platform::asciiLowercase(parsed->scheme());
  if (scheme != "rtmp" && scheme != "rtmps") return false;
  if (!parsed->host() || parsed->host()->empty()) return false;
  if (parsed->port() && (*parsed->port() <= 0 || *parsed->port() > 65535)) return false;
  // The application is the path's first component.
  const std::string& path = parsed->path();
  return path.size() > 1 && path[0] == '/' && path[1] != '/';
}

void LaunchOptions::checkDefaultsFile(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return;
  std::ifstream in(file, std::ios::binary);
  if (!in || !std::filesystem::is_regular_file(file, error))
    throw Error("cannot read the defaults file " + file.string());
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  } catch (const std::exception&) {
    throw Error("cannot read the defaults file " + file.string());
  }
  if (in.bad()) throw Error("cannot read the defaults file " + file.string());
  if (!parsed.is_object())
    throw Error("the defaults file " + file.string() + " does not hold a JSON object of defaults");
}

LaunchOptions LaunchOptions::read(const platform::UserDefaults& d) {
  // A word the command line would drop is most often half of a value: refused, not guessed at.
  if (const auto stray = d.strayArguments(); !stray.empty()) {
    const std::string& word = stray.front();
    if (word.size() > 2 && word.starts_with("--"))
      throw Error("\"" + word + "\" is no -Key value pair: a default takes one dash, as -" + word.substr(2) + " VALUE");
    throw Error("\"" + word +
                "\" is no -Key value pair: every default is given as -Key value, a value of several words in quotes");
  }
  if (const auto key = d.keyWithoutValue())
    throw Error("-" + *key + " has no value: give it as -" + *key + " VALUE");
  if (d.file()) checkDefaultsFile(*d.file());

  checkChoice(d, "StudioResolution", {"720p", "1080p"});
  checkChoice(d, "StreamCodec", {"h264", "hevc"});
  checkChoice(d, "StudioFraming", {"automatic", "fill", "fit"});
  checkChoice(d, "StudioTransition", {"cut", "dissolve"});
  checkChoice(d, "Events", {"json"});
  if (d.contains("MedleyLogLevel")) {
    const auto level = d.string("MedleyLogLevel");
    if (!level || !logwell::levelFromString(capitalized(*level)))
      throw Error("unknown value " + (level ? "\"" + *level + "\"" : d.object("MedleyLogLevel")->dump()) +
                  " for MedleyLogLevel: use " + joined({"trace", "debug", "info", "warn", "error"}));
  }
  for (const char* key : {"SyntheticSources", "SkipPermissionPrompts", "OpenStudioLive", "StudioMirrorPreview",
                          "StudioAutoFailover", "StudioRecordLocally", "RecordLocally"})
    checkBoolean(d, key);
  for (const char* key : {"DemoViewers", "DemoMicLevel"}) checkNumber(d, key);
  // Further back or ahead the live date would leave the clock's range.
  const auto most = std::to_string(static_cast<long long>(RTMPPublisher::kMostDemoLiveElapsed));
  checkNumber(d, "DemoLiveElapsed",
              std::pair{RTMPPublisher::kMostDemoLiveElapsed,
                        "a number of seconds within a hundred years (-" + most + " to " + most + ")"});

  if (auto url = d.string("RTMPServerOverride"); url && !url->empty() && !isUsableIngestURL(*url))
    throw Error("RTMPServerOverride \"" + *url +
                "\" is not an ingest URL the connection accepts: use rtmp://HOST[:PORT]/APP or rtmps://HOST[:PORT]/APP");

  LaunchOptions options;
  for (const auto& key : d.argumentKeys())
    if (!isKnownDefault(key)) options.unknownArguments.push_back(key);
  options.jsonEvents = d.string("Events") == "json";
  options.syntheticSources = d.boolean("SyntheticSources");
  if (d.contains("DemoMicLevel")) options.demoMicLevel = std::clamp(d.doubleValue("DemoMicLevel"), 0.0, 1.0);

  if (d.contains("Scenario")) {
    const auto script = d.string("Scenario");
    if (!script) throw Error("the Scenario default must be text");
    try {
      options.scenario = Scenario::parse(*script);
    } catch (const Scenario::Error& e) {
      if (e.unknownAction()) Log::scenarioUnknownAction(*e.unknownAction(), __FILE__);
      throw Error("Scenario " + std::string(e.what()));
    }
  }

  if (auto key = d.string("OpenStudio")) {
    nlohmann::json payload{{"streamKey", *key}, {"is_test", !d.boolean("OpenStudioLive")}};
    if (auto title = d.string("OpenStudioTitle")) payload["title"] = *title;
    if (auto url = d.string("OpenStudioURL")) payload["url"] = *url;
    if (d.contains("DemoViewers")) payload["liveViewers"] = d.integer("DemoViewers");
    options.event = StudioEvent::fromPayload(payload);
    if (!options.event)
      throw Error("OpenStudio \"" + *key + "\" is no stream key: it must be non-empty, without \"/\" or \"\\\"");
  }
  return options;
}

}  // namespace quarzadel
