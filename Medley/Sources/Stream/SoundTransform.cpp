#include "Medley/Sources/Stream/SoundTransform.h"

#include "Medley/Sources/Extension/DebugDescription.h"

namespace medley {

std::string SoundTransform::debugDescription() const {
  return Mirror::make("SoundTransform", {{"volume", volume}, {"pan", pan}}).debugDescription();
}

}  // namespace medley
