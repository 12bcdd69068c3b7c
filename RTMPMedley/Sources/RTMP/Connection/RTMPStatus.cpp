#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"

namespace rtmpmedley {

std::optional<RTMPStatus> RTMPStatus::make(const AMFObject* object) {
  if (!object || object->empty()) return std::nullopt;
  auto text = [object](std::string_view key) -> const std::string* {
    auto it = object->find(key);
    return it == object->end() ? nullptr : it->second.string();
  };
  const std::string* code = text("code");
  if (!code) return std::nullopt;
  // Some servers leave the level out (of a refused connect, say): the code still says what happened.
  const std::string* level = text("level");
  const std::string* description = text("description");
  return RTMPStatus{*code, level ? *level : std::string(), description ? *description : std::string(), *object};
}

std::optional<RTMPStatus> RTMPStatus::make(const std::optional<AMFObject>& object) {
  return make(object ? &*object : nullptr);
}

std::optional<RTMPStatus> RTMPStatus::make(const AMFValue& value) {
  if (auto object = value.object()) return make(object);
  if (auto typed = value.get<AMFTypedObject>()) return make(&typed->data);
  if (auto array = value.get<AMFArray>()) {
    // "code", "level" and "description" are not decimal: they are always named entries.
    return make(&array->dict);
  }
  return std::nullopt;
}

}  // namespace rtmpmedley
