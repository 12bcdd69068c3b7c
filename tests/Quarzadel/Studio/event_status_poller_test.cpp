// The event-status loop against a loopback event service, on virtual time: when
// it asks, what it ignores, slow answers, cancellation and replacement.
#include "Quarzadel/Studio/EventStatusPoller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Net/TestHttpServer.h"

namespace quarzadel {
namespace {

using platform::milliseconds;
using platform::seconds;
using platform::testing::TestHttpServer;
using Reply = TestHttpServer::Reply;

// A loopback event service; a held reply waits until the test lets it go, so
// its answer comes late.
class EventService {
 public:
  EventService() : server_([this](const TestHttpServer::Request&) { return next(); }) {}
  ~EventService() { releaseHeld(); }

  // The reply of the next request comes only after releaseHeld().
  void holdNext(Reply reply) {
    std::lock_guard lock(mutex_);
    held_ = std::move(reply);
  }
  void releaseHeld() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Waits (real time, bounded) until the service has seen `count` requests.
  bool waitForRequests(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_ >= count; });
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> out;
    for (const auto& r : server_.requests()) out.push_back(r.method + " " + r.target);
    return out;
  }
  std::string base() const { return server_.url(""); }

 private:
  Reply next() {
    std::unique_lock lock(mutex_);
    ++seen_;
    changed_.notify_all();
    if (held_) {
      Reply reply = std::move(*held_);
      held_.reset();
      changed_.wait(lock, [&] { return released_; });
      return reply;
    }
    return Reply{200, {}, R"({"title":"Morning Show","status":"live"})"};
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Reply> held_;
  bool released_ = false;
  size_t seen_ = 0;
  TestHttpServer server_;  // last: its threads stop before the script goes
};

struct EventStatusPollerTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::HttpClient> http = platform::HttpClient::make();
  EventService service;
  std::string apiBase = service.base();
  std::unique_ptr<EventStatusPoller> poller;
  std::vector<nlohmann::json> updates;

  void SetUp() override {
    EventStatusPoller::Environment env{runtime, http, [this] { return apiBase; }};
    poller = std::make_unique<EventStatusPoller>(env);
  }

  void TearDown() override {
    poller.reset();
    service.releaseHeld();
    http->waitForInFlight(seconds(10));
    runtime->runUntilIdle();
  }

  EventStatusPoller::UpdateHandler record() {
    return [this](const nlohmann::json& event) {
      EXPECT_TRUE(runtime->mainQueue()->isCurrent());
      updates.push_back(event);
    };
  }

  // Moves on, lets the requests that went out be answered, and runs their completions.
  void settle(platform::Nanos d = 0) {
    runtime->advance(d);
    runtime->runUntilIdle();
    ASSERT_TRUE(http->waitForInFlight(seconds(10)));
    runtime->runUntilIdle();
  }
  size_t requestCount() const { return service.targets().size(); }
};

TEST_F(EventStatusPollerTest, AnAnswerSlowerThanEightSecondsIsAFailureAndComesTooLate) {
  service.holdNext(Reply{200, {}, R"({"title":"Late"})"});
  poller->start("show", 10.0, record());
  runtime->runUntilIdle();
  ASSERT_TRUE(service.waitForRequests(1));

  runtime->advance(seconds(8) - milliseconds(1));
  EXPECT_EQ(http->inFlightCount(), 1u);
  runtime->advance(milliseconds(1));  // the wait ends; the sleep begins now
  runtime->advance(seconds(10) - milliseconds(1));
  EXPECT_EQ(http->inFlightCount(), 1u);
  runtime->advance(milliseconds(1));
  EXPECT_EQ(http->inFlightCount(), 2u);
  ASSERT_TRUE(service.waitForRequests(2));

  service.releaseHeld();
  settle();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].at("title"), "Morning Show");  // the second answer; the late one is dropped
  settle(seconds(10));
  EXPECT_EQ(requestCount(), 3u);
}

TEST_F(EventStatusPollerTest, TheKeyIsOnePercentEncodedPathSegmentAfterTheBase) {
  apiBase = service.base() + "/";
  poller->start("a/b c", 10.0, record());
  settle();
  poller->start("caf\xC3\xA9?x=1#y", 10.0, record());
  settle();
  EXPECT_EQ(service.targets(), (std::vector<std::string>{"GET /api/events/a%2Fb%20c",
                                                         "GET /api/events/caf%C3%A9%3Fx%3D1%23y"}));
}

TEST_F(EventStatusPollerTest, WithoutAUsableBaseOrKeyNothingStarts) {
  poller->start("show", 10.0, record());
  settle();
  for (const auto& [base, key] : std::vector<std::pair<std::string, std::string>>{
           {"", "show"}, {"ftp://events.example", "show"}, {"http:///api", "show"}, {service.base(), ""}}) {
    apiBase = base;
    poller->start(key, 10.0, record());
    EXPECT_FALSE(poller->isRunning()) << base << " " << key;
  }
  settle(seconds(60));  // the running loop went with the first of them
  EXPECT_EQ(requestCount(), 1u);
}

}  // namespace
}  // namespace quarzadel
