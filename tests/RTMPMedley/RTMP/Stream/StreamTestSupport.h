#pragma once
// An RTMPStream on a connection to the scripted server, on virtual time.
#include <gtest/gtest.h>

#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace rtmptest {

using rtmpmedley::RTMPStream;

template <class T>
std::optional<RTMPStream::Error> streamError(const platform::TaskHandle<T>& task) {
  return errorOf<RTMPStream::Error>(task);
}

class StreamTest : public ScriptedConnectionTest {
 protected:
  // Answers "publish" / "play" / "closeStream" / "pause" as `answers` says
  // (command name to code and level); otherwise like a server.
  std::map<std::string, std::pair<std::string, std::string>> answers;

  void SetUp() override {
    answers["closeStream"] = {"NetStream.Unpublish.Success", "status"};
    server.onCommand = [this](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
      ScriptedRTMPServer::answerLikeAServer(s, c);
      auto it = answers.find(c.commandName);
      if (it != answers.end())
        s.sendStatus("onStatus", 0, it->second.first, it->second.second, "", c.streamId);
    };
  }

  std::shared_ptr<RTMPStream> connected(std::optional<std::string> name = std::nullopt) {
    auto stream = RTMPStream::make(connection, std::move(name));
    run(connection->connect(kURL));
    rt->runUntilIdle();
    return stream;
  }
  std::shared_ptr<RTMPStream> publishing() {
    answers["publish"] = {"NetStream.Publish.Start", "status"};
    auto stream = connected();
    run(stream->publish("key"));
    return stream;
  }
  std::shared_ptr<RTMPStream> playing() {
    answers["play"] = {"NetStream.Play.Start", "status"};
    answers["closeStream"] = {"NetStream.Play.Stop", "status"};
    auto stream = connected();
    run(stream->play({rtmpmedley::AMFValue("movie")}));
    return stream;
  }
};

}  // namespace rtmptest
