// The event-status loop against a loopback event service, on virtual time: when
// it asks, what it ignores, slow answers, cancellation and replacement.
#include "Quarzadel/Studio/EventStatusPoller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Net/TestHttpServer.h"

namespace quarzadel {
namespace {

using platform::milliseconds;
using platform::seconds;
using platform::testing::TestHttpServer;
using Reply = TestHttpServer::Reply;

// A loopback event service answering from a script; a held reply waits until
// the test lets it go, so its answer comes late.
class EventService {
 public:
  EventService() : server_([this](const TestHttpServer::Request&) { return next(); }) {}
  ~EventService() { releaseHeld(); }

  void script(std::deque<Reply> replies) {
    std::lock_guard lock(mutex_);
    replies_ = std::move(replies);
  }
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
    if (replies_.empty()) return Reply{200, {}, R"({"title":"Morning Show","status":"live"})"};
    Reply reply = replies_.front();
    replies_.pop_front();
    return reply;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Reply> replies_;
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
  bool updatesOnMain = true;

  void SetUp() override { poller = makePoller(); }

  void TearDown() override {
    poller.reset();
    service.releaseHeld();
    http->waitForInFlight(seconds(10));
    runtime->runUntilIdle();
  }

  std::unique_ptr<EventStatusPoller> makePoller() {
    EventStatusPoller::Environment env;
    env.runtime = runtime;
    env.http = http;
    env.apiBase = [this] { return apiBase; };
    return std::make_unique<EventStatusPoller>(env);
  }

  EventStatusPoller::UpdateHandler record() {
    return [this](const nlohmann::json& event) {
      updatesOnMain = updatesOnMain && runtime->mainQueue()->isCurrent();
      updates.push_back(event);
    };
  }

  // Runs what is due now, lets the requests that went out be answered, and
  // runs their completions.
  void settle() {
    runtime->runUntilIdle();
    ASSERT_TRUE(http->waitForInFlight(seconds(10)));
    runtime->runUntilIdle();
  }
  void advance(platform::Nanos d) {
    runtime->advance(d);
    settle();
  }
  size_t requestCount() const { return service.targets().size(); }
};

TEST_F(EventStatusPollerTest, AsksAtOnceThenOneIntervalAfterEachAnswerIgnoringWhatIsNoEvent) {
  service.script({
      Reply{404, {}, R"({"title":"Not Found"})"},
      Reply{500, {}, R"({"title":"Server Error"})"},
      Reply{201, {}, R"({"title":"Created"})"},
      Reply{200, {}, R"([{"title":"In An Array"}])"},
      Reply{200, {}, R"("Just Text")"},
      Reply{200, {}, R"({"title": "Cut Off)"},
      Reply{200, {}, ""},
      Reply{200, {}, R"({"title":"Back"})"},
  });
  poller->start("morning-show", 10.0, record());
  EXPECT_TRUE(poller->isRunning());
  settle();
  EXPECT_EQ(service.targets(), std::vector<std::string>{"GET /api/events/morning-show"});
  advance(seconds(10) - milliseconds(1));
  EXPECT_EQ(requestCount(), 1u);
  advance(milliseconds(1));
  EXPECT_EQ(requestCount(), 2u);
  for (int i = 0; i < 7; ++i) advance(seconds(10));
  EXPECT_EQ(requestCount(), 9u);
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0], nlohmann::json({{"title", "Back"}}));
  EXPECT_EQ(updates[1].at("title"), "Morning Show");
  EXPECT_TRUE(updatesOnMain);
}

TEST_F(EventStatusPollerTest, AServiceThatDropsTheConnectionIsAskedAgainAfterTheInterval) {
  auto listener = platform::TcpListener::make();
  std::mutex mutex;
  std::condition_variable dropped;
  size_t connections = 0;
  std::thread dropper([&] {
    while (auto stream = listener->accept()) {
      stream->abort();
      std::lock_guard lock(mutex);
      ++connections;
      dropped.notify_all();
    }
  });
  auto waitForConnections = [&](size_t count) {
    std::unique_lock lock(mutex);
    return dropped.wait_for(lock, std::chrono::seconds(10), [&] { return connections >= count; });
  };
  apiBase = "http://127.0.0.1:" + std::to_string(listener->port());
  poller->start("show", 10.0, record());
  settle();
  EXPECT_TRUE(waitForConnections(1));
  advance(seconds(10));
  EXPECT_TRUE(waitForConnections(2));
  EXPECT_TRUE(updates.empty());
  EXPECT_TRUE(poller->isRunning());
  listener->close();
  dropper.join();
}

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
  advance(seconds(10));
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

