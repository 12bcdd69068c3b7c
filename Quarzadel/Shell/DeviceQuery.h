#pragma once
// How the host names a device in a scenario or at the keys: its id, its
// synthetic letter ("b" for "synthetic-b") or a part of its name.
#include <optional>
#include <string>

#include "Platform/Text/AsciiLowercase.h"

namespace quarzadel {

template <class Devices>
std::optional<std::string> findDevice(const Devices& devices, const std::string& query) {
  for (const auto& d : devices)
    if (d.id == query || d.id == "synthetic-" + query) return d.id;
  const std::string wanted = platform::asciiLowercase(query);
  for (const auto& d : devices)
    if (platform::asciiLowercase(d.name).find(wanted) != std::string::npos) return d.id;
  return std::nullopt;
}

}  // namespace quarzadel
