#include "Medley/Sources/Screen/ScreenActor.h"

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

const std::shared_ptr<platform::Actor>& ScreenActor::shared() {
  static const auto actor =
      std::make_shared<platform::Actor>(platform::SerialQueue::make(medleyIdentifier() + ".ScreenActor"));
  return actor;
}

}  // namespace medley