TEST_F(EventStatusPollerTest, CancelEndsTheLoopWhileItSleepsOrWaits) {
  poller->start("show", 10.0, record());
  settle();
  poller->cancel();
  EXPECT_FALSE(poller->isRunning());
  EXPECT_EQ(runtime->pendingTimers(), 0u);  // the sleep is taken back
  advance(seconds(60));
  EXPECT_EQ(requestCount(), 1u);

  // Cancelled while the request is out: its answer is dropped.
  service.holdNext(Reply{200, {}, R"({"title":"Dropped"})"});
  poller->start("show", 10.0, record());
  runtime->runUntilIdle();
  ASSERT_TRUE(service.waitForRequests(2));
  poller->cancel();
  service.releaseHeld();
  settle();
  advance(seconds(60));
  EXPECT_EQ(requestCount(), 2u);
  EXPECT_EQ(updates.size(), 1u);

  // Cancelled before the first request went out.
  poller->start("show", 10.0, record());
  poller->cancel();
  advance(seconds(60));
  EXPECT_EQ(requestCount(), 2u);

  // Cancelled, or started anew, from the update itself.
  int calls = 0;
  poller->start("show", 10.0, [&](const nlohmann::json&) {
    ++calls;
    poller->cancel();
  });
  settle();
  advance(seconds(30));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(requestCount(), 3u);
  int restarts = 0;
  std::function<void(const nlohmann::json&)> restart = [&](const nlohmann::json&) {
    if (++restarts < 3) poller->start("again", 10.0, restart);
  };
  poller->start("show", 10.0, restart);
  for (int i = 0; i < 3; ++i) settle();
  EXPECT_EQ(restarts, 3);
  EXPECT_EQ(service.targets().back(), "GET /api/events/again");
}

TEST_F(EventStatusPollerTest, AStartReplacesTheRunningLoop) {
  std::vector<std::string> from;
  poller->start("one", 10.0, [&](const nlohmann::json&) { from.push_back("one"); });
  settle();
  advance(seconds(4));
  poller->start("two", 5.0, [&](const nlohmann::json&) { from.push_back("two"); });
  settle();  // at once, not at the old loop's time
  for (int i = 0; i < 4; ++i) advance(seconds(5));
  EXPECT_EQ(service.targets(), (std::vector<std::string>{"GET /api/events/one", "GET /api/events/two",
                                                         "GET /api/events/two", "GET /api/events/two",
                                                         "GET /api/events/two", "GET /api/events/two"}));
  EXPECT_EQ(from, (std::vector<std::string>{"one", "two", "two", "two", "two", "two"}));
}

TEST_F(EventStatusPollerTest, WithoutAUsableBaseOrKeyNothingStarts) {
  poller->start("show", 10.0, record());
  settle();
  for (const auto& [base, key] : std::vector<std::pair<std::string, std::string>>{
           {"", "show"}, {"ftp://events.example", "show"}, {"https://", "show"}, {"http:///api", "show"}, {service.base(), ""}}) {
    apiBase = base;
    poller->start(key, 10.0, record());
    EXPECT_FALSE(poller->isRunning()) << base << " " << key;
  }
  advance(seconds(60));  // the running loop went with the first of them
  EXPECT_EQ(requestCount(), 1u);
}

TEST_F(EventStatusPollerTest, TheBaseIsTheEventAPIBaseDefaultWhenNoneIsGiven) {
  auto previous = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  defaults->set("EventAPIBase", service.base());
  platform::UserDefaults::setStandard(defaults);
  EventStatusPoller::Environment env;
  env.runtime = runtime;
  env.http = http;
  EventStatusPoller fromDefaults(env);
  fromDefaults.start("show", 10.0, record());
  platform::UserDefaults::setStandard(previous);
  settle();
  EXPECT_EQ(service.targets(), std::vector<std::string>{"GET /api/events/show"});
  fromDefaults.cancel();
}

}  // namespace
}  // namespace quarzadel
