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

// A command's payload as the stream builds it: name, transaction 0, null, arguments.
Bytes commandBytes(const std::string& name, std::initializer_list<Bytes> arguments) {
  Bytes out = concat({amfString(name), amfNumber(0), kAMFNull});
  for (const auto& a : arguments) out.insert(out.end(), a.begin(), a.end());
  return out;
}

// The last command of that name the client sent, with its chunk record.
std::optional<Received> lastCommand(const std::vector<Received>& records, const std::string& name) {
  std::optional<Received> out;
  for (const auto& r : records)
    if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r.message); c && c->commandName == name) out = r;
  return out;
}

void expectCommand(const std::vector<Received>& records, const std::string& name, const Bytes& payload,
                   uint32_t streamId = 1) {
  auto r = lastCommand(records, name);
  ASSERT_TRUE(r) << name;
  EXPECT_EQ(r->message->payload(), payload) << name;
  EXPECT_EQ(r->chunkStreamId, 3u) << name;
  EXPECT_EQ(r->chunkType, RTMPChunkType::zero) << name;
  EXPECT_EQ(r->message->streamId, streamId) << name;
}

}  // namespace

TEST_F(StreamCommandTest, NewStreamIsKnownToTheConnectionAtOnceAndCreatedByItsConnect) {
  auto stream = RTMPStream::make(connection);
  // Not connected: nothing to ask, the id stays 0.
  run(stream->createStream());
  EXPECT_EQ(run(stream->id()), 0u);
  // Attached before make() returned: the connect creates it, and only the connection asks.
  EXPECT_EQ(run(connection->streams()).size(), 1u);
  run(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "createStream"}));
  EXPECT_EQ(run(stream->id()), 1u);
}

TEST_F(StreamCommandTest, NamedStreamReleasesAndAnnouncesItsNameBeforeCreateStream) {
  server.onCommand = [](ScriptedSession& s, const RTMPCommandMessage& c) {
    ScriptedRTMPServer::answerLikeAServer(s, c);
    // One of the two is refused: createStream still follows.
    if (c.commandName == "releaseStream") s.sendStatus("_error", c.transactionId, "NetConnection.Call.Failed", "error");
    if (c.commandName == "FCPublish") s.sendResult(c.transactionId);
  };
  auto stream = RTMPStream::make(connection, "key");
  run(connection->connect(kURL));
  EXPECT_EQ(server.last()->commandNames(), (Strings{"connect", "releaseStream", "FCPublish", "createStream"}));
  for (const auto& c : server.last()->commands())
    if (c->commandName == "releaseStream" || c->commandName == "FCPublish")
      EXPECT_EQ(c->arguments, AMFList{AMFValue("key")});
  EXPECT_EQ(run(stream->id()), 1u);
}

TEST_F(StreamCommandTest, UnansweredNameCommandsHoldCreateStreamForTheRequestTimeOut) {
  // What a server that never answers them costs: one request time-out.
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

TEST_F(StreamCommandTest, CreateStreamAnswersThatAreNoStreamIdChangeNothing) {
  std::vector<AMFList> replies = {{AMFValue(2.9)}, {AMFValue("7")}, {AMFValue()}, {}, {AMFValue(-1.0)},
                                  {AMFValue(4294967296.0)}, {AMFValue(std::numeric_limits<double>::infinity())}};
  size_t next = 0;
  server.onCommand = [&](ScriptedSession& s, const RTMPCommandMessage& c) {
    if (c.commandName == "connect") s.acceptConnect(c.transactionId);
    if (c.commandName == "createStream") s.sendResult(c.transactionId, replies.at(next++));
  };
  auto stream = RTMPStream::make(connection);
  run(connection->connect(kURL));
  EXPECT_EQ(run(stream->id()), 2u);
  while (next < replies.size()) {
    run(stream->createStream());
    EXPECT_EQ(run(stream->id()), 2u) << next;
  }
}

TEST_F(StreamCommandTest, PublishSendsItsGoldenCommandAndTheMetadataOnceStarted) {
  auto stream = publishing();
  expectCommand(sent(), "publish", commandBytes("publish", {amfString("key"), amfString("live")}));
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::publishing);
  EXPECT_EQ(s.info.resourceName, "key");
  // "@setDataFrame" "onMetaData" with only the duration before any media.
  auto metadata = sentOf<RTMPDataMessage>();
  ASSERT_EQ(metadata.size(), 1u);
  auto data = &metadata[0].second;
  EXPECT_EQ(data->chunkStreamId, 8u);
  EXPECT_EQ(data->chunkType, RTMPChunkType::zero);
  EXPECT_EQ(data->message->timestamp, 0u);
  EXPECT_EQ(data->message->streamId, 1u);
  const Bytes ecma = concat({Bytes{0x08, 0, 0, 0, 0}, Bytes{0, 8}, ascii("duration"), amfNumber(0), Bytes{0, 0, 9}});
  EXPECT_EQ(data->message->payload(), concat({amfString("@setDataFrame"), amfString("onMetaData"), ecma}));
  EXPECT_GT(s.info.byteCount, 0);
}

