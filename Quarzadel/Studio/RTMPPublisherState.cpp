#include "Quarzadel/Studio/RTMPPublisherState.h"

namespace quarzadel {

std::string RTMPPublisherState::description() const {
  struct Describe {
    std::string operator()(const Idle&) const { return "idle"; }
    std::string operator()(const Connecting&) const { return "connecting"; }
    std::string operator()(const Live&) const { return "live"; }
    std::string operator()(const Reconnecting& r) const {
      return "reconnecting(" + std::to_string(r.attempt) + ", " + r.reason + ")";
    }
    std::string operator()(const Stopping&) const { return "stopping"; }
  };
  return std::visit(Describe{}, value);
}

}  // namespace quarzadel
