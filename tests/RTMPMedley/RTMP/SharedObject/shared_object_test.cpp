// Remote shared objects: the registry, the bytes of what an object sends, and
// a use / useSuccess / requestChange exchange with the scripted server.
#include <gtest/gtest.h>

#include <thread>

#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "RTMPMedley/RTMP/Stream/StreamTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObject.h"
#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObjectRegistry.h"

using namespace rtmptest;
using namespace rtmpmedley;
using Type = RTMPSharedObjectType;

namespace {

RTMPSharedObjectEvent event(Type type, std::optional<std::string> name = std::nullopt, AMFValue data = {}) {
  RTMPSharedObjectEvent e;
  e.type = type;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

Bytes eventBytes(const RTMPSharedObjectEvent& e) {
  AMF0Serializer s;
  e.serialize(s);
  return s.takeData();
}

// The payload head of an object named `name`: length, name, version, flags.
Bytes head(const std::string& name, uint32_t version, bool persistent) {
  Bytes out{0, static_cast<uint8_t>(name.size())};
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), {uint8_t(version >> 24), uint8_t(version >> 16), uint8_t(version >> 8), uint8_t(version)});
  out.insert(out.end(), {0, 0, 0, uint8_t(persistent ? 2 : 0), 0, 0, 0, 0});
  return out;
}

class SharedObjectTest : public ScriptedConnectionTest {
 protected:
  std::shared_ptr<RTMPSharedObjectRegistry> registry = std::make_shared<RTMPSharedObjectRegistry>(rt);

  std::shared_ptr<RTMPSharedObjectMessage> made(const std::shared_ptr<RTMPSharedObject>& object,
                                                std::vector<RTMPSharedObjectEvent> events) {
    return run([](std::shared_ptr<RTMPSharedObject> o,
                  std::vector<RTMPSharedObjectEvent> e) -> Async<std::shared_ptr<RTMPSharedObjectMessage>> {
      co_await o->hop();
      co_return o->makeMessage(std::move(e));
    }(object, std::move(events)));
  }
  void serverSends(const std::string& name, uint32_t version, bool persistent,
                   std::vector<RTMPSharedObjectEvent> events) {
    medley::Data flags(8, 0);
    flags[3] = persistent ? 2 : 0;
    server.last()->send(RTMPChunkType::zero, 3,
                        RTMPSharedObjectMessage(0, 0, RTMPObjectEncoding::amf0, name, version, flags,
                                                std::move(events)));
    rt->runUntilIdle();
  }
};

}  // namespace

TEST_F(SharedObjectTest, RegistryKeepsOneObjectPerPathNameAndPersistenceEvenUnderRacingMisses) {
  auto a = registry->getRemote("so", "rtmp://h/app", true);
  EXPECT_EQ(registry->getRemote("so", "rtmp://h/app", true), a);
  EXPECT_NE(registry->getRemote("so", "rtmp://h/app", false), a);
  EXPECT_NE(registry->getRemote("so", "rtmp://h/other", true), a);

  // Many threads miss the same keys at once: each key still yields one object.
  for (int round = 0; round < 20; ++round) {
    const std::string name = "race" + std::to_string(round);
    std::vector<std::shared_ptr<RTMPSharedObject>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
      threads.emplace_back([&, i] { seen[i] = registry->getRemote(name, "rtmp://h/app", false); });
    for (auto& t : threads) t.join();
    for (const auto& o : seen) EXPECT_EQ(o, seen[0]) << name;
  }
  EXPECT_EQ(registry->count(), 3u + 20u);
  // The process-wide registry answers the static look-up.
  EXPECT_EQ(RTMPSharedObject::getRemote("so", "rtmp://h/app", true),
            RTMPSharedObjectRegistry::shared()->getRemote("so", "rtmp://h/app", true));
}

TEST_F(SharedObjectTest, TheObjectsMessagesCountTheVersionOnAndCarryThePersistence) {
  // An absent value is written as null.
  EXPECT_EQ(eventBytes(event(Type::requestChange, "a")), (Bytes{3, 0, 0, 0, 4, 0, 1, 'a', 0x05}));
  // What the object makes: name, version (counted on), persistence flag, events.
  auto object = registry->getRemote("so", "rtmp://h/app", true);
  auto first = made(object, {event(Type::use)});
  EXPECT_EQ(first->payload(), concat({head("so", 0, true), Bytes{1, 0, 0, 0, 0}}));
  EXPECT_EQ(first->streamId, 0u);
  auto second = made(object, {event(Type::clear)});
  EXPECT_EQ(second->payload(), concat({head("so", 1, true), Bytes{8, 0, 0, 0, 0}}));
  auto plain = registry->getRemote("so", "rtmp://h/app", false);
  EXPECT_EQ(made(plain, {})->payload(), head("so", 0, false));
}

TEST_F(SharedObjectTest, MessageTimesAreMillisecondsSinceThePreviousAndFitThirtyTwoBits) {
  auto object = registry->getRemote("times", "rtmp://h/app", false);
  // The first has no previous message: 0, not the milliseconds since 1970.
  EXPECT_EQ(made(object, {})->timestamp, 0u);
  rt->advance(platform::milliseconds(1500));
  EXPECT_EQ(made(object, {})->timestamp, 1500u);
  EXPECT_EQ(made(object, {})->timestamp, 0u);
  rt->advance(platform::seconds(int64_t{60} * 60 * 24 * 50));
  EXPECT_EQ(made(object, {})->timestamp, 0xFFFFFFFFu);
}

