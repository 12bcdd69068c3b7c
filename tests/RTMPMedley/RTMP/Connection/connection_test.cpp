// The connection against the scripted peer, on real time.
#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "Logwell/RecordingAppender.h"
#include "RTMPMedley/Sources/RTMP/Util/MD5.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPAuthenticator.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

using namespace rtmptest;
using namespace rtmpmedley;
using platform::blockingWait;
using platform::seconds;

namespace {

class ConnectionTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ThreadRuntime> rt = std::make_shared<platform::ThreadRuntime>(3);
  std::shared_ptr<RTMPConnection> connection = makeConnection(rt);

  template <class T>
  T wait(Async<T> work) {
    return blockingWait(std::move(work), rt->globalQueue());
  }
  std::optional<RTMPConnection::Error> failure(Async<RTMPResponse> work) {
    try {
      wait(std::move(work));
    } catch (const RTMPConnection::Error& e) {
      return e;
    }
    return std::nullopt;
  }
  Collected<RTMPStatus> statuses() { return Collected<RTMPStatus>(rt->globalQueue(), wait(connection->status())); }
  void TearDown() override {
    try {
      wait(connection->close());
    } catch (...) {
    }
  }
};

template <class M>
std::vector<std::shared_ptr<M>> messagesOf(const PeerSession& session) {
  std::vector<std::shared_ptr<M>> out;
  for (const auto& m : session.received())
    if (auto typed = std::dynamic_pointer_cast<M>(m)) out.push_back(typed);
  return out;
}

}  // namespace

TEST_F(ConnectionTest, ConnectsThenCreatesItsStreamsAndNumbersCalls) {
  std::shared_ptr<RTMPCommandMessage> connect;
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    connect = s.handshakeAndAccept();
    for (auto command = s.readCommand(); command; command = s.readCommand()) {
      if (command->commandName == "createStream") s.sendResult(command->transactionId, {AMFValue(1)});
      if (command->commandName == "echo") s.sendResult(command->transactionId, command->arguments);
      if (command->commandName == "refuse")
        s.sendStatus("_error", command->transactionId, "NetConnection.Call.Failed", "error", "no");
    }
  });
  auto stream = std::make_shared<FakeStream>(rt);
  stream->connection = connection;
  wait(connection->addStream(stream));
  EXPECT_EQ(stream->calls(), std::vector<std::string>{});

  const auto response = wait(connection->connect(peer.url("live?key=1", "rtmp", "alice:secret@")));
  ASSERT_TRUE(response.status);
  EXPECT_EQ(response.status->code, "NetConnection.Connect.Success");
  // The stream was reset and created on the server before connect returned.
  EXPECT_EQ(stream->calls(), (std::vector<std::string>{"reset", "createStream"}));
  EXPECT_EQ(wait(stream->id()), 1u);

  EXPECT_TRUE(connection->isConnected());
  ASSERT_TRUE(connect);
  EXPECT_EQ(*connect->commandObject->at("app").string(), "live?key=1");
  EXPECT_EQ(*connect->commandObject->at("tcUrl").string(), peer.url("live?key=1"));

  const auto echoed = wait(connection->call("echo", {AMFValue("a"), AMFValue(2)}));
  EXPECT_EQ(echoed.arguments, (AMFList{AMFValue("a"), AMFValue(2.0)}));
  const auto refused = failure(connection->call("refuse"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind(), RTMPConnection::Error::Kind::requestFailed);
  EXPECT_EQ(wait(connection->snapshot()).operations, 0u);

  // What the server saw: the connect, the announced chunk size (the window
  // size came before the connect was accepted, so it was not echoed), then the calls.
  auto session = peer.session(0);
  ASSERT_TRUE(session);
  const auto received = session->received();
  ASSERT_GE(received.size(), 2u);
  auto chunkSize = std::dynamic_pointer_cast<RTMPSetChunkSizeMessage>(received[1]);
  ASSERT_TRUE(chunkSize);
  EXPECT_EQ(chunkSize->size, 8192u);
  EXPECT_TRUE(messagesOf<RTMPWindowAcknowledgementSizeMessage>(*session).empty());
  std::vector<int64_t> ids;
  for (const auto& c : messagesOf<RTMPCommandMessage>(*session)) ids.push_back(c->transactionId);
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 3, 4}));  // createStream took 2
}

