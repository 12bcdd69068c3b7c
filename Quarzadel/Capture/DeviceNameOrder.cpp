#include "Quarzadel/Capture/DeviceNameOrder.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <string>

namespace quarzadel {

namespace {

// One collator for the process, opened for the locale the environment names
// (LC_ALL, LC_COLLATE, LANG); comparing with it is safe from any thread. The
// C and POSIX locales, which ICU collates by code point with case first, get the
// root collation: names are for people to read.
UCollator* collator() {
  static UCollator* shared = [] {
    std::string locale = uloc_getDefault();
    if (locale.starts_with("en_US_POSIX") || locale == "c" || locale == "posix") locale.clear();
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status)) {
      status = U_ZERO_ERROR;
      c = ucol_open("", &status);  // the root collation
    }
    if (U_FAILURE(status)) return static_cast<UCollator*>(nullptr);
    // Secondary strength: accents count, case does not.
    ucol_setStrength(c, UCOL_SECONDARY);
    ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    return c;
  }();
  return shared;
}

int bytewise(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

int compareDeviceNames(std::string_view a, std::string_view b) {
  UCollator* c = collator();
  if (!c) return bytewise(a, b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult result = ucol_strcollUTF8(c, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                   static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return bytewise(a, b);
  return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

}  // namespace quarzadel
