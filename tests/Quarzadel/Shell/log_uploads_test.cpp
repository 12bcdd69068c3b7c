// The program's wait for the session-log uploads at termination: it ends when
// they end, however long they take, counts the ones that failed, and ends at
// once when the host abandons it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "Quarzadel/Shell/LogUploads.h"

namespace quarzadel {
namespace {

using namespace std::chrono_literals;

TEST(LogUploads, TheWaitLastsAsLongAsTheUploadsAndTheHostMayAbandonIt) {
  std::vector<std::function<void(bool)>> done;
  std::mutex mutex;
  auto uploads = LogUploads::make([&](const std::filesystem::path&, std::function<void(bool)> finish) {
    std::lock_guard lock(mutex);
    done.push_back(std::move(finish));
  });
  EXPECT_TRUE(uploads->waitAll());  // nothing started: nothing to wait for
  uploads->upload("/logs/a.log");
  uploads->upload("/logs/b.log");
  auto waited = std::async(std::launch::async, [&] { return uploads->waitAll(); });
  // No fixed bound: the wait is still on after what an upload of a large log may take.
  EXPECT_EQ(waited.wait_for(200ms), std::future_status::timeout);
  done[0](true);
  EXPECT_EQ(waited.wait_for(50ms), std::future_status::timeout);
  done[1](false);
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waited.get());
  EXPECT_EQ(uploads->pending(), 0);
  EXPECT_EQ(uploads->failed(), 1);

  // Abandoned (an interrupt): the wait ends with the upload still in flight, and
  // its late end is still taken.
  uploads->upload("/logs/c.log");
  auto abandoned = std::async(std::launch::async, [&] { return uploads->waitAll(); });
  EXPECT_EQ(abandoned.wait_for(100ms), std::future_status::timeout);
  uploads->abandon();
  ASSERT_EQ(abandoned.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(abandoned.get());
  EXPECT_FALSE(uploads->waitAll());
  done[2](true);
  EXPECT_EQ(uploads->pending(), 0);
}

}  // namespace
}  // namespace quarzadel
