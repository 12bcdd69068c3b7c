// Remote shared objects: the registry, what an object sends, and a use /
// useSuccess / requestChange exchange with the scripted server.
#include <gtest/gtest.h>

#include <thread>

#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObject.h"
#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObjectRegistry.h"

using namespace rtmptest;
using namespace rtmpmedley;
using Type = RTMPSharedObjectType;
using Events = std::vector<RTMPSharedObjectEvent>;

namespace {

RTMPSharedObjectEvent event(Type type, std::optional<std::string> name = std::nullopt, AMFValue data = {}) {
  return RTMPSharedObjectEvent{type, std::move(name), std::move(data)};
}

medley::Data flags(bool persistent) { return {0, 0, 0, static_cast<uint8_t>(persistent ? 2 : 0), 0, 0, 0, 0}; }

class SharedObjectTest : public ScriptedConnectionTest {
 protected:
  std::shared_ptr<RTMPSharedObjectRegistry> registry = std::make_shared<RTMPSharedObjectRegistry>(rt);

  std::shared_ptr<RTMPSharedObjectMessage> made(const std::shared_ptr<RTMPSharedObject>& object, Events events) {
    return run([](std::shared_ptr<RTMPSharedObject> o, Events e) -> Async<std::shared_ptr<RTMPSharedObjectMessage>> {
      co_await o->hop();
      co_return o->makeMessage(std::move(e));
    }(object, std::move(events)));
  }
  void serverSends(const std::string& name, uint32_t version, bool persistent, Events events) {
    server.last()->send(RTMPChunkType::zero, 3,
                        RTMPSharedObjectMessage(0, 0, RTMPObjectEncoding::amf0, name, version, flags(persistent),
                                                std::move(events)));
    rt->runUntilIdle();
  }
  // The last message the client sent for an object, with its chunk record.
  std::pair<std::shared_ptr<RTMPSharedObjectMessage>, Received> lastSent() const {
    return sentOf<RTMPSharedObjectMessage>().back();
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
}

TEST_F(SharedObjectTest, MessagesCountTheVersionOnCarryThePersistenceAndLeaveOutWhatCannotBeWritten) {
  auto object = registry->getRemote("so", "rtmp://h/app", true);
  // Times are milliseconds since the previous message: the first has none, and they fit 32 bits.
  EXPECT_EQ(made(object, {event(Type::use)})->timestamp, 0u);
  rt->advance(platform::milliseconds(1500));
  auto second = made(object, {event(Type::clear)});
  EXPECT_EQ(std::pair(second->currentVersion, second->timestamp), std::pair(1u, 1500u));
  EXPECT_EQ(made(object, {})->timestamp, 0u);
  rt->advance(platform::seconds(int64_t{60} * 60 * 24 * 50));
  EXPECT_EQ(made(object, {})->timestamp, 0xFFFFFFFFu);

  // A name that cannot be written leaves its event out, or the whole message when it is the object's.
  const std::string huge(70000, 'n');
  auto message = made(object, {event(Type::requestChange, huge, AMFValue(1)), event(Type::requestChange, "b")});
  ASSERT_TRUE(message);
  EXPECT_EQ(message->events, Events{event(Type::requestChange, "b")});
  auto unwritable = registry->getRemote(huge, "rtmp://h/app", false);
  EXPECT_FALSE(made(unwritable, {event(Type::use)}));
  EXPECT_EQ(run(unwritable->snapshot()).currentVersion, 0u);
}

TEST_F(SharedObjectTest, UseUseSuccessAndRequestChangeWithTheScriptedServer) {
  run(connection->connect(kURL));
  auto object = registry->getRemote("room", kURL, true);
  // Before the object is in use a property only changes here.
  run(object->setProperty("a", AMFValue(1)));
  run(object->connect(connection));
  auto [use, record] = lastSent();
  EXPECT_TRUE(use->sharedObjectName == "room" && use->flags == flags(true));
  EXPECT_EQ(use->events, Events{event(Type::use)});
  EXPECT_TRUE(record.chunkType == RTMPChunkType::zero && record.chunkStreamId == 3u);

  // The server's answer reaches the object through the connection; what was set before goes out then.
  serverSends("room", 7, true, {event(Type::useSuccess), event(Type::change, "b", AMFValue("x"))});
  auto sent = sentOf<RTMPSharedObjectMessage>();
  ASSERT_EQ(sent.size(), 3u);  // "a" and "b" requested after useSuccess
  EXPECT_EQ(sent[1].second.chunkType, RTMPChunkType::one);
  EXPECT_EQ(sent[1].first->events, Events{event(Type::requestChange, "a", AMFValue(1.0))});
  // Succeeded, at the server's version counted on by the two changes requested since.
  const auto snapshot = run(object->snapshot());
  EXPECT_EQ(std::pair(snapshot.succeeded, snapshot.currentVersion), std::pair(true, 9u));
  EXPECT_EQ(run(object->data()), (AMFObject{{"a", AMFValue(1)}, {"b", AMFValue("x")}}));
  run(object->setProperty("c", AMFValue(true)));
  EXPECT_EQ(lastSent().first->events, Events{event(Type::requestChange, "c", AMFValue(true))});

  // A refused change goes; a remove leaves the property; a change without a name is ignored.
  // A status event carries its text bare, as servers send it.
  const auto refusal = concat({RTMPSharedObjectMessage(0, 0, RTMPObjectEncoding::amf0, "room", 8, flags(true),
                                                       {event(Type::remove, "a"), event(Type::change)})
                                   .payload(),
                               Bytes{7, 0, 0, 0, 12, 0, 1, 'c', 0, 7}, ascii("refused")});
  server.last()->send(RTMPChunkType::zero, 3, *RTMPSharedObjectMessage::read(0, 0, RTMPObjectEncoding::amf0, refusal));
  rt->runUntilIdle();
  EXPECT_EQ(run(object->data()), (AMFObject{{"a", AMFValue(1)}, {"b", AMFValue("x")}}));
  EXPECT_EQ(run(object->snapshot()).currentVersion, 8u);
  serverSends("room", 9, true, {event(Type::clear)});
  EXPECT_TRUE(run(object->data()).empty());

  run(object->setProperty("d", AMFValue(4)));
  run(object->close());
  EXPECT_EQ(lastSent().first->events, Events{event(Type::release)});
  EXPECT_TRUE(run(object->data()).empty());
  EXPECT_FALSE(run(object->snapshot()).attached);
}
