#pragma once
// What the program picture and the program sound report about their sources
// to the Studio engine; both pipelines send the same four kinds.
#include <string>
#include <utility>

namespace quarzadel {

struct ProgramEvent {
  enum class Kind { onAir, switchFailed, onAirSourceFailed, onAirSourceStalled };
  Kind kind;
  std::string id;
  std::string name;
  std::string reason;  // empty for onAir and onAirSourceStalled

  static ProgramEvent onAir(std::string id, std::string name) {
    return {Kind::onAir, std::move(id), std::move(name), {}};
  }
  static ProgramEvent switchFailed(std::string id, std::string name, std::string reason) {
    return {Kind::switchFailed, std::move(id), std::move(name), std::move(reason)};
  }
  static ProgramEvent onAirSourceFailed(std::string id, std::string name, std::string reason) {
    return {Kind::onAirSourceFailed, std::move(id), std::move(name), std::move(reason)};
  }
  static ProgramEvent onAirSourceStalled(std::string id, std::string name) {
    return {Kind::onAirSourceStalled, std::move(id), std::move(name), {}};
  }
  friend bool operator==(const ProgramEvent&, const ProgramEvent&) = default;
};

}  // namespace quarzadel
