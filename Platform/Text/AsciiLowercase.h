#pragma once
// Lower-case of ASCII letters only: names, schemes and option words compare
// the same whatever the process's locale.
#include <string>
#include <string_view>

namespace platform {

inline std::string asciiLowercase(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace platform
