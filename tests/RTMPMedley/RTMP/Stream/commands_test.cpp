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

TEST_F(StreamCommandTest, ANamedStreamsUnansweredCommandsHoldCreateStreamForTheTimeOut) {
  // "releaseStream" is refused, "FCPublish" never answered: createStream still follows, one time-out later.
  server.onCommand = [](ScriptedSession& s, const RTMPCommandMessage& c) {
    ScriptedRTMPServer::answerLikeAServer(s, c);
    if (c.commandName == "releaseStream") s.sendStatus("_error", c.transactionId, "NetConnection.Call.Failed", "error");
  };
  auto stream = RTMPStream::make(connection, "key");
  auto connect = start(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "releaseStream", "FCPublish"}));
  advance(platform::milliseconds(9999));
  EXPECT_FALSE(connect.isFinished());
  advance(platform::milliseconds(1));
  EXPECT_TRUE(connect.isFinished());
  EXPECT_EQ(server.last()->commandNames().back(), "createStream");
  EXPECT_EQ(run(stream->id()), 1u);
}

TEST_F(StreamCommandTest, ANewStreamIsCreatedByTheConnectAndAnswersThatAreNoStreamIdChangeNothing) {
  std::vector<AMFList> replies = {{AMFValue(2.0)}, {AMFValue("7")}, {AMFValue()}, {}, {AMFValue(-1.0)},
                                  {AMFValue(4294967296.0)}, {AMFValue(std::numeric_limits<double>::infinity())}};
  size_t next = 0;
  server.onCommand = [&](ScriptedSession& s, const RTMPCommandMessage& c) {
    if (c.commandName == "connect") s.acceptConnect(c.transactionId);
    if (c.commandName == "createStream") s.sendResult(c.transactionId, replies.at(next++));
  };
  auto stream = RTMPStream::make(connection);
  // Not connected: nothing to ask. Then the connect creates it, and only the connection asks.
  run(stream->createStream());
  run(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "createStream"}));
  do {
    SCOPED_TRACE(next);
    EXPECT_EQ(run(stream->id()), 2u);
    if (next < replies.size()) run(stream->createStream());
  } while (next < replies.size());
}

TEST_F(StreamCommandTest, PublishSendsTheMetadataAndTimesDataFromThePublishAndCloseIsIdleAtOnce) {
  auto stream = publishing();
  // "@setDataFrame" "onMetaData" with only the duration before any media, at time 0 on chunk stream 8.
  AMFArray duration;
  duration.set("duration", AMFValue(0.0));
  auto data = sentOf<RTMPDataMessage>();
  ASSERT_EQ(data.size(), 1u);
  EXPECT_TRUE(data[0].second.chunkStreamId == 8u && data[0].second.chunkType == RTMPChunkType::zero &&
              data[0].first->timestamp == 0u && data[0].first->streamId == 1u);
  EXPECT_EQ(data[0].first->handlerName, "@setDataFrame");
  EXPECT_EQ(data[0].first->arguments, (AMFList{AMFValue("onMetaData"), AMFValue(duration)}));

  // Data counts from the publish, then from its handler's last send.
  advance(platform::milliseconds(100));
  run(stream->sendData("onCuePoint", {AMFValue("a")}));
  advance(platform::milliseconds(40));
  run(stream->sendData("onCuePoint", {AMFValue("b")}));
  run(stream->sendData("onCuePoint", {AMFValue("c")}, true));
  data = sentOf<RTMPDataMessage>();
  ASSERT_EQ(data.size(), 4u);
  const std::vector<std::pair<RTMPChunkType, uint32_t>> expected = {
      {RTMPChunkType::zero, 100}, {RTMPChunkType::one, 40}, {RTMPChunkType::zero, 140}};
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(std::pair(data[i + 1].second.chunkType, data[i + 1].first->timestamp), expected[i]) << i;

  // A close is idle at once and returns on the answer.
  answers.erase("closeStream");
  auto close = start(stream->closeStream());
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);
  EXPECT_FALSE(close.isFinished());
  server.last()->sendStatus("onStatus", 0, "NetStream.Unpublish.Success", "status", "", 1);
  rt->runUntilIdle();
  ASSERT_TRUE(close.isFinished());
  EXPECT_EQ(close.result().status->code, "NetStream.Unpublish.Success");
  EXPECT_EQ(streamError(start(stream->closeStream()))->kind(), Kind::invalidState);
  EXPECT_EQ(streamError(start(stream->publish(std::nullopt)))->kind(), Kind::invalidState);
  EXPECT_EQ(streamError(start(RTMPStream::make(connection)->sendData("x", {})))->kind(), Kind::invalidState);
}

