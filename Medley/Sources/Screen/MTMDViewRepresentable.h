#pragma once
#include "Medley/Sources/Screen/MTMDView.h"
#include "Medley/Sources/Screen/PreviewViewRepresentable.h"

namespace medley {

using MTMDViewRepresentable = PreviewViewRepresentable<MTMDView>;

}  // namespace medley
