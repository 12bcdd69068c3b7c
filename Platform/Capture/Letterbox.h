#pragma once
// The screen share fits a window into its fixed frame between black bars, in
// whole pixels.
#include "Platform/Media/AspectFit.h"

namespace platform {

using Letterbox = AspectFit<int>;

}  // namespace platform
