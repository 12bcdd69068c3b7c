#pragma once
// Keeps the machine awake while the Studio is live: a "block" inhibitor lock
// on sleep and idle taken from the login manager over the system bus and held
// as the descriptor it returns. Without a system bus or login manager it holds
// nothing and says nothing, as streaming must not depend on it.
#include <memory>
#include <string>

namespace quarzadel {

class PowerAssertion {
 public:
  struct Environment {
    // Empty: DBUS_SYSTEM_BUS_ADDRESS, else the default system bus.
    std::string systemBusAddress;
  };

  explicit PowerAssertion(Environment environment = {});
  // Ends whatever it still holds, as end() does.
  ~PowerAssertion();
  PowerAssertion(const PowerAssertion&) = delete;
  PowerAssertion& operator=(const PowerAssertion&) = delete;

  // Takes the lock for this reason; nothing while one is held.
  void begin(const std::string& reason);
  // Releases what is held; nothing when idle.
  void end();
  // True between begin() and end(), even when the bus refused the lock.
  bool isHolding() const { return holding_; }

 private:
  Environment environment_;
  bool holding_ = false;
  int inhibitFd_ = -1;
};

}  // namespace quarzadel
