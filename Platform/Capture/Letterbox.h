#pragma once
// The screen share fits a window into its fixed frame between black bars, in
// whole pixels.
#include "Platform/Media/FittedRect.h"

namespace platform {

using Letterbox = FittedRect<int>;

}  // namespace platform
