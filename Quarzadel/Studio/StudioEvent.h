#pragma once
// The event a Studio streams, built from the event service's JSON and refreshed
// by its status answers and by the page.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quarzadel {

struct StudioEvent {
  // The ingest used when the payload names none that fits the stream key.
  static constexpr const char* kDefaultIngestHost = "ingest.quarzadel.live";
  static constexpr const char* kDefaultTitle = "Live Event";

  std::string streamKey;  // never empty, without "/" or "\"
  std::string title = kDefaultTitle;
  bool isTest = false;
  std::optional<std::string> watchURL;
  std::optional<std::string> slug;
  std::optional<std::string> broadcaster;
  std::optional<std::string> eventStatus;
  int64_t liveViewers = 0;
  std::string rtmpServer = defaultIngestURL();

  friend bool operator==(const StudioEvent&, const StudioEvent&) = default;

  // None when the payload is not an object or its stream key is unusable
  // ("streamKey", else "stream_key"; a string, non-empty, without "/" or "\").
  static std::optional<StudioEvent> fromPayload(const nlohmann::json& payload);
  // Overwrites the fields the payload carries in a usable form: a non-empty
  // "title", any "event_status", a "liveViewers" that reads as an integer, any
  // "url". The key, test flag, slug, broadcaster and ingest never change.
  void update(const nlohmann::json& payload);

  // "rtmps://" + the default ingest host + ":443/live".
  static std::string defaultIngestURL();
  // A decimal integer: optional sign, digits only, within 64 bits.
  static std::optional<int64_t> parseInteger(std::string_view text);
};

}  // namespace quarzadel
