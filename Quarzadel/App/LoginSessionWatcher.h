#pragma once
// Tells when our login session becomes the active one (the host switched back
// to this seat's session): the login manager's PropertiesChanged signal with
// "Active" true on the session's object, over the system bus. The callback
// runs on the watcher's own thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Quarzadel/App/SystemBus.h"

namespace quarzadel {

class LoginSessionWatcher {
 public:
  struct Environment {
    // Empty: DBUS_SYSTEM_BUS_ADDRESS, else the default system bus.
    std::string systemBusAddress;
    // None: the session this process belongs to (its control group, else XDG_SESSION_ID).
    std::optional<std::string> sessionID;
  };

  // Starts watching; nullptr without a bus or outside any login session.
  static std::unique_ptr<LoginSessionWatcher> start(std::function<void()> onActive, Environment environment = {});
  // Stops and waits for the thread.
  ~LoginSessionWatcher();
  LoginSessionWatcher(const LoginSessionWatcher&) = delete;
  LoginSessionWatcher& operator=(const LoginSessionWatcher&) = delete;

  // The login manager's object path of a session.
  static std::string sessionPath(const std::string& sessionID);

 private:
  LoginSessionWatcher(SystemBus bus, int wake, std::function<void()> onActive);
  static int onPropertiesChanged(sd_bus_message* message, void* watcher, sd_bus_error* error);
  void run();

  SystemBus bus_;
  sd_bus_slot* match_ = nullptr;
  const int wake_;
  const std::function<void()> onActive_;
  std::thread thread_;
};

}  // namespace quarzadel
