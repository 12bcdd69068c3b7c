#include "Quarzadel/Capture/MicSelection.h"

namespace quarzadel {

namespace {
std::string typeName(const nlohmann::json& j) { return j.type_name(); }
}  // namespace

MicSelection MicSelection::fromStoredValue(const std::optional<std::string>& stored) {
  if (!stored || stored->empty() || *stored == "system") return system();
  return device(*stored);
}

nlohmann::json MicSelection::encode() const {
  if (!device_) return {{"system", nlohmann::json::object()}};
  return {{"device", {{"_0", *device_}}}};
}

MicSelection MicSelection::decode(const nlohmann::json& json, std::vector<std::string> codingPath) {
  if (!json.is_object())
    throw DecodingError(DecodingError::Kind::typeMismatch, codingPath,
                        "Expected to decode a keyed container but found " + typeName(json) + " instead.");
  const bool hasSystem = json.contains("system"), hasDevice = json.contains("device");
  if (hasSystem == hasDevice) throw DecodingError(DecodingError::Kind::typeMismatch, codingPath, kInvalidKeyCount);
  const std::string key = hasSystem ? "system" : "device";
  const nlohmann::json& nested = json.at(key);
  codingPath.push_back(key);
  if (!nested.is_object())
    throw DecodingError(DecodingError::Kind::typeMismatch, codingPath,
                        "Expected to decode a keyed container but found " + typeName(nested) + " instead.");
  if (hasSystem) return system();
  const auto it = nested.find("_0");
  if (it == nested.end())
    throw DecodingError(DecodingError::Kind::keyNotFound, codingPath, "No value associated with key \"_0\".");
  if (!it->is_string()) {
    codingPath.push_back("_0");
    throw DecodingError(DecodingError::Kind::typeMismatch, codingPath,
                        "Expected to decode String but found " + typeName(*it) + " instead.");
  }
  return device(it->get<std::string>());
}

}  // namespace quarzadel
