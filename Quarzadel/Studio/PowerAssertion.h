#pragma once
// Keeps the machine awake while the Studio is live: a "block" inhibitor lock
// on sleep and idle taken from the login manager over the system bus and held
// as the descriptor it returns. Without a system bus or login manager it holds
// nothing and says nothing, as streaming must not depend on it. The bus call
// runs on a queue of its own (the login manager may take up to 2 s to answer),
// so begin() and end() return at once.
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Dispatch/SerialQueue.h"

namespace quarzadel {

class PowerAssertion {
 public:
  struct Environment {
    // Empty: DBUS_SYSTEM_BUS_ADDRESS, else the default system bus.
    std::string systemBusAddress;
    // Where the bus is called; none: a serial queue of the shared runtime.
    std::shared_ptr<platform::SerialQueue> queue;
  };

  explicit PowerAssertion(Environment environment = {});
  // Ends whatever it still holds, as end() does.
  ~PowerAssertion();
  PowerAssertion(const PowerAssertion&) = delete;
  PowerAssertion& operator=(const PowerAssertion&) = delete;

  // Asks for the lock for this reason; nothing while one is held.
  void begin(const std::string& reason);
  // Releases what is held; a lock still being asked for is released as it arrives.
  void end();
  // True between begin() and end(), even when the bus refused the lock.
  bool isHolding() const { return holding_; }

 private:
  // Shared with the bus calls in flight.
  struct Lock {
    std::mutex mutex;
    uint64_t request = 0;  // the begin() whose answer is wanted
    int fd = -1;
  };

  Environment environment_;
  bool holding_ = false;
  std::shared_ptr<Lock> lock_ = std::make_shared<Lock>();
};

}  // namespace quarzadel
