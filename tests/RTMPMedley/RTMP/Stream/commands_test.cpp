// The stream's commands against the scripted server, on virtual time.
#include <gtest/gtest.h>

#include "StreamTestSupport.h"

using namespace rtmptest;
using namespace rtmpmedley;
using medley::StreamReadyState;
using Kind = RTMPStream::Error::Kind;
using Strings = std::vector<std::string>;

namespace {

using StreamCommandTest = StreamTest;

// The arguments of the last command `name` the client sent on the stream.
std::optional<AMFList> argumentsOf(const ScriptedSession& session, const std::string& name) {
  std::optional<AMFList> out;
  for (const auto& c : session.commands())
    if (c->commandName == name && c->streamId == 1) out = c->arguments;
  return out;
}

}  // namespace

TEST_F(StreamCommandTest, NamedStreamAnnouncesItsNameAndUnansweredCommandsHoldCreateStreamForTheTimeOut) {
  // "releaseStream" is refused, "FCPublish" never answered: createStream still follows, one time-out later.
  server.onCommand = [](ScriptedSession& s, const RTMPCommandMessage& c) {
    ScriptedRTMPServer::answerLikeAServer(s, c);
    if (c.commandName == "releaseStream") s.sendStatus("_error", c.transactionId, "NetConnection.Call.Failed", "error");
  };
  auto stream = RTMPStream::make(connection, "key");
  auto connect = start(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "releaseStream", "FCPublish"}));
  for (const auto& c : server.last()->commands())
    if (c->commandName != "connect") EXPECT_EQ(c->arguments, AMFList{AMFValue("key")});
  advance(platform::milliseconds(9999));
  EXPECT_FALSE(connect.isFinished());
  advance(platform::milliseconds(1));
  EXPECT_TRUE(connect.isFinished());
  EXPECT_EQ(server.last()->commandNames().back(), "createStream");
  EXPECT_EQ(run(stream->id()), 1u);
}

TEST_F(StreamCommandTest, ANewStreamIsCreatedByTheConnectAndAnswersThatAreNoStreamIdChangeNothing) {
  std::vector<AMFList> replies = {{AMFValue(2.0)}, {AMFValue("7")}, {AMFValue()}, {},
                                  {AMFValue(-1.0)}, {AMFValue(4294967296.0)},
                                  {AMFValue(std::numeric_limits<double>::infinity())}};
  size_t next = 0;
  server.onCommand = [&](ScriptedSession& s, const RTMPCommandMessage& c) {
    if (c.commandName == "connect") s.acceptConnect(c.transactionId);
    if (c.commandName == "createStream") s.sendResult(c.transactionId, replies.at(next++));
  };
  auto stream = RTMPStream::make(connection);
  // Not connected: nothing to ask, the id stays 0.
  run(stream->createStream());
  EXPECT_EQ(run(stream->id()), 0u);
  // Attached before make() returned: the connect creates it, and only the connection asks.
  EXPECT_EQ(run(connection->streams()).size(), 1u);
  run(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "createStream"}));
  do {
    SCOPED_TRACE(next);
    EXPECT_EQ(run(stream->id()), 2u);
    if (next < replies.size()) run(stream->createStream());
  } while (next < replies.size());
}

