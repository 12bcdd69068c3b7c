#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

namespace rtmpmedley {

namespace {

struct CodeText {
  RTMPConnection::Code code;
  std::string_view raw;
  std::string_view level;
};

constexpr CodeText kCodes[] = {
    {RTMPConnection::Code::callBadVersion, "NetConnection.Call.BadVersion", "error"},
    {RTMPConnection::Code::callFailed, "NetConnection.Call.Failed", "error"},
    {RTMPConnection::Code::callProhibited, "NetConnection.Call.Prohibited", "error"},
    {RTMPConnection::Code::connectAppshutdown, "NetConnection.Connect.AppShutdown", "error"},
    {RTMPConnection::Code::connectClosed, "NetConnection.Connect.Closed", "status"},
    {RTMPConnection::Code::connectFailed, "NetConnection.Connect.Failed", "error"},
    {RTMPConnection::Code::connectIdleTimeOut, "NetConnection.Connect.IdleTimeOut", "status"},
    {RTMPConnection::Code::connectInvalidApp, "NetConnection.Connect.InvalidApp", "error"},
    {RTMPConnection::Code::connectNetworkChange, "NetConnection.Connect.NetworkChange", "status"},
    {RTMPConnection::Code::connectRejected, "NetConnection.Connect.Rejected", "error"},
    {RTMPConnection::Code::connectSuccess, "NetConnection.Connect.Success", "status"},
};

std::string describeResponse(const RTMPResponse& response) {
  if (!response.status) return "no status";
  std::string text = response.status->code;
  // Login challenges carry salts and opaque values in the description; the
  // reason of a refusal stays readable.
  if (!response.status->description.empty()) text += ": " + redactSecrets(response.status->description);
  return text;
}

}  // namespace

std::optional<RTMPConnection::Code> RTMPConnection::makeCode(std::string_view rawValue) {
  for (const auto& c : kCodes)
    if (c.raw == rawValue) return c.code;
  return std::nullopt;
}

std::string_view RTMPConnection::rawValue(Code code) { return kCodes[static_cast<size_t>(code)].raw; }

std::string_view RTMPConnection::level(Code code) { return kCodes[static_cast<size_t>(code)].level; }

RTMPStatus RTMPConnection::makeStatus(Code code, std::string description) {
  return RTMPStatus{std::string(rawValue(code)), std::string(level(code)), std::move(description), std::nullopt};
}

std::optional<RTMPConnection::ReadyState> RTMPConnection::makeReadyState(uint8_t rawValue) {
  if (rawValue > 3) return std::nullopt;
  return static_cast<ReadyState>(rawValue);
}

std::string_view RTMPConnection::name(ReadyState state) {
  switch (state) {
    case ReadyState::uninitialized: return "uninitialized";
    case ReadyState::versionSent: return "versionSent";
    case ReadyState::ackSent: return "ackSent";
    case ReadyState::handshakeDone: return "handshakeDone";
  }
  return "unknown";
}

const std::set<std::string>& RTMPConnection::supportedProtocols() {
  static const std::set<std::string> protocols{"rtmp", "rtmps"};
  return protocols;
}

RTMPConnection::Error::Error(Kind kind) : kind_(kind) {
  switch (kind) {
    case Kind::unsupportedCommand: message_ = "RTMPConnection.Error.unsupportedCommand"; break;
    case Kind::socketErrorOccurred: message_ = "RTMPConnection.Error.socketErrorOccurred"; break;
    case Kind::requestFailed: message_ = "RTMPConnection.Error.requestFailed"; break;
    case Kind::invalidState: message_ = "RTMPConnection.Error.invalidState"; break;
    case Kind::connectionTimedOut: message_ = "RTMPConnection.Error.connectionTimedOut"; break;
    case Kind::requestTimedOut: message_ = "RTMPConnection.Error.requestTimedOut"; break;
  }
}

RTMPConnection::Error RTMPConnection::Error::unsupportedCommand(std::string command) {
  Error e(Kind::unsupportedCommand);
  e.message_ += "(" + redactURLText(command) + ")";
  e.command_ = std::move(command);
  return e;
}

RTMPConnection::Error RTMPConnection::Error::socketErrorOccurred(std::optional<platform::TcpError> error) {
  Error e(Kind::socketErrorOccurred);
  if (error) e.message_ += "(" + platform::describe(*error) + ")";
  e.socketError_ = std::move(error);
  return e;
}

RTMPConnection::Error RTMPConnection::Error::requestFailed(RTMPResponse response) {
  Error e(Kind::requestFailed);
  e.message_ += "(" + describeResponse(response) + ")";
  e.response_ = std::move(response);
  return e;
}

}  // namespace rtmpmedley
