#include <gtest/gtest.h>

#include "Medley/Stream/stream_test_support.h"

using namespace medleytest;

namespace {

struct StreamDefaultsTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>(rt);
};

}  // namespace

TEST_F(StreamDefaultsTest, OutputsAreKeptOnceEachInOrderAndRemovedByIdentity) {
  auto a = std::make_shared<NullOutput>();
  auto b = std::make_shared<NullOutput>();
  runNow(rt, stream->addOutput(a));
  runNow(rt, stream->addOutput(b));
  runNow(rt, stream->addOutput(a));
  ASSERT_EQ(stream->outputs().size(), 2u);
  EXPECT_EQ(stream->outputs()[0], a);
  EXPECT_EQ(stream->outputs()[1], b);

  runNow(rt, stream->removeOutput(std::make_shared<NullOutput>()));
  runNow(rt, stream->removeOutput(a));
  ASSERT_EQ(stream->outputs().size(), 1u);
  EXPECT_EQ(stream->outputs()[0], b);
}