TEST_F(ConnectionTest, ChunksThatCameWithTheHandshakeAreReadAndPingsAnswered) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    // S0, S1, S2 and a ping in one write; the client reads them 255 bytes at a time.
    rtmpmedley::RTMPChunkBuffer writer;
    const auto ping = writer.putMessage(
        RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::ping, 0x1234567));
    ASSERT_TRUE(s.handshake(std::vector<uint8_t>(ping.begin(), ping.end())));
    ASSERT_TRUE(s.readCommand());
    s.acceptConnect();
    s.send(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::ping, 42));
    s.waitForClose();
  });
  wait(connection->connect(peer.url()));
  ASSERT_TRUE(eventually([&] { return messagesOf<RTMPUserControlMessage>(*peer.session(0)).size() == 2; }));
  const auto pongs = messagesOf<RTMPUserControlMessage>(*peer.session(0));
  EXPECT_EQ(pongs[0]->event, RTMPUserControlMessage::Event::pong);
  EXPECT_EQ(pongs[0]->value, 0x1234567);
  EXPECT_EQ(pongs[1]->value, 42);
}

TEST_F(ConnectionTest, LogsInWhenTheServerAsksAndNeverLogsTheCredentials) {
  auto appender = std::make_shared<logwell::testing::RecordingAppender>();
  auto previousAppender = logger().appender();
  const auto previousLevel = logger().level();
  logger().setAppender(appender);
  logger().setLevel(logwell::LWLogLevel::trace);

  std::string expectedResponse;
  ScriptedRTMPPeer peer(
      [&](PeerSession& s, int index) {
        ASSERT_TRUE(s.handshake());
        auto connect = s.readCommand();
        ASSERT_TRUE(connect && connect->commandObject);
        const std::string app = *connect->commandObject->at("app").string();
        EXPECT_EQ(connect->commandObject->at("tcUrl").string()->find("secret"), std::string::npos);
        if (index == 0) {
          EXPECT_EQ(app, "live");
          s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", "error",
                       "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ");
        } else if (index == 1) {
          EXPECT_EQ(app, "live?authmod=adobe&user=alice");
          s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", "error",
                       "[ AccessManager.Reject ] : [ authmod=adobe ] : "
                       "?reason=needauth&user=alice&salt=c2FsdA==&challenge=Y2g=&opaque=b3A=");
        } else {
          const auto url = RTMPConnectionURL::parse("http://x/" + app);
          const auto query = RTMPAuthenticator::queryParameters(*url);
          const std::string challenge = query.count("challenge") ? query.at("challenge") : "";
          auto b64md5 = [](const std::string& text) {
            const auto d = MD5::calculate(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
            return RTMPAuthenticator::base64(d.data(), d.size());
          };
          expectedResponse = b64md5(b64md5("alice" "c2FsdA==" "secret") + "b3A=" + challenge);
          EXPECT_EQ(query.count("response") ? query.at("response") : "", expectedResponse);
          EXPECT_EQ(query.count("opaque") ? query.at("opaque") : "", "b3A=");
          s.acceptConnect();
          s.waitForClose();
          return;
        }
        s.waitForClose(seconds(2));
      },
      3);
  auto statuses = this->statuses();
  const auto response = wait(connection->connect(peer.url("live", "rtmp", "alice:secret@")));
  EXPECT_EQ(response.status->code, "NetConnection.Connect.Success");
  ASSERT_TRUE(eventually([&] { return statuses.values().size() == 3; }));
  EXPECT_EQ(codes(statuses.values()), (std::vector<std::string>{"NetConnection.Connect.Rejected",
                                                                "NetConnection.Connect.Rejected",
                                                                "NetConnection.Connect.Success"}));
  wait(connection->close());

  logger().setAppender(previousAppender);
  logger().setLevel(previousLevel);
  ASSERT_FALSE(expectedResponse.empty());
  for (const auto& r : appender->snapshot()) {
    EXPECT_EQ(r.message.find("secret"), std::string::npos) << r.message;
    EXPECT_EQ(r.message.find(expectedResponse), std::string::npos) << r.message;
  }
}

TEST_F(ConnectionTest, LoginTakesAtMostTwoAnswersAndOtherRejectionsEndTheConnect) {
  ScriptedRTMPPeer keepsChallenging(
      [&](PeerSession& s, int) {
        if (!s.handshake() || !s.readCommand()) return;
        s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", "error",
                     "authmod=adobe ?reason=needauth&salt=c2FsdA==&challenge=Y2g=");
        s.waitForClose(seconds(2));
      },
      5);
  auto error = failure(connection->connect(keepsChallenging.url("live", "rtmp", "alice:secret@")));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->response()->status->code, "NetConnection.Connect.Rejected");
  EXPECT_TRUE(eventually([&] { return keepsChallenging.finished() == 3; }));
  EXPECT_EQ(keepsChallenging.accepted(), 3);

  // A rejection that asks for nothing fails at once and leaves nothing open.
  ScriptedRTMPPeer invalidApp([&](PeerSession& s, int) {
    if (!s.handshake() || !s.readCommand()) return;
    s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", "error", "[ Server.Reject ] : Invalid app");
    EXPECT_TRUE(s.waitForClose());
  });
  auto statuses = this->statuses();
  error = failure(connection->connect(invalidApp.url("live", "rtmp", "alice:secret@")));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->response()->status->description, "[ Server.Reject ] : Invalid app");
  EXPECT_TRUE(invalidApp.waitForScripts(1));
  EXPECT_EQ(wait(connection->snapshot()).readyState, RTMPConnection::ReadyState::uninitialized);
  EXPECT_EQ(codes(statuses.values()), std::vector<std::string>{"NetConnection.Connect.Rejected"});
  EXPECT_THROW(wait(connection->close()), RTMPConnection::Error);
}

