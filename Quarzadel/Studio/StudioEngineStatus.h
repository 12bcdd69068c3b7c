#pragma once
// The Studio's streaming status as the views, the window controller, the menus,
// the page's bridge and the quit logic read it.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "Platform/Time/Date.h"

namespace quarzadel {

struct StudioEngineStatus {
  // Publishing since the start of the live period.
  struct Live {
    platform::Date since;
    bool operator==(const Live&) const = default;
  };
  // A publish attempt after a failure or a loss; the reason is the last failure's text.
  struct Reconnecting {
    int64_t attempt = 0;
    std::string reason;
    bool operator==(const Reconnecting&) const = default;
  };
  // Opening (permissions, sources); the engine's first status.
  struct Starting {
    bool operator==(const Starting&) const = default;
  };
  // Open and idle: Start is possible.
  struct Ready {
    bool operator==(const Ready&) const = default;
  };
  // The first publish attempt of a go-live is under way.
  struct Connecting {
    bool operator==(const Connecting&) const = default;
  };
  // The host asked to stop and the publisher is shutting down.
  struct Stopping {
    bool operator==(const Stopping&) const = default;
  };

  std::variant<Live, Reconnecting, Starting, Ready, Connecting, Stopping> value = Starting{};

  static StudioEngineStatus live(platform::Date since) { return {Live{since}}; }
  static StudioEngineStatus reconnecting(int64_t attempt, std::string reason) {
    return {Reconnecting{attempt, std::move(reason)}};
  }
  static StudioEngineStatus starting() { return {Starting{}}; }
  static StudioEngineStatus ready() { return {Ready{}}; }
  static StudioEngineStatus connecting() { return {Connecting{}}; }
  static StudioEngineStatus stopping() { return {Stopping{}}; }

  bool isLive() const { return std::holds_alternative<Live>(value); }
  bool isReconnecting() const { return std::holds_alternative<Reconnecting>(value); }
  bool isStarting() const { return std::holds_alternative<Starting>(value); }
  bool isReady() const { return std::holds_alternative<Ready>(value); }
  bool isConnecting() const { return std::holds_alternative<Connecting>(value); }
  bool isStopping() const { return std::holds_alternative<Stopping>(value); }

  // The case name: "live", "reconnecting", "starting", "ready", "connecting", "stopping".
  std::string_view name() const;
  // The case name with its payload: "live(<seconds since 1970>)", "reconnecting(2, reason)".
  std::string description() const;

  bool operator==(const StudioEngineStatus&) const = default;
};

// Camera and microphone access.
enum class StudioEnginePermission { unknown, granted, denied };

// "unknown", "granted" or "denied".
std::string_view name(StudioEnginePermission permission);

}  // namespace quarzadel
