#pragma once
#include "Medley/Sources/Screen/PiPMDView.h"
#include "Medley/Sources/Screen/PreviewViewRepresentable.h"

namespace medley {

using PiPMDViewRepresentable = PreviewViewRepresentable<PiPMDView>;

}  // namespace medley
