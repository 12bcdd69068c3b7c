#include "RTMPMedley/Sources/RTMP/Connection/RTMPTransport.h"

namespace rtmpmedley {

namespace {

std::string errorMessage(RTMPTransportError::Kind kind, const std::optional<platform::TcpError>& error) {
  std::string text;
  switch (kind) {
    case RTMPTransportError::Kind::connectionNotEstablished: text = "RTMPSocket.Error.connectionNotEstablished"; break;
    case RTMPTransportError::Kind::invalidState: text = "RTMPSocket.Error.invalidState"; break;
    case RTMPTransportError::Kind::endOfStream: text = "RTMPSocket.Error.endOfStream"; break;
    case RTMPTransportError::Kind::connectionTimedOut: text = "RTMPSocket.Error.connectionTimedOut"; break;
  }
  if (error) text += "(" + platform::describe(*error) + ")";
  return text;
}

}  // namespace

RTMPTransportError::RTMPTransportError(Kind kind, std::optional<platform::TcpError> networkError)
    : kind_(kind), networkError_(std::move(networkError)), message_(errorMessage(kind_, networkError_)) {}

}  // namespace rtmpmedley
