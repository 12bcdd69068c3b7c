#pragma once
// The system's signs that the host came back to the Studio, each told to the
// application's activation: the login session becoming the active one, and a
// change of the camera nodes in the device folder (created, or their mode,
// owner or access list changed, as when the session's seat is given the
// devices). The terminal's focus-in comes with its keys (TerminalKeys).
#include <memory>
#include <string>

#include "Platform/Capture/VideoDeviceWatcher.h"
#include "Quarzadel/App/AppActivation.h"
#include "Quarzadel/App/LoginSessionWatcher.h"

namespace quarzadel {

class ActivationSignals {
 public:
  struct Environment {
    std::string devDir = "/dev";
    bool watchLoginSession = true;
    LoginSessionWatcher::Environment loginSession;
  };

  // Watches what it can; a sign that cannot be watched is left out silently.
  static std::unique_ptr<ActivationSignals> start(std::shared_ptr<AppActivation> activation,
                                                  Environment environment);
  static std::unique_ptr<ActivationSignals> start(std::shared_ptr<AppActivation> activation) {
    return start(std::move(activation), Environment{});
  }
  bool watchesDevices() const { return devices_ != nullptr; }
  bool watchesLoginSession() const { return session_ != nullptr; }

 private:
  std::unique_ptr<platform::VideoDeviceWatcher> devices_;
  std::unique_ptr<LoginSessionWatcher> session_;
};

}  // namespace quarzadel
