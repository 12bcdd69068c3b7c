// The phrases that say why an attempt failed.
#include <gtest/gtest.h>

#include "Quarzadel/Log/MaskedStreamKey.h"
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
  EXPECT_EQ(reason(RTMPConnection::Error::requestTimedOut()), "the server didn't answer in time");
  EXPECT_EQ(reason(RTMPStream::Error::requestTimedOut()), "the server didn't answer in time");
  EXPECT_EQ(reason(RTMPConnection::Error::connectionTimedOut()), "connection timed out");
  EXPECT_EQ(reason(RTMPConnection::Error::socketErrorOccurred(std::nullopt)), "network error");
  platform::TcpError refused;
  refused.message = "Connection refused (127.0.0.1:1935)";
  EXPECT_EQ(reason(RTMPConnection::Error::socketErrorOccurred(refused)),
            "network error: Connection refused (127.0.0.1:1935)");
  EXPECT_EQ(reason(RTMPStream::Error::requestFailed(withStatus("NetStream.Publish.BadName", "Already publishing"))),
            "Already publishing");
  EXPECT_EQ(reason(RTMPStream::Error::requestFailed(RTMPResponse{})), "publish refused");
  EXPECT_EQ(reason(RTMPConnection::Error::requestFailed(withStatus("NetConnection.Connect.Rejected", "No way"))),
            "No way");
  EXPECT_EQ(reason(RTMPConnection::Error::requestFailed(RTMPResponse{})), "connection refused");
  EXPECT_EQ(reason(std::runtime_error("odd")), "odd");
}

TEST(PublishFailureReason, AStatusWithoutDescriptionIsNamedByItsCode) {
  EXPECT_EQ(reason(RTMPStream::Error::requestFailed(withStatus("NetStream.Publish.BadName", ""))),
            "NetStream.Publish.BadName");
  EXPECT_EQ(reason(RTMPConnection::Error::requestFailed(withStatus("NetConnection.Connect.Rejected", ""))),
            "NetConnection.Connect.Rejected");
}

}  // namespace
}  // namespace quarzadel
