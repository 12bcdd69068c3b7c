// The phrases that say why an attempt failed.
#include <gtest/gtest.h>

#include "Quarzadel/Studio/RTMPPublisherFailureReason.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace quarzadel {
namespace {

using rtmpmedley::RTMPConnection;
using rtmpmedley::RTMPResponse;
using rtmpmedley::RTMPStatus;
using rtmpmedley::RTMPStream;

template <class E>
std::string reason(E e) {
  return publishFailureReason(std::make_exception_ptr(std::move(e)));
}

RTMPResponse withStatus(std::string code, std::string description) {
  RTMPResponse r;
  r.status = RTMPStatus{std::move(code), "error", std::move(description), std::nullopt};
  return r;
}

TEST(PublishFailureReason, NamesEachKindOfFailure) {
  platform::TcpError refused;
  refused.message = "Connection refused (127.0.0.1:1935)";
  const std::vector<std::pair<std::string, std::string>> rows{
      {reason(RTMPConnection::Error::requestTimedOut()), "the server didn't answer in time"},
      {reason(RTMPConnection::Error::connectionTimedOut()), "connection timed out"},
      {reason(RTMPConnection::Error::socketErrorOccurred(refused)), "network error: Connection refused (127.0.0.1:1935)"},
      {reason(RTMPStream::Error::requestFailed(withStatus("NetStream.Publish.BadName", "Already publishing"))),
       "Already publishing"},
      {reason(RTMPStream::Error::requestFailed(RTMPResponse{})), "publish refused"},
      {reason(RTMPConnection::Error::requestFailed(RTMPResponse{})), "connection refused"},
      {reason(std::runtime_error("odd")), "odd"},
      // A status without a description is named by its code.
      {reason(RTMPStream::Error::requestFailed(withStatus("NetStream.Publish.BadName", ""))), "NetStream.Publish.BadName"},
  };
  for (const auto& [given, expected] : rows) EXPECT_EQ(given, expected);
}

}  // namespace
}  // namespace quarzadel
