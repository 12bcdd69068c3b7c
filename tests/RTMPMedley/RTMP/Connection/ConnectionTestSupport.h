#pragma once
// A stream double that records what the connection does to it, a fixture that
// runs a connection against the scripted server on virtual time, and ways to
// wait for real sockets.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Eventually.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "peers/ScriptedRTMPTransport.h"
#include "peers/ScriptedRTMPPeer.h"

namespace rtmptest {

using platform::Async;
using rtmpmedley::RTMPConnection;

// Creates itself on the server with "createStream"; a stream with a name is
// released at close as a publishing stream is: "FCUnpublish" without waiting
// (servers leave it unanswered), then "deleteStream". Records what it is asked.
class FakeStream final : public platform::Actor, public rtmpmedley::RTMPStreamDelegate {
 public:
  FakeStream(std::shared_ptr<platform::Runtime> runtime, std::weak_ptr<RTMPConnection> connection = {},
             std::optional<std::string> name = std::nullopt)
      : Actor("fake-stream", std::move(runtime)), connection_(std::move(connection)), name_(std::move(name)) {}

  std::optional<std::string> failCreation;  // thrown by createStream() when set

  Async<uint32_t> id() override { co_return id_; }
  Async<std::optional<std::string>> fcPublishName() override { co_return name_; }
  Async<void> createStream() override {
    co_await hop();
    record("createStream");
    if (failCreation) throw std::runtime_error(*failCreation);
    if (auto c = connection_.lock()) {
      auto response = co_await c->call("createStream");
      if (!response.arguments.empty() && response.arguments[0].number())
        id_ = static_cast<uint32_t>(*response.arguments[0].number());
    }
  }
  Async<void> close() override { co_return record("close"); }
  Async<void> unpublishOnClose() override {
    co_await hop();
    auto c = connection_.lock();
    if (!c) co_return;
    try {
      co_await c->callWithoutAnswer("FCUnpublish", {rtmpmedley::AMFValue(*name_)});
      co_await c->call("deleteStream", {rtmpmedley::AMFValue(id_)});
      record("released");
    } catch (const std::exception& e) {
      record(std::string("release failed: ") + e.what());
    }
  }
  Async<void> dispatch(rtmpmedley::RTMPMessagePtr message, rtmpmedley::RTMPChunkType) override {
    co_await hop();
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(message));
  }
  Async<void> dispatch(medley::NetworkMonitorEvent event) override {
    co_await hop();
    record(event.kind() == medley::NetworkMonitorEvent::Kind::reset ? "reset" : "event");
  }

  std::vector<std::string> calls() const { std::lock_guard lock(mutex_); return calls_; }
  std::vector<rtmpmedley::RTMPMessagePtr> messages() const { std::lock_guard lock(mutex_); return messages_; }

 private:
  void record(std::string call) { std::lock_guard lock(mutex_); calls_.push_back(std::move(call)); }

  std::weak_ptr<RTMPConnection> connection_;
  std::optional<std::string> name_;
  uint32_t id_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<rtmpmedley::RTMPMessagePtr> messages_;
};

// A test on real threads and sockets that waits for what it starts.
template <int Threads = 2>
class RealTimeTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ThreadRuntime> rt = std::make_shared<platform::ThreadRuntime>(Threads);

  template <class T>
  T wait(Async<T> work) {
    return platform::blockingWait(std::move(work), rt->globalQueue());
  }
};

using qztest::eventually;

// The error of type E a finished task ended with, if it did.
template <class E, class T>
std::optional<E> errorOf(const platform::TaskHandle<T>& task) {
  try {
    (void)task.result();
  } catch (const E& e) {
    return e;
  } catch (...) {
  }
  return std::nullopt;
}

// Collects a sequence on a task of its own.
template <class T>
class Collected {
 public:
  Collected(std::shared_ptr<platform::SerialQueue> queue, platform::AsyncStream<T> stream)
      : state_(std::make_shared<State>()) {
    task_ = platform::spawn(
        std::move(queue),
        [](platform::AsyncStream<T> s, std::shared_ptr<State> state) -> Async<void> {
          while (auto v = co_await s.next()) {
            std::lock_guard lock(state->mutex);
            state->values.push_back(std::move(*v));
          }
          std::lock_guard lock(state->mutex);
          state->ended = true;
        },
        std::move(stream), state_);
  }
  std::vector<T> values() const { std::lock_guard lock(state_->mutex); return state_->values; }
  bool ended() const { std::lock_guard lock(state_->mutex); return state_->ended; }

 private:
  struct State { std::mutex mutex; std::vector<T> values; bool ended = false; };
  std::shared_ptr<State> state_;
  platform::TaskHandle<void> task_;
};

inline std::vector<std::string> codes(const std::vector<rtmpmedley::RTMPStatus>& statuses) {
  std::vector<std::string> out;
  for (const auto& s : statuses) out.push_back(s.code);
  return out;
}

// A connection and the scripted server on virtual time: everything runs on
// the test's thread, and time moves only when the test says.
class ScriptedConnectionTest : public ::testing::Test, protected rtmptest::VirtualTimeDriver {
 protected:
  ScriptedRTMPServer server{rt};
  std::shared_ptr<RTMPConnection> connection = server.makeConnection();
  static constexpr const char* kURL = "rtmp://ingest.test/live";

  Collected<rtmpmedley::RTMPStatus> statuses() {
    return Collected<rtmpmedley::RTMPStatus>(rt->globalQueue(), run(connection->status()));
  }
  std::shared_ptr<FakeStream> stream(std::optional<std::string> name = std::nullopt) {
    return std::make_shared<FakeStream>(rt, connection, std::move(name));
  }
  // The messages of type M the client sent on the last connection, with their chunk records.
  template <class M>
  std::vector<std::pair<std::shared_ptr<M>, Received>> sentOf() const {
    std::vector<std::pair<std::shared_ptr<M>, Received>> out;
    for (const auto& r : server.last()->records())
      if (auto m = std::dynamic_pointer_cast<M>(r.message)) out.push_back({m, r});
    return out;
  }
  void TearDown() override {
    try {
      run(connection->close());
    } catch (...) {
    }
    connection.reset();
    rt->runUntilIdle();
  }
};

}  // namespace rtmptest
