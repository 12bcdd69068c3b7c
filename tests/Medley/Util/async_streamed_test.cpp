#include <gtest/gtest.h>

#include "Medley/Sources/Util/AsyncStreamed.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"
#include "Medley/Util/virtual_run.h"

using medley::AsyncStreamed;
using medley::AsyncStreamedFlow;
using medleytest::Collector;

namespace {

struct AsyncUtilTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
};

}  // namespace

TEST_F(AsyncUtilTest, StreamedValueYieldsChangesOnlyAndEachReadRepeatsTheCurrentValue) {
  AsyncStreamed<int> value(1);
  value.setValue(1);  // equal: nothing
  Collector<int> reader(rt, value.stream());
  rt->runUntilIdle();
  value.setValue(2);
  value.setValue(2);
  value.setValue(3);
  auto again = value.stream();  // the same sequence, with the current value once more
  rt->runUntilIdle();
  EXPECT_EQ(reader.values(), (std::vector<int>{1, 2, 3, 3}));
}

TEST_F(AsyncUtilTest, FlowDropsValuesWithoutAReaderAndMovesToTheNewestSequence) {
  AsyncStreamedFlow<int> flow;
  EXPECT_EQ(flow.yield(1), platform::YieldResult::dropped);
  Collector<int> first(rt, flow.stream());
  flow.yield(2);
  Collector<int> second(rt, flow.stream());
  flow.yield(3);
  rt->runUntilIdle();
  EXPECT_EQ(first.values(), (std::vector<int>{2}));
  EXPECT_TRUE(first.ended());
  EXPECT_EQ(second.values(), (std::vector<int>{3}));

  flow.finish();
  rt->runUntilIdle();
  EXPECT_TRUE(second.ended());
  EXPECT_EQ(flow.yield(4), platform::YieldResult::dropped);
}

TEST_F(AsyncUtilTest, DroppingAFlowEndsItsSequence) {
  std::optional<Collector<int>> reader;
  {
    AsyncStreamedFlow<int> flow(platform::BufferingPolicy::bufferingNewest(2));
    reader.emplace(rt, flow.stream());
    for (int i = 0; i < 4; ++i) flow.yield(i);
  }
  rt->runUntilIdle();
  EXPECT_EQ(reader->values(), (std::vector<int>{2, 3}));
  EXPECT_TRUE(reader->ended());
}