TEST_F(StreamCommandTest, RefusedUnansweredDisplacedAndCutOffPublishesFailEachWithItsReason) {
  answers["publish"] = {"NetStream.Publish.BadName", "error"};
  auto stream = connected();
  Collected<RTMPStatus> statuses(rt->globalQueue(), run(stream->status()));
  auto error = streamError(start(stream->publish("badname")));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::requestFailed);
  EXPECT_EQ(error->response()->status->code, "NetStream.Publish.BadName");
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);

  // A status without a code fails the publish and is not yielded.
  answers.erase("publish");
  auto publish = start(stream->publish("key"));
  server.last()->sendCommand("onStatus", 0, std::nullopt, {AMFValue(AMFObject{{"level", AMFValue("status")}})}, 1);
  rt->runUntilIdle();
  error = streamError(publish);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::requestFailed);
  EXPECT_FALSE(error->response()->status);
  EXPECT_EQ(codes(statuses.values()), Strings{"NetStream.Publish.BadName"});

  auto first = start(stream->publish("one"));
  advance(platform::seconds(5));
  // The second takes the slot: the first caller hears it at once.
  auto second = start(stream->publish("two"));
  EXPECT_EQ(streamError(first)->kind(), Kind::invalidState);
  // The first time-out (at 10 s) does not end the second request.
  advance(platform::milliseconds(9999));
  EXPECT_FALSE(second.isFinished());
  advance(platform::milliseconds(1));
  EXPECT_EQ(streamError(second)->kind(), Kind::requestTimedOut);
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::idle);
  EXPECT_FALSE(s.waiting || s.expectedResponse);

  // A server that hangs up on the publish, or a connection closed under it,
  // fails the publish at once with the closing status: no answer can come.
  for (const bool hangUp : {true, false}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "close");
    if (!connection->isConnected()) run(connection->connect(kURL));
    rt->runUntilIdle();
    auto cut = start(stream->publish("key"));
    if (hangUp)
      server.last()->hangUp();
    else
      run(connection->close());
    rt->runUntilIdle();
    ASSERT_TRUE(cut.isFinished());
    error = streamError(cut);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::requestFailed);
    EXPECT_EQ(error->response()->status->code, "NetConnection.Connect.Closed");
    EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);
  }
}

TEST_F(StreamCommandTest, PlayPauseAndStop) {
  auto stream = playing();
  EXPECT_EQ(run(stream->snapshot()).info.resourceName, "movie");

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

  // Play without a name stops playing through closeStream.
  answers["closeStream"] = {"NetStream.Play.Stop", "status"};
  run(stream->play({}));
  EXPECT_EQ(argumentsOf(*server.last(), "closeStream"), (AMFList{}));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::idle);
  EXPECT_FALSE(run(stream->snapshot()).info.resourceName);
  EXPECT_EQ(streamError(start(stream->pause(true)))->kind(), Kind::invalidState);
}

