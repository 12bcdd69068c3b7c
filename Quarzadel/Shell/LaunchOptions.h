#pragma once
// What a launch asks for, read from the user defaults (the command line's
// "-Key value" pairs over the defaults file) and checked before anything
// starts: the Studio to open ("OpenStudio" with its title, live flag and watch
// URL), the JSON events, the scenario, the synthetic sources. A value the
// program cannot use is refused with a message naming the default.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Shell/Scenario.h"
#include "Quarzadel/Studio/StudioEvent.h"

namespace quarzadel {

struct LaunchOptions {
  // A launch the program refuses; what() is the message for the host.
  class Error : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  std::optional<StudioEvent> event;
  bool jsonEvents = false;
  std::optional<Scenario> scenario;
  bool syntheticSources = false;
  // "DemoMicLevel": a fixed meter position (0 to 1) shown instead of the sound's level.
  std::optional<double> demoMicLevel;
  // "-Key" arguments that name no default the program reads: kept all the same,
  // but named to the host, so that a typo does not pass unseen.
  std::vector<std::string> unknownArguments;

  // Throws Error for a word of the command line that is no "-Key value" pair (a
  // stray word, a last "-Key" without a value), an unreadable defaults file, a value out of its set, an
  // ingest URL the connection would refuse, a malformed scenario (the scenario's
  // unknown action is logged first) or a stream key that cannot be used.
  static LaunchOptions read(const platform::UserDefaults& defaults);

  // The defaults file, when there is one, holds a JSON object.
  static void checkDefaultsFile(const std::filesystem::path& file);
  // An "rtmp://" or "rtmps://" URL with a host and an application.
  static bool isUsableIngestURL(const std::string& url);
  // Whether the program reads a default of this name.
  static bool isKnownDefault(const std::string& key);
  // The line for standard error about an unknown argument.
  static std::string unknownArgumentLine(const std::string& key);
};

}  // namespace quarzadel