TEST_F(SharedObjectTest, NamesThatCannotBeWrittenAreSkippedAndLogged) {
  LogRecording log;
  const std::string huge(70000, 'n');
  auto object = registry->getRemote("so", "rtmp://h/app", false);
  auto message = made(object, {event(Type::requestChange, huge, AMFValue(1)), event(Type::requestChange, "b", AMFValue(2))});
  ASSERT_TRUE(message);
  ASSERT_EQ(message->events.size(), 1u);
  EXPECT_EQ(*message->events[0].name, "b");
  EXPECT_NE(log.find("70000 bytes cannot be written; event left out"), "");

  auto unwritable = registry->getRemote(huge, "rtmp://h/app", false);
  EXPECT_FALSE(made(unwritable, {event(Type::use)}));
  EXPECT_NE(log.find("70000 bytes cannot be written; nothing sent"), "");
  // Nothing went out, so the version did not move.
  EXPECT_EQ(run(unwritable->snapshot()).currentVersion, 0u);
}

TEST_F(SharedObjectTest, UseUseSuccessAndRequestChangeWithTheScriptedServer) {
  run(connection->connect(kURL));
  auto object = registry->getRemote("room", kURL, true);
  // Before the object is in use a property only changes here.
  run(object->setProperty("a", AMFValue(1)));
  run(object->connect(connection));
  auto sent = sentOf<RTMPSharedObjectMessage>();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first->payload(), concat({head("room", 0, true), Bytes{1, 0, 0, 0, 0}}));
  EXPECT_EQ(sent[0].second.chunkType, RTMPChunkType::zero);
  EXPECT_EQ(sent[0].second.chunkStreamId, 3u);

  // The server's answer reaches the object through the connection.
  serverSends("room", 7, true, {event(Type::useSuccess), event(Type::change, "b", AMFValue("x"))});
  auto snapshot = run(object->snapshot());
  EXPECT_TRUE(snapshot.succeeded);
  // The server's version, counted on by the two changes requested since.
  EXPECT_EQ(snapshot.currentVersion, 9u);
  auto data = run(object->data());
  EXPECT_EQ(data.size(), 2u);
  EXPECT_EQ(data["b"], AMFValue("x"));
  // What was set before goes to the server once in use: version 0, chunk type 1.
  sent = sentOf<RTMPSharedObjectMessage>();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[1].second.chunkType, RTMPChunkType::one);
  EXPECT_EQ(sent[1].first->payload(),
            concat({head("room", 0, true), Bytes{3, 0, 0, 0, 12, 0, 1, 'a'}, amfNumber(1)}));

  run(object->setProperty("c", AMFValue(true)));
  sent = sentOf<RTMPSharedObjectMessage>();
  ASSERT_EQ(sent.size(), 4u);  // "a" and "b" requested after useSuccess, then "c"
  EXPECT_EQ(sent[3].first->events, std::vector<RTMPSharedObjectEvent>{event(Type::requestChange, "c", AMFValue(true))});
  EXPECT_EQ(sent[3].first->currentVersion, 0u);

  // A refused change goes; a remove leaves the property; a change without a name is ignored.
  // A status event carries its value as a bare string.
  const Bytes refused = concat({head("room", 8, true), Bytes{7, 0, 0, 0, 12, 0, 1, 'c', 0, 7}, ascii("refused"),
                                eventBytes(event(Type::remove, "a")), eventBytes(event(Type::change))});
  auto status = RTMPSharedObjectMessage::read(0, 0, RTMPObjectEncoding::amf0, refused);
  ASSERT_TRUE(status);
  ASSERT_EQ(status->events.size(), 3u);
  EXPECT_EQ(status->events[0].data, AMFValue("refused"));
  server.last()->send(RTMPChunkType::zero, 3, *status);
  rt->runUntilIdle();
  data = run(object->data());
  EXPECT_EQ(data.count("c"), 0u);
  EXPECT_EQ(data.count("a"), 1u);
  EXPECT_EQ(run(object->snapshot()).currentVersion, 8u);
  serverSends("room", 9, true, {event(Type::clear)});
  EXPECT_TRUE(run(object->data()).empty());

  // Messages for another object reach that one, not this.
  auto other = registry->getRemote("lobby", kURL, false);
  serverSends("lobby", 1, false, {event(Type::change, "z", AMFValue(3))});
  EXPECT_EQ(run(other->data()).count("z"), 1u);
  EXPECT_TRUE(run(object->data()).empty());

  run(object->setProperty("d", AMFValue(4)));
  run(object->close());
  sent = sentOf<RTMPSharedObjectMessage>();
  EXPECT_EQ(sent.back().first->events, std::vector<RTMPSharedObjectEvent>{event(Type::release)});
  EXPECT_TRUE(run(object->data()).empty());
  EXPECT_FALSE(run(object->snapshot()).attached);
}

TEST_F(SharedObjectTest, WithoutAConnectionNothingIsSent) {
  auto object = registry->getRemote("alone", kURL, false);
  run(object->setProperty("a", AMFValue(1)));
  run(object->clear());
  run(object->setProperty("b", AMFValue(2)));
  run(object->close());
  EXPECT_TRUE(run(object->data()).empty());
  // Attached to a connection that is not connected: no "use" either.
  run(object->connect(connection));
  EXPECT_EQ(server.sessionCount(), 0u);
  EXPECT_TRUE(run(object->snapshot()).attached);
}
