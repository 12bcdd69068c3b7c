#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "Platform/Net/HttpClient.h"

namespace platform {
namespace {

// A completion run on the client's own thread (no queue) may hold the last
// reference to the client: releasing it there must not join that thread with
// itself, and later requests still end.
TEST(HttpClientLifetime, LastReferenceReleasedByACompletionOnTheClientsThread) {
  // Holds the client; once the client's release has returned, says so.
  struct Holder {
    std::shared_ptr<HttpClient> client;
    std::promise<void> released;
    ~Holder() {
      client.reset();
      released.set_value();
    }
  };
  auto holder = std::make_shared<Holder>();
  holder->client = HttpClient::make();
  auto released = holder->released.get_future();
  // Refused before any network access: completes at once on the client's thread.
  holder->client->send(HttpRequest::get("ftp://example.invalid/"), nullptr, [holder](HttpResult result) {
    EXPECT_TRUE(std::holds_alternative<HttpError>(result));
  });
  holder.reset();
  EXPECT_EQ(released.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace platform
