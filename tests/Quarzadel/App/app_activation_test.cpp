// Signs of activation fold into one activation on virtual time: a burst after
// its quiet spell, a steady trickle at the latest bound.
#include "Quarzadel/App/AppActivation.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Platform/Dispatch/VirtualRuntime.h"

namespace quarzadel {
namespace {

struct Activations : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<AppActivation> activation = AppActivation::make(rt);
  std::vector<platform::Nanos> heard;
  platform::Subscription subscription = activation->activations().sink([this](int64_t n) {
    EXPECT_EQ(n, static_cast<int64_t>(heard.size()) + 1);
    heard.push_back(rt->now());
  });
};

TEST_F(Activations, ABurstIsHeardOnceAfterItsQuietSpell) {
  const auto began = rt->now();
  // The focus-in, the session and a node's access list often change together.
  std::thread other([&] { activation->notify(); });
  other.join();
  activation->notify();
  rt->runUntilIdle();
  rt->advance(platform::milliseconds(100));
  activation->notify();
  rt->runUntilIdle();
  rt->advance(AppActivation::kQuiet - platform::milliseconds(1));
  EXPECT_TRUE(heard.empty()) << "still within the quiet spell after the last sign";
  rt->advance(platform::milliseconds(1));
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0] - began, platform::milliseconds(100) + AppActivation::kQuiet);

  // A later sign is a new activation.
  activation->notify();
  rt->runUntilIdle();
  rt->advance(AppActivation::kQuiet);
  EXPECT_EQ(heard.size(), 2u);
}

TEST_F(Activations, ASteadyTrickleIsHeardAtTheLatestBoundAndAgainAfterIt) {
  const auto began = rt->now();
  for (int i = 0; i < 30; ++i) {
    activation->notify();
    rt->runUntilIdle();
    rt->advance(platform::milliseconds(100));
  }
  ASSERT_GE(heard.size(), 2u);
  EXPECT_EQ(heard[0] - began, AppActivation::kLatest);
  EXPECT_LE(heard[1] - heard[0], AppActivation::kLatest + platform::milliseconds(100));
}

}  // namespace
}  // namespace quarzadel
