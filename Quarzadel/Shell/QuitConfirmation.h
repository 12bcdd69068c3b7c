#pragma once
// When a quit request (SIGINT, the quit key) ends the program: at once while
// the Studio is idle; after a confirmation while it is live, connecting or
// reconnecting (the same request a second time confirms); after the stop has
// finished while it is stopping. SIGTERM needs no confirmation.
#include "Quarzadel/Studio/StudioEngineStatus.h"

namespace quarzadel {

class QuitConfirmation {
 public:
  enum class Decision {
    quit,         // stop what runs and close now
    ask,          // ask the host; a second request confirms
    waitForStop,  // quit once the running stop has finished
    ignore,       // a quit is already under way
  };

  Decision request(const StudioEngineStatus& status, bool confirmed = false);
  // The host answered no (another key).
  void decline() { asking_ = false; }
  bool isAsking() const { return asking_; }
  bool isQuitting() const { return quitting_; }

  // Statuses that publish or try to: quitting then asks first.
  static bool isOnAir(const StudioEngineStatus& status) {
    return status.isLive() || status.isConnecting() || status.isReconnecting();
  }

 private:
  bool asking_ = false;
  bool quitting_ = false;
};

}  // namespace quarzadel
