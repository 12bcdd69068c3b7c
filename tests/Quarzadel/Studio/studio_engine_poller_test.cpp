// The engine's event-status polling against a loopback event service: the
// stream key as one path segment, answers merged into the event, the loop
// from live to ready, and no polling with an ingest override.
#include <gtest/gtest.h>

#include "Platform/Net/TestHttpServer.h"
#include "Quarzadel/Studio/studio_engine_fixture.h"

namespace quarzadel {
namespace {

using platform::testing::TestHttpServer;
using State = RTMPPublisher::State;

const platform::Date t0{std::chrono::seconds(1'800'000'100)};

struct StudioEnginePolling : testing::StudioEngineFixture {
  std::mutex mutex;
  std::string answer = R"({"title":"Renamed","liveViewers":"7","event_status":"live","url":"https://watch.test/e"})";
  TestHttpServer service{[this](const TestHttpServer::Request&) {
    std::lock_guard lock(mutex);
    return TestHttpServer::Reply{200, {}, answer};
  }};
  std::shared_ptr<platform::HttpClient> http = platform::HttpClient::make();

  void SetUp() override {
    StudioEngineFixture::SetUp();
    streamKey = "key with spaces?#%&+=";
    pollerEnvironment.http = http;
    pollerEnvironment.apiBase = [this] { return service.url(""); };
    makeEngine();
    run(engine->start());
  }
  void TearDown() override {
    if (engine) run(engine->close());
    http->waitForInFlight(platform::seconds(10));
    StudioEngineFixture::TearDown();
  }
  // Moves on, lets the requests that went out be answered and runs their completions.
  void settle(double seconds = 0) {
    advance(seconds);
    runtime->runUntilIdle();
    ASSERT_TRUE(http->waitForInFlight(platform::seconds(10)));
    runtime->runUntilIdle();
  }
};

TEST_F(StudioEnginePolling, TheStreamKeyIsOnePercentEncodedPathSegment) {
  int published = 0;
  auto watch = engine->event().subscribe([&](const StudioEvent&) { ++published; });
  published = 0;
  engine->publisherStateDidChange(State::live(t0));
  settle();
  ASSERT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(service.requests()[0].target, "/api/events/key%20with%20spaces%3F%23%25%26%2B%3D");
  // The answer is merged into the event; the same answer again publishes nothing, a new count does.
  const auto event = engine->event().value();
  EXPECT_EQ(std::tuple(event.title, event.liveViewers, event.watchURL),
            std::tuple("Renamed", 7, std::optional<std::string>("https://watch.test/e")));
  EXPECT_EQ(event.streamKey, streamKey);
  settle(10);
  EXPECT_EQ(service.requests().size(), 2u);
  EXPECT_EQ(published, 1);
  {
    std::lock_guard lock(mutex);
    answer = R"({"liveViewers":8})";
  }
  advance(3);
  engine->publisherStateDidChange(State::live(t0));  // same period: no status change, but asked again at once
  settle();
  EXPECT_EQ(service.requests().size(), 3u);
  EXPECT_EQ(reported.size(), 1u);
  EXPECT_EQ(engine->event().value().liveViewers, 8);
  EXPECT_EQ(published, 2);

  // Ready ends the polling.
  engine->publisherStateDidChange(State::idle());
  settle(30);
  EXPECT_EQ(service.requests().size(), 3u);
}

}  // namespace
}  // namespace quarzadel
