#include "Quarzadel/Shell/EventsJSON.h"

#include <chrono>
#include <cmath>

namespace quarzadel {

using nlohmann::json;

namespace {

json optionalText(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

// Meter positions to three decimals: enough for a script, short on the line.
double rounded(float value) { return std::isfinite(value) ? std::round(value * 1000.0) / 1000.0 : 0.0; }

}  // namespace

double EventsJSON::seconds(platform::Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

json EventsJSON::status(const StudioEngineStatus& status) {
  json j{{"event", "status"}, {"status", std::string(status.name())}};
  if (const auto* live = std::get_if<StudioEngineStatus::Live>(&status.value)) j["since"] = seconds(live->since);
  if (const auto* again = std::get_if<StudioEngineStatus::Reconnecting>(&status.value)) {
    j["attempt"] = again->attempt;
    j["reason"] = again->reason;
  }
  return j;
}

json EventsJSON::stats(const RTMPPublisherStats& s) {
  const char* quality = s.quality == RTMPPublisherStats::Quality::good   ? "good"
                        : s.quality == RTMPPublisherStats::Quality::fair ? "fair"
                                                                          : "poor";
  return {{"event", "stats"},   {"uploadKbps", s.uploadKbps}, {"targetKbps", s.targetKbps}, {"fps", s.fps},
          {"queuedKB", s.queuedKB}, {"codec", s.codec},           {"quality", quality}};
}

json EventsJSON::notice(const std::optional<StudioSnapshot::Notice>& notice) {
  if (!notice)
    return {{"event", "notice"}, {"id", nullptr}, {"text", nullptr}, {"kind", nullptr}, {"action", nullptr}};
  return {{"event", "notice"},
          {"id", notice->id},
          {"text", notice->text},
          {"kind", notice->warning ? "warning" : "info"},
          {"action", optionalText(notice->actionTitle)}};
}

json EventsJSON::problem(const std::optional<std::string>& problem) {
  return {{"event", "problem"}, {"text", optionalText(problem)}};
}

json EventsJSON::level(const AudioLevel& level, bool muted) {
  return {{"event", "level"}, {"rms", rounded(level.rms)}, {"peak", rounded(level.peak)}, {"muted", muted}};
}

json EventsJSON::camera(const std::optional<std::string>& id, const std::optional<std::string>& name) {
  return {{"event", "camera"}, {"id", optionalText(id)}, {"name", optionalText(name)}};
}

json EventsJSON::closed(bool wentLive) { return {{"event", "closed"}, {"wentLive", wentLive}}; }

std::string EventsJSON::line(json object, platform::Date now) {
  object["t"] = std::round(seconds(now) * 1000.0) / 1000.0;
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quarzadel
