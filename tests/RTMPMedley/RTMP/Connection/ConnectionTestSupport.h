#pragma once
// A stream double that records what the connection does to it, and ways to
// run a connection on real or virtual time against real loopback sockets.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "peers/ScriptedRTMPPeer.h"

namespace rtmptest {

using platform::Async;
using rtmpmedley::RTMPConnection;

class FakeStream final : public platform::Actor,
                         public rtmpmedley::RTMPStreamDelegate,
                         public std::enable_shared_from_this<FakeStream> {
 public:
  FakeStream(std::shared_ptr<platform::Runtime> runtime, std::optional<std::string> name = std::nullopt)
      : Actor("fake-stream", std::move(runtime)), name_(std::move(name)) {}

  // Sends "createStream" (and for a published stream "FCUnpublish" and
  // "deleteStream" at close) through this connection, as a real stream does.
  std::weak_ptr<RTMPConnection> connection;
  bool publishing = false;

  Async<uint32_t> id() override {
    co_await hop();
    co_return id_;
  }
  Async<std::optional<std::string>> fcPublishName() override {
    co_await hop();
    co_return name_;
  }
  Async<void> createStream() override {
    co_await hop();
    record("createStream");
    if (auto c = connection.lock()) {
      try {
        auto response = co_await c->call("createStream");
        if (!response.arguments.empty() && response.arguments[0].number())
          id_ = static_cast<uint32_t>(*response.arguments[0].number());
      } catch (const std::exception& e) {
        record(std::string("createStream failed: ") + e.what());
      }
    }
  }
  Async<void> close() override {
    co_await hop();
    record("close");
  }
  Async<void> unpublishOnClose() override {
    co_await hop();
    record("unpublishOnClose");
    auto c = connection.lock();
    if (!c || !publishing) co_return;
    try {
      co_await c->call("FCUnpublish", {rtmpmedley::AMFValue(*name_)});
      co_await c->call("deleteStream", {rtmpmedley::AMFValue(id_)});
    } catch (...) {
    }
  }
  Async<void> dispatch(rtmpmedley::RTMPMessagePtr message, rtmpmedley::RTMPChunkType type) override {
    co_await hop();
    std::lock_guard lock(mutex_);
    messages_.push_back({std::move(message), type});
  }
  Async<void> dispatch(medley::NetworkMonitorEvent event) override {
    co_await hop();
    record(event.kind() == medley::NetworkMonitorEvent::Kind::reset ? "reset" : "event");
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::pair<rtmpmedley::RTMPMessagePtr, rtmpmedley::RTMPChunkType>> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  void setId(uint32_t id) { id_ = id; }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  std::optional<std::string> name_;
  uint32_t id_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::pair<rtmpmedley::RTMPMessagePtr, rtmpmedley::RTMPChunkType>> messages_;
};

// A connection as the application makes it, with a shorter time-out when asked.
inline std::shared_ptr<RTMPConnection> makeConnection(std::shared_ptr<platform::Runtime> runtime, int timeout = 15,
                                                      uint64_t requestTimeout = 10000) {
  return std::make_shared<RTMPConnection>(std::nullopt, std::nullopt, RTMPConnection::defaultFlashVer,
                                          RTMPConnection::defaultFourCcList(),
                                          RTMPConnection::defaultVideoFourCcInfoMap(),
                                          RTMPConnection::defaultAudioFourCcInfoMap(), 0, timeout, requestTimeout,
                                          RTMPConnection::defaultChunkSizeS, platform::QualityOfService::userInitiated,
                                          std::move(runtime));
}

// Waits in real time for something another thread does.
template <class P>
bool eventually(P predicate, platform::Nanos timeout = platform::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs a virtual runtime's jobs, the network's included, until `predicate`
// holds; virtual time stands still.
template <class P>
bool pumpUntil(const std::shared_ptr<platform::VirtualRuntime>& rt, P predicate,
               platform::Nanos timeout = platform::seconds(10)) {
  return eventually([&] {
    rt->runUntilIdle();
    return predicate();
  }, timeout);
}

// Lets the network deliver for a moment of real time, running what arrives.
inline void pumpFor(const std::shared_ptr<platform::VirtualRuntime>& rt, platform::Nanos duration) {
  pumpUntil(rt, [] { return false; }, duration);
}

// The error a finished task ended with, as the connection's error.
template <class T>
std::optional<RTMPConnection::Error> connectionError(const platform::TaskHandle<T>& task) {
  try {
    (void)task.result();
  } catch (const RTMPConnection::Error& e) {
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
  std::vector<T> values() const {
    std::lock_guard lock(state_->mutex);
    return state_->values;
  }
  bool ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<T> values;
    bool ended = false;
  };
  std::shared_ptr<State> state_;
  platform::TaskHandle<void> task_;
};

// Runs a shell command; its exit status and what it printed.
struct CommandRun {
  int status = -1;
  std::string output;
  bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

inline CommandRun run(const std::string& command) {
  CommandRun r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) r.output += buffer;
  r.status = ::pclose(pipe);
  return r;
}

inline std::vector<std::string> codes(const std::vector<rtmpmedley::RTMPStatus>& statuses) {
  std::vector<std::string> out;
  for (const auto& s : statuses) out.push_back(s.code);
  return out;
}

}  // namespace rtmptest
