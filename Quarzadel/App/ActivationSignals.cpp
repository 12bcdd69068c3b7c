#include "Quarzadel/App/ActivationSignals.h"

namespace quarzadel {

std::unique_ptr<ActivationSignals> ActivationSignals::start(std::shared_ptr<AppActivation> activation,
                                                            Environment environment) {
  auto signals = std::make_unique<ActivationSignals>();
  std::weak_ptr<AppActivation> weak = activation;
  auto notify = [weak] {
    if (auto a = weak.lock()) a->notify();
  };
  // inotify rather than udev: a change of a node's mode or access list is no device event.
  signals->devices_ = platform::VideoDeviceWatcher::start(notify, environment.devDir, false);
  if (environment.watchLoginSession) signals->session_ = LoginSessionWatcher::start(notify, environment.loginSession);
  return signals;
}

}  // namespace quarzadel
