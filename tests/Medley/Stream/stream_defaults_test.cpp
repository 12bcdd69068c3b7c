#include <gtest/gtest.h>

#include "Medley/Stream/stream_test_support.h"

using namespace medleytest;
using medley::SoundTransform;

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

TEST_F(StreamDefaultsTest, TransformGoesToAndComesFromThePlayerNodeWhenThereIsOne) {
  EXPECT_FALSE(runNow(rt, stream->soundTransform()).has_value());
  runNow(rt, stream->setSoundTransform(SoundTransform{0.1f, 0.2f}));
  runNow(rt, stream->attachAudioPlayer(nullptr));
  stream->playback = std::make_shared<FakePlayback>("playback", rt);
  EXPECT_FALSE(runNow(rt, stream->soundTransform()).has_value()) << "a playback half without a node";
  runNow(rt, stream->setSoundTransform(SoundTransform{0.1f, 0.2f}));

  auto node = std::make_shared<FakeNode>("node", rt);
  stream->playback->node = node;
  EXPECT_EQ(runNow(rt, stream->soundTransform()), (SoundTransform{0.5f, -0.25f}));
  runNow(rt, stream->setSoundTransform(SoundTransform{0.8f, 1.0f}));
  EXPECT_EQ(node->transform, (SoundTransform{0.8f, 1.0f}));
  runNow(rt, stream->attachAudioPlayer(nullptr));
  EXPECT_EQ(stream->playback->attachCalls, 1);
}
