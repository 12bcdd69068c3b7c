#include "Quarzadel/Shell/QuitConfirmation.h"

namespace quarzadel {

QuitConfirmation::Decision QuitConfirmation::request(const StudioEngineStatus& status, bool confirmed) {
  if (quitting_) return Decision::ignore;
  if (status.isStopping()) {
    quitting_ = true;
    asking_ = false;
    return Decision::waitForStop;
  }
  if (isOnAir(status) && !confirmed && !asking_) {
    asking_ = true;
    return Decision::ask;
  }
  quitting_ = true;
  asking_ = false;
  return Decision::quit;
}

}  // namespace quarzadel
