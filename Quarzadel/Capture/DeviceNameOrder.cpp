#include "Quarzadel/Capture/DeviceNameOrder.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <clocale>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace quarzadel {

namespace {

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};
using Collator = std::unique_ptr<UCollator, CollatorCloser>;

bool isPlainLocale(const std::string& name) {
  return name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.") || name.starts_with("POSIX.");
}

// "sv_SE.UTF-8@euro" as ICU names it ("sv_SE"); empty for C and POSIX.
std::string icuName(const std::string& posix) {
  if (isPlainLocale(posix)) return {};
  // Codeset and modifier are no part of a collation.
  const std::string language = posix.substr(0, posix.find_first_of(".@"));
  char out[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_canonicalize(language.c_str(), out, sizeof out, &status);
  if (U_FAILURE(status)) return {};
  const std::string name(out);
  if (name == "en_US_POSIX" || name == "c" || name == "posix") return {};
  return name;
}

Collator open(const std::string& locale) {
  UErrorCode status = U_ZERO_ERROR;
  Collator c(ucol_open(locale.c_str(), &status));
  if (U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    c.reset(ucol_open("", &status));  // the root collation
  }
  if (U_FAILURE(status)) return nullptr;
  // Secondary strength: accents count, case does not.
  ucol_setStrength(c.get(), UCOL_SECONDARY);
  ucol_setAttribute(c.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  return c;
}

// One collator per locale for the process, opened on first use; comparing
// with an open collator is safe from any thread.
UCollator* collator(const std::string& locale) {
  static std::mutex mutex;
  static std::map<std::string, Collator> collators;
  std::lock_guard lock(mutex);
  auto it = collators.find(locale);
  if (it == collators.end()) it = collators.emplace(locale, open(locale)).first;
  return it->second.get();
}

int bytewise(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

std::string deviceNameCollationLocale() {
  // ICU's own default follows LC_MESSAGES: the collation is LC_COLLATE's business.
  if (const char* chosen = std::setlocale(LC_COLLATE, nullptr); chosen && !isPlainLocale(chosen))
    return icuName(chosen);
  for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"})
    if (const char* value = std::getenv(variable); value && *value) return icuName(value);
  return {};
}

int compareDeviceNames(std::string_view a, std::string_view b, const std::string& locale) {
  UCollator* c = collator(locale);
  if (!c) return bytewise(a, b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult result = ucol_strcollUTF8(c, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                   static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return bytewise(a, b);
  return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

int compareDeviceNames(std::string_view a, std::string_view b) {
  // The process's locale is read once: it does not change under a running catalogue.
  static const std::string locale = deviceNameCollationLocale();
  return compareDeviceNames(a, b, locale);
}

}  // namespace quarzadel