TEST_F(ConnectionTest, ServerClosingEndsTheConnectionAndItsWaitingCalls) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int index) {
    s.handshakeAndAccept();
    auto call = s.readCommand();  // never answered
    if (index == 0) return;       // hangs up
    s.sendCommand("close", 0, std::nullopt, {});
    s.waitForClose();
  }, 2);
  for (int round = 0; round < 2; ++round) {
    auto statuses = this->statuses();
    wait(connection->connect(peer.url()));
    auto pending = platform::spawn(rt->globalQueue(), connection->call("FCPublish", {AMFValue("key")}));
    ASSERT_TRUE(eventually([&] { return pending.isFinished(); })) << round;
    EXPECT_EQ(connectionError(pending)->kind(), RTMPConnection::Error::Kind::requestFailed);
    ASSERT_TRUE(eventually([&] { return !statuses.values().empty(); }));
    EXPECT_EQ(statuses.values().back().code, "NetConnection.Connect.Closed");
    EXPECT_FALSE(connection->isConnected());
  }
}

TEST_F(ConnectionTest, ClosingTakesStreamsDownBeforeTheSocketAndReportsOnlyToTheNewestReader) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    for (auto command = s.readCommand(); command; command = s.readCommand())
      s.sendResult(command->transactionId, {AMFValue(7)});
  });
  auto plain = std::make_shared<FakeStream>(rt);
  auto published = std::make_shared<FakeStream>(rt, "key");
  published->connection = connection;
  wait(connection->addStream(plain));
  wait(connection->addStream(published));
  wait(connection->connect(peer.url()));
  published->publishing = true;

  auto first = this->statuses();
  auto second = this->statuses();
  wait(connection->close());
  EXPECT_EQ(plain->calls().back(), "close");
  EXPECT_EQ(published->calls().back(), "unpublishOnClose");
  ASSERT_TRUE(eventually([&] { return second.values().size() == 1 && first.ended(); }));
  EXPECT_TRUE(first.values().empty());
  EXPECT_EQ(second.values()[0].code, "NetConnection.Connect.Closed");
  ASSERT_TRUE(peer.waitForScripts(1));
  std::vector<std::string> names;
  for (const auto& c : messagesOf<RTMPCommandMessage>(*peer.session(0))) names.push_back(c->commandName);
  EXPECT_EQ(names, (std::vector<std::string>{"connect", "createStream", "FCUnpublish", "deleteStream"}));
}

TEST_F(ConnectionTest, ConnectsAgainAfterCloseWithFreshTransactionIds) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    for (auto command = s.readCommand(); command; command = s.readCommand())
      s.sendResult(command->transactionId, {AMFValue(command->transactionId)});
  }, 2);
  auto stream = std::make_shared<FakeStream>(rt);
  wait(connection->addStream(stream));
  for (int round = 0; round < 2; ++round) {
    wait(connection->connect(peer.url()));
    EXPECT_EQ(wait(connection->call("a")).arguments[0], AMFValue(2.0));
    EXPECT_EQ(wait(connection->call("b")).arguments[0], AMFValue(3.0));
    wait(connection->close());
  }
  EXPECT_EQ(stream->calls(),
            (std::vector<std::string>{"reset", "createStream", "close", "reset", "createStream", "close"}));
}

