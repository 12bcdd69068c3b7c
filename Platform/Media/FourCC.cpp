#include "Platform/Media/FourCC.h"

namespace platform {

std::string fourCCString(FourCC code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    if (c < 0x20 || c > 0x7E) return std::to_string(code);
    s[i] = c;
  }
  return s;
}

}  // namespace platform