TEST_F(StreamCommandTest, ANewerPlayOrPublishKeepsItsStateAndItsHalfWhenItDisplacesAWaitingOne) {
  auto stream = connected();
  auto incoming = run(stream->incomingStream());
  auto first = start(stream->play({AMFValue("one")}));
  advance(platform::seconds(1));
  auto second = start(stream->play({AMFValue("two")}));
  rt->runUntilIdle();
  EXPECT_EQ(streamError(first)->kind(), Kind::invalidState);
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::play);
  EXPECT_TRUE(run(incoming->isRunning())) << "the newer play's half was stopped";
  server.last()->sendStatus("onStatus", 0, "NetStream.Play.Start", "status", "", 1);
  rt->runUntilIdle();
  ASSERT_TRUE(second.isFinished());
  EXPECT_FALSE(streamError(second));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::playing);
  EXPECT_TRUE(run(incoming->isRunning()));
  EXPECT_EQ(run(stream->snapshot()).info.resourceName, "two");

  answers["closeStream"] = {"NetStream.Play.Stop", "status"};
  run(stream->closeStream());
  auto one = start(stream->publish("one"));
  auto two = start(stream->publish("two"));
  rt->runUntilIdle();
  EXPECT_EQ(streamError(one)->kind(), Kind::invalidState);
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::publish);
  server.last()->sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", 1);
  rt->runUntilIdle();
  ASSERT_TRUE(two.isFinished());
  EXPECT_FALSE(streamError(two));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::publishing);
  EXPECT_EQ(argumentsOf(*server.last(), "publish")->front(), AMFValue("two"));
  answers["closeStream"] = {"NetStream.Unpublish.Success", "status"};
  run(stream->closeStream());
}

TEST_F(StreamCommandTest, ADisplacedCommandStopsTheHalfItStartedThatTheNewerCommandDoesNotUse) {
  auto stream = connected();
  auto incoming = run(stream->incomingStream());
  // A publish starts nothing before its answer, and a play that displaces it
  // keeps the half it starts.
  auto waiting = start(stream->publish("zero"));
  advance(platform::seconds(1));
  auto newer = start(stream->play({AMFValue("movie")}));
  rt->runUntilIdle();
  EXPECT_EQ(streamError(waiting)->kind(), Kind::invalidState);
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::play);
  EXPECT_TRUE(run(incoming->isRunning()));
  server.last()->sendStatus("onStatus", 0, "NetStream.Play.Start", "status", "", 1);
  rt->runUntilIdle();
  EXPECT_FALSE(streamError(newer));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::playing);
  EXPECT_TRUE(run(incoming->isRunning()));
  answers["closeStream"] = {"NetStream.Play.Stop", "status"};
  run(stream->closeStream());
  EXPECT_FALSE(run(incoming->isRunning()));

  // A play that waits a second starts the playback half; a publish then takes the slot.
  auto play = start(stream->play({AMFValue("one")}));
  advance(platform::seconds(1));
  ASSERT_TRUE(run(incoming->isRunning()));
  auto publish = start(stream->publish("two"));
  rt->runUntilIdle();
  EXPECT_EQ(streamError(play)->kind(), Kind::invalidState);
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::publish);
  EXPECT_FALSE(run(incoming->isRunning())) << "the displaced play's half runs on through the publish";
  server.last()->sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", 1);
  rt->runUntilIdle();
  EXPECT_FALSE(streamError(publish));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::publishing);
  EXPECT_FALSE(run(incoming->isRunning()));
  // Nor does the displaced play's time-out end anything later.
  advance(platform::seconds(20));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::publishing);
  answers["closeStream"] = {"NetStream.Unpublish.Success", "status"};
  run(stream->closeStream());

  // Displaced at once, before its time-out could start the half: still stopped.
  auto quick = start(stream->play({AMFValue("three")}));
  auto again = start(stream->publish("four"));
  rt->runUntilIdle();
  EXPECT_EQ(streamError(quick)->kind(), Kind::invalidState);
  EXPECT_FALSE(run(incoming->isRunning()));
  server.last()->sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", 1);
  rt->runUntilIdle();
  EXPECT_FALSE(streamError(again));
  run(stream->closeStream());
}
