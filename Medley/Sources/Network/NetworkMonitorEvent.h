#pragma once
#include <optional>
#include <string>

#include "Medley/Sources/Network/NetworkMonitorReport.h"

namespace medley {

// The once-a-second transport event. `status` and
// `publishInsufficientBWOccured` carry a report, `reset` carries none.
class NetworkMonitorEvent {
 public:
  enum class Kind {
    status,
    // The send queue grew at every step of the measuring window.
    publishInsufficientBWOccured,
    // Asks a bit-rate strategy to go back to its full rate; no monitor sends it.
    reset,
  };

  static NetworkMonitorEvent status(const NetworkMonitorReport& report) { return {Kind::status, report}; }
  static NetworkMonitorEvent publishInsufficientBWOccured(const NetworkMonitorReport& report) {
    return {Kind::publishInsufficientBWOccured, report};
  }
  static NetworkMonitorEvent reset() { return {Kind::reset, std::nullopt}; }

  Kind kind() const { return kind_; }
  // The report of `status` and `publishInsufficientBWOccured`; none for `reset`.
  const std::optional<NetworkMonitorReport>& report() const { return report_; }

  std::string debugDescription() const;

  friend bool operator==(const NetworkMonitorEvent&, const NetworkMonitorEvent&) = default;

 private:
  NetworkMonitorEvent(Kind kind, std::optional<NetworkMonitorReport> report)
      : kind_(kind), report_(std::move(report)) {}
  Kind kind_;
  std::optional<NetworkMonitorReport> report_;
};

}  // namespace medley