TEST_F(ConnectionTest, MessagesReachTheServerInCallOrderAndStreamsGetTheirsInArrivalOrder) {
  constexpr int kMessages = 200;
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    // Garbage the reader must survive: an unknown type id, an unreadable command.
    s.send(RTMPChunkType::zero, 3, RTMPAggregateMessage(0, 0, {1, 2, 3}));
    s.sendRaw({0x03, 0, 0, 0, 0, 0, 3, 20, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF});
    s.sendRaw({0x03, 0, 0, 0, 0, 0, 2, 7, 0, 0, 0, 0, 0xAA, 0xBB});
    // Refused by the client, which keeps reading with the size it has.
    s.send(RTMPChunkType::zero, 2, RTMPSetChunkSizeMessage(0, 0, 0));
    s.setChunkSize(128);
    for (int i = 0; i < kMessages; ++i)
      s.send(RTMPChunkType::zero, 5, RTMPVideoMessage(1, static_cast<uint32_t>(i), Data(300, uint8_t(i))));
    s.send(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::streamBegin, 1));
    s.send(RTMPChunkType::zero, 2, RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::streamBegin, 9));
    s.waitForClose();
  });
  auto one = std::make_shared<FakeStream>(rt), other = std::make_shared<FakeStream>(rt);
  one->setId(1);
  other->setId(2);
  wait(connection->addStream(one));
  wait(connection->addStream(other));
  wait(connection->connect(peer.url()));

  ASSERT_TRUE(eventually([&] { return one->messages().size() == kMessages + 1; }));
  const auto messages = one->messages();
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(messages[i].first->timestamp, static_cast<uint32_t>(i));
    ASSERT_EQ(messages[i].first->payload(), Data(300, uint8_t(i)));
    ASSERT_EQ(messages[i].second, RTMPChunkType::zero);
  }
  EXPECT_TRUE(std::dynamic_pointer_cast<RTMPUserControlMessage>(messages.back().first));
  EXPECT_TRUE(other->messages().empty());

  // Sent from one task, in order, each message whole.
  auto send = [](std::shared_ptr<RTMPConnection> c) -> Async<void> {
    for (int i = 0; i < kMessages; ++i) {
      auto message = std::make_shared<RTMPVideoMessage>(1, static_cast<uint32_t>(i), Data(20000, uint8_t(i)));
      const auto sent = co_await c->doOutput(i == 0 ? RTMPChunkType::zero : RTMPChunkType::one,
                                             RTMPChunkStreamId::video, message);
      EXPECT_EQ(sent, 20000);
    }
  };
  auto socket = wait(connection->socket());
  const uint64_t writesBefore = socket->sendCount();
  wait(send(connection));
  // Three chunks each, one write each.
  EXPECT_EQ(socket->sendCount() - writesBefore, static_cast<uint64_t>(kMessages));
  ASSERT_TRUE(eventually([&] { return messagesOf<RTMPVideoMessage>(*peer.session(0)).size() == kMessages; }));
  const auto videos = messagesOf<RTMPVideoMessage>(*peer.session(0));
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(videos[i]->payload(), Data(20000, uint8_t(i))) << i;
}

TEST_F(ConnectionTest, RefusedUnsupportedAndRepeatedConnects) {
  for (const char* text : {"http://127.0.0.1/live", "rtmp:///live", "not a url", "RTMP://127.0.0.1/live", ""}) {
    const auto error = failure(connection->connect(text));
    ASSERT_TRUE(error) << text;
    EXPECT_EQ(error->kind(), RTMPConnection::Error::Kind::unsupportedCommand) << text;
  }
  EXPECT_FALSE(wait(connection->snapshot()).hasSocket);

  // Nothing listens on the port of a closed listener.
  uint16_t closedPort = 0;
  {
    auto listener = platform::TcpListener::make();
    closedPort = listener->port();
  }
  const auto refused = failure(connection->connect("rtmp://127.0.0.1:" + std::to_string(closedPort) + "/live"));
  ASSERT_TRUE(refused && refused->socketError());
  EXPECT_EQ(refused->socketError()->kind, platform::TcpError::Kind::refused);

  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    s.waitForClose();
  });
  wait(connection->connect(peer.url()));
  EXPECT_EQ(failure(connection->connect(peer.url()))->kind(), RTMPConnection::Error::Kind::invalidState);
  EXPECT_TRUE(connection->isConnected());
}

TEST_F(ConnectionTest, SharedObjectMessagesGoToTheHandlerWithThePathOfTheConnection) {
  ScriptedRTMPPeer peer([&](PeerSession& s, int) {
    s.handshakeAndAccept();
    s.send(RTMPChunkType::zero, 3,
           RTMPSharedObjectMessage(0, 0, RTMPObjectEncoding::amf0, "scores", 3, {0, 0, 0, 2, 0, 0, 0, 0}, {}));
    s.waitForClose();
  });
  std::mutex mutex;
  std::vector<std::tuple<std::string, std::string, bool>> seen;
  wait(connection->setSharedObjectHandler(
      [&](const std::string& name, const std::string& path, bool persistence, std::shared_ptr<RTMPSharedObjectMessage>) {
        std::lock_guard lock(mutex);
        seen.emplace_back(name, path, persistence);
      }));
  wait(connection->connect(peer.url("live?token=abc", "rtmp", "alice:secret@")));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return seen.size() == 1;
  }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen[0], std::make_tuple(std::string("scores"), peer.url("live"), true));
  EXPECT_EQ(wait(connection->uri())->user(), "alice");
}
