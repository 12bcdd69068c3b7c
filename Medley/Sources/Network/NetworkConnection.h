#pragma once
// A transport-level connection. Conformers are actors.
#include "Platform/Concurrency/Async.h"

namespace medley {

class NetworkConnection {
 public:
  virtual ~NetworkConnection() = default;
  // Whether the connection is up.
  virtual platform::Async<bool> connected() = 0;
  virtual platform::Async<void> close() = 0;
};

}  // namespace medley
