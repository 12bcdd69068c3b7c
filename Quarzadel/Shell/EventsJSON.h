#pragma once
// "-Events json": every published change of the open Studio as one JSON object
// on one line, for scripts. Each object has "event" (its kind) and "t" (wall
// time, seconds since 1970):
//   {"event":"status","status":"live","since":1765000000.123}
//   {"event":"status","status":"reconnecting","attempt":2,"reason":"..."}
//   {"event":"stats","uploadKbps":..,"targetKbps":..,"fps":..,"queuedKB":..,"codec":"h264","quality":"good"}
//   {"event":"notice","id":"..","text":"..","kind":"warning","action":".."}   (null fields when cleared)
//   {"event":"problem","text":".."}                                            (text null when cleared)
//   {"event":"level","rms":0.71,"peak":0.83,"muted":false}
//   {"event":"camera","id":"synthetic-a","name":".."}
//   {"event":"closed","wentLive":true}
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Quarzadel/Shell/StudioSnapshot.h"

namespace quarzadel {

class EventsJSON {
 public:
  static nlohmann::json status(const StudioEngineStatus& status);
  static nlohmann::json stats(const RTMPPublisherStats& stats);
  static nlohmann::json notice(const std::optional<StudioSnapshot::Notice>& notice);
  static nlohmann::json problem(const std::optional<std::string>& problem);
  static nlohmann::json level(const AudioLevel& level, bool muted);
  static nlohmann::json camera(const std::optional<std::string>& id, const std::optional<std::string>& name);
  static nlohmann::json closed(bool wentLive);
  // The object with "t" set, dumped on one line with its line feed. Text that
  // is not valid UTF-8 is written with replacement characters.
  static std::string line(nlohmann::json object, platform::Date now);
  static double seconds(platform::Date date);
};

}  // namespace quarzadel
