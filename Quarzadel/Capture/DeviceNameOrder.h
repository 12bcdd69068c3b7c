#pragma once
// The order in which device names are listed, as a person reading them expects:
// by the collation of the user's locale (so "Élan" comes before "Zeta"), letters
// without regard to case, and runs of digits by their value ("Camera 2" before
// "Camera 10").
#include <string_view>

namespace quarzadel {

// -1, 0 or 1 as a comes before, with or after b. Names that are not valid UTF-8
// still compare, by their bytes where the collation cannot read them.
int compareDeviceNames(std::string_view a, std::string_view b);

}  // namespace quarzadel