TEST_F(StreamCommandTest, BadNameFailsThePublishAndTheStatusStillArrives) {
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
  advance(platform::seconds(5));
  EXPECT_FALSE(second.isFinished());
  advance(platform::milliseconds(4999));
  EXPECT_FALSE(second.isFinished());
  advance(platform::milliseconds(1));
  ASSERT_TRUE(second.isFinished());
  EXPECT_EQ(streamError(second)->kind(), Kind::requestTimedOut);
  auto s = run(stream->snapshot());
  EXPECT_EQ(s.readyState, StreamReadyState::idle);
  EXPECT_FALSE(s.waiting);
  EXPECT_FALSE(s.expectedResponse);
}

TEST_F(StreamCommandTest, CloseSendsCloseStreamIsIdleAtOnceAndReturnsOnTheAnswer) {
  auto stream = publishing();
  EXPECT_EQ(streamError(start(stream->seek(1))) ->kind(), Kind::invalidState);
  answers.erase("closeStream");
  auto close = start(stream->closeStream());
  expectCommand(sent(), "closeStream", commandBytes("closeStream", {}));
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

TEST_F(StreamCommandTest, PlayPauseSeekAndReceiveCommandsAreGolden) {
  auto stream = playing();
  expectCommand(sent(), "play", commandBytes("play", {amfString("movie")}));
  EXPECT_EQ(run(stream->readyState()), StreamReadyState::playing);
  EXPECT_EQ(run(stream->snapshot()).info.resourceName, "movie");

  run(stream->seek(1.5));
  expectCommand(sent(), "seek", commandBytes("seek", {amfNumber(1.5)}));
  run(stream->receiveAudio(true));
  expectCommand(sent(), "receiveAudio", commandBytes("receiveAudio", {amfBool(true)}));
  run(stream->receiveVideo(false));
  expectCommand(sent(), "receiveVideo", commandBytes("receiveVideo", {amfBool(false)}));

  advance(platform::milliseconds(1234));
  answers["pause"] = {"NetStream.Pause.Notify", "status"};
  run(stream->pause(true));
  expectCommand(sent(), "pause", commandBytes("pause", {amfBool(true), amfNumber(1234)}));
  EXPECT_TRUE(run(stream->snapshot()).isPaused);
  answers["pause"] = {"NetStream.Unpause.Notify", "status"};
  run(stream->togglePause());
  expectCommand(sent(), "pause", commandBytes("pause", {amfBool(false), amfNumber(1234)}));
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
  expectCommand(sent(), "closeStream", commandBytes("closeStream", {}));
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
  EXPECT_EQ(data[1].second.chunkType, RTMPChunkType::zero);
  EXPECT_EQ(data[1].first->timestamp, 100u);
  EXPECT_EQ(data[2].second.chunkType, RTMPChunkType::one);
  EXPECT_EQ(data[2].first->timestamp, 40u);
  EXPECT_EQ(data[3].second.chunkType, RTMPChunkType::zero);
  EXPECT_EQ(data[3].first->timestamp, 140u);
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
  EXPECT_NE(std::find(names.begin(), names.end(), "closeStream"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "FCUnpublish"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "deleteStream"), names.end());
  advance(platform::seconds(11));
  EXPECT_TRUE(close.isFinished());
}
