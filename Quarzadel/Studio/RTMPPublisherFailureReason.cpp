#include "Quarzadel/Studio/RTMPPublisherFailureReason.h"

#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace quarzadel {
namespace {

// A status without a description still names itself by its code.
std::string statusText(const rtmpmedley::RTMPStatus& status) {
  return status.description.empty() ? status.code : status.description;
}

}  // namespace

std::string publishFailureReason(const std::exception_ptr& error) {
  using rtmpmedley::RTMPConnection;
  using rtmpmedley::RTMPStream;
  try {
    std::rethrow_exception(error);
  } catch (const RTMPConnection::Error& e) {
    switch (e.kind()) {
      case RTMPConnection::Error::Kind::requestTimedOut:
        return "the server didn't answer in time";
      case RTMPConnection::Error::Kind::socketErrorOccurred:
        return e.socketError() ? "network error: " + e.socketError()->message : "network error";
      case RTMPConnection::Error::Kind::connectionTimedOut:
        return "connection timed out";
      case RTMPConnection::Error::Kind::requestFailed:
        if (e.response() && e.response()->status) return statusText(*e.response()->status);
        return "connection refused";
      default:
        return e.what();
    }
  } catch (const RTMPStream::Error& e) {
    switch (e.kind()) {
      case RTMPStream::Error::Kind::requestTimedOut:
        return "the server didn't answer in time";
      case RTMPStream::Error::Kind::requestFailed:
        if (e.response() && e.response()->status) return statusText(*e.response()->status);
        return "publish refused";
      default:
        return e.what();
    }
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace quarzadel
