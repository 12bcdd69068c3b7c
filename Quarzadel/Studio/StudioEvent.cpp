#include "Quarzadel/Studio/StudioEvent.h"

#include <charconv>

namespace quarzadel {

namespace {

std::optional<std::string> stringEntry(const nlohmann::json& payload, const char* key) {
  auto it = payload.find(key);
  if (it == payload.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// An integer the JSON reader gives as a number: integers, and floating values
// that are whole and within range.
std::optional<int64_t> integerEntry(const nlohmann::json& value) {
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    auto number = value.get<uint64_t>();
    if (number <= uint64_t(INT64_MAX)) return int64_t(number);
    return std::nullopt;
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (number == double(int64_t(number)) && number > -9.2e18 && number < 9.2e18) return int64_t(number);
  }
  return std::nullopt;
}

// "liveViewers": an integer, or a string holding one.
std::optional<int64_t> viewerCount(const nlohmann::json& value) {
  if (auto number = integerEntry(value)) return number;
  if (value.is_string()) return StudioEvent::parseInteger(value.get_ref<const std::string&>());
  return std::nullopt;
}

}  // namespace

std::string StudioEvent::defaultIngestURL() { return std::string("rtmps://") + kDefaultIngestHost + ":443/live"; }

std::optional<int64_t> StudioEvent::parseInteger(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  // Parse the magnitude as unsigned so that the most negative value fits.
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) {
    if (magnitude > uint64_t(INT64_MAX) + 1) return std::nullopt;
    return magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
  }
  if (magnitude > uint64_t(INT64_MAX)) return std::nullopt;
  return int64_t(magnitude);
}

std::optional<StudioEvent> StudioEvent::fromPayload(const nlohmann::json& payload) {
  if (!payload.is_object()) return std::nullopt;
  auto keyEntry = payload.find("streamKey");
  if (keyEntry == payload.end()) keyEntry = payload.find("stream_key");
  if (keyEntry == payload.end() || !keyEntry->is_string()) return std::nullopt;
  const auto& key = keyEntry->get_ref<const std::string&>();
  if (key.empty() || key.find_first_of("/\\") != std::string::npos) return std::nullopt;

  StudioEvent event;
  event.streamKey = key;
  event.title = stringEntry(payload, "title").value_or(kDefaultTitle);
  if (auto test = payload.find("is_test"); test != payload.end()) {
    event.isTest = (test->is_boolean() && test->get<bool>()) || (test->is_string() && *test == "true") ||
                   integerEntry(*test) == 1;
  }
  event.watchURL = stringEntry(payload, "url");
  event.slug = stringEntry(payload, "slug");
  event.broadcaster = stringEntry(payload, "broadcaster");
  event.eventStatus = stringEntry(payload, "event_status");
  if (auto viewers = payload.find("liveViewers"); viewers != payload.end())
    event.liveViewers = viewerCount(*viewers).value_or(0);
  event.rtmpServer = defaultIngestURL();
  if (auto url = stringEntry(payload, "rtmpurl")) {
    const std::string suffix = "/" + key;
    if (url->size() >= suffix.size() && url->compare(url->size() - suffix.size(), suffix.size(), suffix) == 0)
      event.rtmpServer = url->substr(0, url->size() - suffix.size());
  }
  return event;
}

void StudioEvent::update(const nlohmann::json& payload) {
  if (!payload.is_object()) return;
  if (auto newTitle = stringEntry(payload, "title"); newTitle && !newTitle->empty()) title = *newTitle;
  if (auto status = stringEntry(payload, "event_status")) eventStatus = status;
  if (auto viewers = payload.find("liveViewers"); viewers != payload.end()) {
    if (auto count = integerEntry(*viewers)) liveViewers = *count;
    else if (viewers->is_string())
      if (auto parsed = parseInteger(viewers->get_ref<const std::string&>())) liveViewers = *parsed;
  }
  if (auto url = stringEntry(payload, "url")) watchURL = url;
}

}  // namespace quarzadel