TEST_F(StreamCommandTest, PublishSendsItsCommandAndTheMetadataOnceStartedAndCloseIsIdleAtOnce) {
  auto stream = publishing();
  EXPECT_EQ(argumentsOf(*server.last(), "publish"), (AMFList{AMFValue("key"), AMFValue("live")}));
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::publishing);
  EXPECT_EQ(s.info.resourceName, "key");
  EXPECT_GT(s.info.byteCount, 0);
  // "@setDataFrame" "onMetaData" with only the duration before any media, at time 0 on chunk stream 8.
  auto metadata = sentOf<RTMPDataMessage>();
  ASSERT_EQ(metadata.size(), 1u);
  const auto& [data, record] = metadata[0];
  EXPECT_TRUE(record.chunkStreamId == 8u && record.chunkType == RTMPChunkType::zero);
  EXPECT_TRUE(data->timestamp == 0u && data->streamId == 1u);
  AMFArray duration;
  duration.set("duration", AMFValue(0.0));
  EXPECT_EQ(data->handlerName, "@setDataFrame");
  EXPECT_EQ(data->arguments, (AMFList{AMFValue("onMetaData"), AMFValue(duration)}));

  // A close is idle at once and returns on the answer.
  answers.erase("closeStream");
  auto close = start(stream->closeStream());
  EXPECT_EQ(argumentsOf(*server.last(), "closeStream"), (AMFList{}));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);
  EXPECT_FALSE(close.isFinished());
  server.last()->sendStatus("onStatus", 0, "NetStream.Unpublish.Success", "status", "", 1);
  rt->runUntilIdle();
  ASSERT_TRUE(close.isFinished());
  EXPECT_EQ(close.result().status->code, "NetStream.Unpublish.Success");
  EXPECT_EQ(streamError(start(stream->closeStream()))->kind(), Kind::invalidState);
  // Publish without a name outside publishing sends nothing.
  const auto before = sent().size();
  EXPECT_EQ(streamError(start(stream->publish(std::nullopt)))->kind(), Kind::invalidState);
  rt->runUntilIdle();
  EXPECT_EQ(sent().size(), before);
}


TEST_F(StreamCommandTest, ARefusedPublishFailsWithItsStatusAndAStatusWithoutCodeIsNotYielded) {
  answers["publish"] = {"NetStream.Publish.BadName", "error"};
  auto stream = connected();
  Collected<RTMPStatus> statuses(rt->globalQueue(), run(stream->status()));
  auto publish = start(stream->publish("badname"));
  ASSERT_TRUE(publish.isFinished());
  auto error = streamError(publish);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::requestFailed);
  EXPECT_EQ(error->response()->status->code, "NetStream.Publish.BadName");
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);

  answers.erase("publish");
  publish = start(stream->publish("key"));
  server.last()->sendCommand("onStatus", 0, std::nullopt, {AMFValue(AMFObject{{"level", AMFValue("status")}})}, 1);
  rt->runUntilIdle();
  ASSERT_TRUE(publish.isFinished());
  error = streamError(publish);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::requestFailed);
  EXPECT_FALSE(error->response()->status);
  EXPECT_EQ(codes(statuses.values()), Strings{"NetStream.Publish.BadName"});
}

TEST_F(StreamCommandTest, UnansweredPublishTimesOutAndADisplacedCommandFailsAtOnce) {
  auto stream = connected();
  auto first = start(stream->publish("one"));
  advance(platform::seconds(5));
  // The second takes the slot: the first caller hears it at once.
  auto second = start(stream->publish("two"));
  ASSERT_TRUE(first.isFinished());
  EXPECT_EQ(streamError(first)->kind(), Kind::invalidState);
  // The first time-out (at 10 s) does not end the second request.
  advance(platform::milliseconds(9999));
  EXPECT_FALSE(second.isFinished());
  advance(platform::milliseconds(1));
  ASSERT_TRUE(second.isFinished());
  EXPECT_EQ(streamError(second)->kind(), Kind::requestTimedOut);
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::idle);
  EXPECT_FALSE(s.waiting || s.expectedResponse);
}

