#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"

using namespace rtmpmedley;
using rtmptest::Bytes;
using rtmptest::concat;

namespace {

template <typename T>
std::shared_ptr<T> make(uint8_t typeId, Bytes payload) {
  return std::dynamic_pointer_cast<T>(RTMPMessage::make(typeId, 1, 2, std::move(payload)));
}

Bytes amf0(std::initializer_list<AMFValue> values) {
  AMF0Serializer s;
  for (const auto& v : values) s.serialize(v);
  return s.data();
}

TEST(ControlMessageTest, ShortOrOddPayloadsFromThePeer) {
  EXPECT_EQ(make<RTMPUserControlMessage>(4, {0x00, 0x05, 0, 0, 0, 0})->event, RTMPUserControlMessage::Event::unknown);
  EXPECT_EQ(make<RTMPUserControlMessage>(4, {0x00, 0x06, 0x12})->value, 0x12);
  EXPECT_EQ(make<RTMPSetPeerBandwidthMessage>(6, {0, 0, 0, 1, 0x07})->limit, RTMPSetPeerBandwidthMessage::Limit::unknown);
  EXPECT_EQ(RTMPMessage::make(4, 0, 0, {0x00}), nullptr);
  EXPECT_EQ(RTMPMessage::make(6, 0, 0, {0, 0, 0, 1}), nullptr);
  // Short 4-byte fields read as zero-padded in front; extra bytes are ignored.
  EXPECT_EQ(make<RTMPSetChunkSizeMessage>(1, {0x10, 0x00})->size, 0x1000u);
  EXPECT_EQ(make<RTMPAcknowledgementMessage>(3, {0, 0, 1, 0, 0xFF})->sequence, 256u);
}

// Control messages go out from the queues of several streams at once: reading
// a shared one is read-only (a race here shows under the thread sanitizer).
TEST(ControlMessageTest, OneMessageIsReadFromManyThreadsAtOnce) {
  const RTMPUserControlMessage pong(0, 0, RTMPUserControlMessage::Event::pong, -2);
  const Bytes expected{0, 7, 0xFF, 0xFF, 0xFF, 0xFE};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i)
        if (pong.payload() != expected || &pong.payload() != &pong.payload()) ++wrong;
    });
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong, 0);
}

TEST(CommandMessageTest, AMF3CommandsAndDataRoundTrip) {
  const RTMPCommandMessage publish(1, 0, RTMPObjectEncoding::amf3, "publish", 0, std::nullopt, {"key", "live"});
  const auto command = make<RTMPCommandMessage>(17, publish.payload());
  ASSERT_TRUE(command);
  EXPECT_EQ(command->commandName, "publish");
  EXPECT_FALSE(command->commandObject);
  EXPECT_EQ(command->arguments, publish.arguments);
  // Data has no leading format byte, and its handler name is optional.
  const RTMPDataMessage data(1, 0, RTMPObjectEncoding::amf3, "@setDataFrame", {"onMetaData", 1920.0});
  const auto read = make<RTMPDataMessage>(15, data.payload());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->handlerName, "@setDataFrame");
  EXPECT_EQ(read->arguments, data.arguments);
  EXPECT_EQ(make<RTMPDataMessage>(18, {0x00, 0x05, 0x01, 0x01})->arguments, (AMFList{AMFValue(), true}));
  EXPECT_EQ(RTMPMessage::make(18, 0, 0, {0x02, 0x00, 0x01, 'a', 0x03, 0x00}), nullptr);
}

TEST(CommandMessageTest, UnreadablePayloadsGiveNoMessageAndOddOnesAreCutOrClamped) {
  // Transaction id must be a number; the command object null or an object; the name good UTF-8.
  for (const Bytes& bad : {amf0({"x", "1"}), amf0({"x", 1.0, "object"}), Bytes{}, Bytes{0x02, 0x00, 0x02, 0xC3, 0x28, 0x00},
                           concat({amf0({"x", 1.0, AMFValue()}), Bytes{0x02, 0x00}})})
    EXPECT_EQ(RTMPMessage::make(20, 0, 0, bad), nullptr);
  // An unreadable first argument drops the message; a later one is cut off.
  const auto m = make<RTMPCommandMessage>(20, concat({amf0({"x", 1.0, AMFValue(), true}), Bytes{0x02, 0x00}}));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->arguments, (AMFList{true}));
  EXPECT_EQ(make<RTMPCommandMessage>(20, amf0({"x", 1e300, AMFValue()}))->transactionId, INT64_MAX);
  EXPECT_EQ(make<RTMPCommandMessage>(20, amf0({"x", NAN, AMFValue()}))->transactionId, 0);
}

TEST(SharedObjectMessageTest, StatusEventsCarryTwoTextsAndBadEventsAreSkippedByTheirLength) {
  // An unknown type with a 3-byte body and an event whose value is cut inside its length are skipped.
  const Bytes head = {0, 2, 's', 'o', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  const auto read = make<RTMPSharedObjectMessage>(
      19, concat({head, Bytes{7, 0, 0, 0, 10, 0, 1, 'c', 0, 5, 'e', 'r', 'r', 'o', 'r'},
                  Bytes{0x30, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}, Bytes{4, 0, 0, 0, 4, 0, 1, 'a', 0x02}, Bytes{8, 0, 0, 0, 0}}));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->events.size(), 2u);
  EXPECT_EQ(read->events[0].name, "c");
  EXPECT_EQ(read->events[0].data, AMFValue("error"));
  EXPECT_EQ(read->events[1].type, RTMPSharedObjectType::clear);
  EXPECT_EQ(RTMPMessage::make(19, 0, 0, {0, 2, 's'}), nullptr);
}

}  // namespace
