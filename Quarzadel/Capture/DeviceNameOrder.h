#pragma once
// The order in which device names are listed, as a person reading them expects:
// by the collation of the user's locale (so "Élan" comes before "Zeta"), letters
// without regard to case, and runs of digits by their value ("Camera 2" before
// "Camera 10").
#include <string>
#include <string_view>

namespace quarzadel {

// -1, 0 or 1 as a comes before, with or after b, by the collation locale.
// Names that are not valid UTF-8 still compare, by their bytes where the
// collation cannot read them.
int compareDeviceNames(std::string_view a, std::string_view b);
// The same by the collation of the given locale (ICU's name; empty: the root).
int compareDeviceNames(std::string_view a, std::string_view b, const std::string& locale);

// The locale whose collation orders the names, as ICU names it: the process's
// LC_COLLATE when it chose one, else the environment's LC_ALL, LC_COLLATE or
// LANG, the first one set; empty (the root collation) for C and POSIX, since
// names are for people to read.
std::string deviceNameCollationLocale();

}  // namespace quarzadel
