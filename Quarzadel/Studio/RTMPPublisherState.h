#pragma once
// What the publisher is doing, reported to its owner on every change.
#include <cstdint>
#include <string>
#include <variant>

#include "Platform/Time/Date.h"

namespace quarzadel {

struct RTMPPublisherState {
  struct Idle {
    bool operator==(const Idle&) const = default;
  };
  struct Connecting {
    bool operator==(const Connecting&) const = default;
  };
  struct Live {
    platform::Date since;
    bool operator==(const Live&) const = default;
  };
  struct Reconnecting {
    int64_t attempt = 0;
    std::string reason;
    bool operator==(const Reconnecting&) const = default;
  };
  struct Stopping {
    bool operator==(const Stopping&) const = default;
  };

  std::variant<Idle, Connecting, Live, Reconnecting, Stopping> value = Idle{};

  static RTMPPublisherState idle() { return {Idle{}}; }
  static RTMPPublisherState connecting() { return {Connecting{}}; }
  static RTMPPublisherState live(platform::Date since) { return {Live{since}}; }
  static RTMPPublisherState reconnecting(int64_t attempt, std::string reason) {
    return {Reconnecting{attempt, std::move(reason)}};
  }
  static RTMPPublisherState stopping() { return {Stopping{}}; }

  bool isLive() const { return std::holds_alternative<Live>(value); }
  bool operator==(const RTMPPublisherState&) const = default;
  // "idle", "connecting", "live", "reconnecting(2, reason)", "stopping".
  std::string description() const;
};

}  // namespace quarzadel
