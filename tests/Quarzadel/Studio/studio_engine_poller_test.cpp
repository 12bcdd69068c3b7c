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
  // Lets the requests that went out be answered and runs their completions.
  void settle() {
    runtime->runUntilIdle();
    ASSERT_TRUE(http->waitForInFlight(platform::seconds(10)));
    runtime->runUntilIdle();
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> out;
    for (const auto& r : service.requests()) out.push_back(r.method + " " + r.target);
    return out;
  }
};

TEST_F(StudioEnginePolling, TheStreamKeyIsOnePercentEncodedPathSegment) {
  int published = 0;
  auto watch = engine->event().subscribe([&](const StudioEvent&) { ++published; });
  published = 0;
  engine->publisherStateDidChange(State::live(t0));
  settle();
  EXPECT_EQ(targets(), std::vector<std::string>{"GET /api/events/key%20with%20spaces%3F%23%25%26%2B%3D"});
  // The answer is merged into the event.
  auto event = engine->event().value();
  EXPECT_EQ(event.title, "Renamed");
  EXPECT_EQ(event.liveViewers, 7);
  EXPECT_EQ(event.eventStatus, "live");
  EXPECT_EQ(event.watchURL, "https://watch.test/e");
  EXPECT_EQ(published, 1);

  // The same answer again publishes nothing; a new count does.
  runtime->advance(platform::seconds(10));
  settle();
  EXPECT_EQ(targets().size(), 2u);
  EXPECT_EQ(published, 1);
  {
    std::lock_guard lock(mutex);
    answer = R"({"liveViewers":8})";
  }
  runtime->advance(platform::seconds(3));
  engine->publisherStateDidChange(State::live(t0));  // same period: no status change, but asked again at once
  settle();
  EXPECT_EQ(targets().size(), 3u);
  EXPECT_EQ(reported.size(), 1u);
  EXPECT_EQ(engine->event().value().liveViewers, 8);
  EXPECT_EQ(published, 2);

  // Ready ends the polling.
  engine->publisherStateDidChange(State::idle());
  runtime->advance(platform::seconds(30));
  settle();
  EXPECT_EQ(targets().size(), 3u);
}

}  // namespace
}  // namespace quarzadel
