#pragma once
// The one serial context of the compositor: the Screen, its object tree and its
// renderer are read and written only on it. Made once, on first use.
#include <memory>

#include "Platform/Concurrency/Actor.h"

namespace medley {

class ScreenActor {
 public:
  static const std::shared_ptr<platform::Actor>& shared();
};

}  // namespace medley