TEST_F(StreamCommandTest, PlayPauseSeekAndReceiveCommands) {
  auto stream = playing();
  EXPECT_EQ(argumentsOf(*server.last(), "play"), (AMFList{AMFValue("movie")}));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::playing);
  EXPECT_EQ(run(stream->snapshot()).info.resourceName, "movie");
  run(stream->seek(1.5));
  run(stream->receiveAudio(true));
  run(stream->receiveVideo(false));
  for (const auto& [name, argument] : std::vector<std::pair<std::string, AMFValue>>{
           {"seek", AMFValue(1.5)}, {"receiveAudio", AMFValue(true)}, {"receiveVideo", AMFValue(false)}})
    EXPECT_EQ(argumentsOf(*server.last(), name), AMFList{argument}) << name;

  // A pause carries the milliseconds played.
  advance(platform::milliseconds(1234));
  answers["pause"] = {"NetStream.Pause.Notify", "status"};
  run(stream->pause(true));
  EXPECT_EQ(argumentsOf(*server.last(), "pause"), (AMFList{AMFValue(true), AMFValue(1234.0)}));
  EXPECT_TRUE(run(stream->snapshot()).isPaused);
  answers["pause"] = {"NetStream.Unpause.Notify", "status"};
  run(stream->togglePause());
  EXPECT_EQ(argumentsOf(*server.last(), "pause"), (AMFList{AMFValue(false), AMFValue(1234.0)}));
  EXPECT_FALSE(run(stream->snapshot()).isPaused);

  // A status of level "status" with another code leaves the play waiting; the stream stays usable.
  answers["play"] = {"NetStream.Play.Reset", "status"};
  auto again = start(stream->play({AMFValue("other")}));
  EXPECT_FALSE(again.isFinished());
  server.last()->sendStatus("onStatus", 0, "NetStream.Play.Start", "status", "", 1);
  rt->runUntilIdle();
  ASSERT_TRUE(again.isFinished());
  EXPECT_EQ(run(stream->snapshot()).info.resourceName, "other");

  // Play without a name stops playing through closeStream.
  answers["closeStream"] = {"NetStream.Play.Stop", "status"};
  run(stream->play({}));
  EXPECT_EQ(argumentsOf(*server.last(), "closeStream"), (AMFList{}));
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::idle);
  EXPECT_FALSE(s.info.resourceName);
  EXPECT_EQ(streamError(start(stream->receiveVideo(true)))->kind(), Kind::invalidState);
  EXPECT_EQ(streamError(start(stream->pause(true)))->kind(), Kind::invalidState);
}

TEST_F(StreamCommandTest, DataMessagesCountFromThePublishOrTheirHandlersLastSend) {
  auto stream = publishing();
  advance(platform::milliseconds(100));
  run(stream->sendData("onCuePoint", {AMFValue("a")}));
  advance(platform::milliseconds(40));
  run(stream->sendData("onCuePoint", {AMFValue("b")}));
  run(stream->sendData("onCuePoint", {AMFValue("c")}, true));
  auto data = sentOf<RTMPDataMessage>();
  ASSERT_EQ(data.size(), 4u);
  const std::vector<std::pair<RTMPChunkType, uint32_t>> expected = {
      {RTMPChunkType::zero, 100}, {RTMPChunkType::one, 40}, {RTMPChunkType::zero, 140}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(data[i + 1].second.chunkType, expected[i].first) << i;
    EXPECT_EQ(data[i + 1].first->timestamp, expected[i].second) << i;
  }
  EXPECT_EQ(streamError(start(RTMPStream::make(connection)->sendData("x", {})))->kind(), Kind::invalidState);
}

TEST_F(StreamCommandTest, ConnectionCloseTakesDownPublishingStreams) {
  // A stream without a name is closed with "closeStream"; a named one releases its name.
  auto plain = publishing();
  auto named = RTMPStream::make(connection, "named");
  // The server leaves "releaseStream" and "FCPublish" unanswered.
  advance(platform::seconds(10));
  ASSERT_EQ(run(named->id()), 2u);
  run(named->publish("named"));
  auto close = start(connection->close());
  const auto names = server.last()->commandNames();
  for (const char* name : {"closeStream", "FCUnpublish", "deleteStream"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  advance(platform::seconds(11));
  EXPECT_TRUE(close.isFinished());
}
