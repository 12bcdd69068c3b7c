// Statuses read from what servers send as the first argument of a reply.
#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"

using namespace rtmpmedley;

namespace {

// A "_result" to the connect command as it arrives, with `information` as its argument.
std::optional<RTMPStatus> statusOfReply(const AMFValue& information) {
  AMF0Serializer s;
  s.serialize("_result").serialize(1.0).serialize(AMFObject{{"fmsVer", "FMS/3,5,7,7009"}}).serialize(information);
  auto message = RTMPMessage::make(20, 3, 0, s.data());
  auto command = std::dynamic_pointer_cast<RTMPCommandMessage>(message);
  if (!command) return std::nullopt;
  return RTMPResponse(*command).status;
}

TEST(StatusTest, AnInformationObjectSentAsAnECMAArrayIsAStatus) {
  AMFArray information;
  information.set("level", "status");
  information.set("code", "NetConnection.Connect.Success");
  information.set("description", "Connection succeeded.");
  information.set("objectEncoding", 0.0);
  const auto status = statusOfReply(information);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, "NetConnection.Connect.Success");
  EXPECT_EQ(status->level, "status");
  EXPECT_EQ(status->description, "Connection succeeded.");
  EXPECT_EQ(status->data->at("objectEncoding"), AMFValue(0.0));

  // The same as an object reads the same; without a code text it is no status, whatever the kind.
  AMFObject asObject = information.dict;
  EXPECT_EQ(statusOfReply(asObject)->code, status->code);
  EXPECT_FALSE(statusOfReply(AMFObject{{"code", "NetConnection.Connect.Success"}}));  // nor without a level
  information.set("code", 1.0);
  EXPECT_FALSE(statusOfReply(information));
  EXPECT_FALSE(statusOfReply(AMFList{"NetConnection.Connect.Success", "status"}));
  EXPECT_FALSE(statusOfReply("NetConnection.Connect.Success"));
}

}  // namespace
