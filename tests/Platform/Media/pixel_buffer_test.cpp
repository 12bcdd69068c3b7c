#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "Platform/Media/PixelBuffer.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/PixelBufferPool.h"

using namespace platform;

namespace {

bool aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % PixelBuffer::kAlignment == 0; }

}  // namespace

TEST(PixelBuffer, PlanesAreAlignedAndSizedForOddDimensionsAndImpossibleSizesRefused) {
  auto nv12 = PixelBuffer::make(1921, 1081, PixelFormat::nv12VideoRange);
  ASSERT_TRUE(nv12);
  EXPECT_EQ(nv12->widthOfPlane(1), 961);  // chroma rounds up, not down
  EXPECT_EQ(nv12->heightOfPlane(1), 541);
  EXPECT_GE(nv12->bytesPerRowOfPlane(1), 961u * 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(aligned(nv12->baseAddressOfPlane(i)));
    EXPECT_EQ(nv12->bytesPerRowOfPlane(i) % 64, 0u);
  }
  EXPECT_GE(nv12->baseAddressOfPlane(1), nv12->baseAddressOfPlane(0) + nv12->plane(0).byteSize());

  auto p010 = PixelBuffer::make(1280, 720, PixelFormat::p010);
  ASSERT_TRUE(p010);
  EXPECT_GE(p010->bytesPerRowOfPlane(0), 1280u * 2);
  EXPECT_GE(p010->bytesPerRowOfPlane(1), 640u * 4);

  auto bgra = PixelBuffer::make(3, 2, PixelFormat::bgra);
  ASSERT_TRUE(bgra);
  EXPECT_EQ(bgra->baseAddressOfPlane(1), nullptr);
  EXPECT_EQ(bgra->plane(-1).data, nullptr);

  EXPECT_FALSE(PixelBuffer::make(0, 720, PixelFormat::nv12VideoRange));
  EXPECT_FALSE(PixelBuffer::make(1280, -1, PixelFormat::bgra));
  EXPECT_FALSE(PixelBuffer::make(100000, 10, PixelFormat::bgra));
}

TEST(PixelBuffer, FillBlackUsesEachFormatsBlack) {
  auto video = PixelBuffer::make(4, 2, PixelFormat::nv12VideoRange);
  auto full = PixelBuffer::make(4, 2, PixelFormat::nv12FullRange);
  auto p010 = PixelBuffer::make(4, 2, PixelFormat::p010);
  auto bgra = PixelBuffer::make(4, 2, PixelFormat::bgra);
  for (auto& b : {video, full, p010, bgra}) b->fillBlack();
  EXPECT_EQ(video->baseAddressOfPlane(0)[3], 16);
  EXPECT_EQ(full->baseAddressOfPlane(0)[3], 0);
  EXPECT_EQ(video->baseAddressOfPlane(1)[1], 128);
  EXPECT_EQ(reinterpret_cast<uint16_t*>(p010->baseAddressOfPlane(0))[3], 64 << 6);
  EXPECT_EQ(reinterpret_cast<uint16_t*>(p010->baseAddressOfPlane(1))[3], 512 << 6);
  const uint8_t* px = bgra->baseAddressOfPlane(0) + bgra->bytesPerRowOfPlane(0) + 12;
  EXPECT_EQ(px[0] + px[1] + px[2], 0);
  EXPECT_EQ(px[3], 255);
}

TEST(PixelBuffer, WrapKeepsOwnerAliveAndRejectsShortRows) {
  auto memory = std::make_shared<std::vector<uint8_t>>(16 * 4 + 16 * 2);
  std::weak_ptr<std::vector<uint8_t>> watch = memory;
  std::array<PixelBuffer::Plane, 2> planes{};
  planes[0] = {memory->data(), 16, 0, 0};
  planes[1] = {memory->data() + 64, 16, 0, 0};
  auto wrapped = PixelBuffer::wrap(16, 4, PixelFormat::nv12VideoRange, planes, memory);
  ASSERT_TRUE(wrapped);
  memory.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(wrapped->heightOfPlane(1), 2);
  wrapped.reset();
  EXPECT_TRUE(watch.expired());

  planes[0].bytesPerRow = 8;  // shorter than a 16-pixel row
  EXPECT_FALSE(PixelBuffer::wrap(16, 4, PixelFormat::nv12VideoRange, planes, nullptr));
}

TEST(PixelBufferPool, ReusesReleasedBuffersAndGrowsWhileSixAreHeld) {
  auto pool = PixelBufferPool::make(1280, 720, PixelFormat::nv12VideoRange, 6);
  ASSERT_TRUE(pool);
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 6; ++i) {
    held.push_back(pool->makePixelBuffer());
    ASSERT_TRUE(held.back());
  }
  auto seventh = pool->makePixelBuffer();
  ASSERT_TRUE(seventh);
  EXPECT_EQ(pool->inUseCount(), 7u);
  // A released buffer is the next one handed out: same memory, no allocation.
  const uint8_t* released = held[2]->baseAddressOfPlane(0);
  held[2].reset();
  auto again = pool->makePixelBuffer();
  EXPECT_EQ(again->baseAddressOfPlane(0), released);

  held.clear();
  seventh.reset();
  again.reset();
  EXPECT_EQ(pool->inUseCount(), 0u);
  EXPECT_EQ(pool->freeCount(), 7u);
  pool->flush();
  EXPECT_EQ(pool->freeCount(), 6u);
}

TEST(PixelBufferPool, MaximumFailsClearlyUntilABufferReturns) {
  PixelBufferPool::Attributes attrs;
  attrs.maximumBufferCount = 2;
  auto pool = PixelBufferPool::make(64, 64, PixelFormat::bgra, 1, attrs);
  ASSERT_TRUE(pool);
  auto a = pool->makePixelBuffer();
  auto b = pool->makePixelBuffer();
  PixelBufferPool::Status status = PixelBufferPool::Status::ok;
  EXPECT_FALSE(pool->makePixelBuffer(&status));
  EXPECT_EQ(status, PixelBufferPool::Status::exhausted);
  a.reset();
  EXPECT_TRUE(pool->makePixelBuffer(&status));

  attrs.maximumBufferCount = 1;
  EXPECT_FALSE(PixelBufferPool::make(64, 64, PixelFormat::bgra, 3, attrs));  // maximum below minimum
  EXPECT_FALSE(PixelBufferPool::make(0, 64, PixelFormat::bgra, 3));
}

TEST(PixelBufferPool, BufferOutlivingItsPoolFreesItself) {
  auto pool = PixelBufferPool::make(320, 240, PixelFormat::nv12VideoRange, 2);
  auto survivor = pool->makePixelBuffer();
  std::weak_ptr<PixelBufferPool> watch = pool;
  pool.reset();
  EXPECT_TRUE(watch.expired());  // a held buffer does not keep the pool alive
  survivor->baseAddressOfPlane(0)[0] = 1;  // still valid memory
  survivor.reset();                        // sanitizer builds catch a double free or leak here
}

TEST(PixelBufferPool, ConcurrentTakeAndReleaseKeepsCountsRight) {
  auto pool = PixelBufferPool::make(16, 16, PixelFormat::bgra, 4);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto a = pool->makePixelBuffer();
        auto b = pool->makePixelBuffer();
        if (!a || !b || a == b) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pool->inUseCount(), 0u);
  EXPECT_LE(pool->freeCount(), 8u);  // never more than were out at once
}

// A pool grown during a stall gives back, once they have been idle long enough,
// the buffers nobody took since; the minimum and the buffers a steady load keeps
// reusing stay.
TEST(PixelBufferPool, ShrinksBackToItsMinimumOnceTheBuffersOfAStallAreIdle) {
  auto clock = VirtualRuntime::make();
  PixelBufferPool::Attributes attrs;
  attrs.idleRelease = seconds(3);
  attrs.clock = clock;
  auto pool = PixelBufferPool::make(64, 64, PixelFormat::nv12VideoRange, 2, attrs);
  ASSERT_TRUE(pool);
  std::vector<PixelBufferRef> stalled;
  for (int i = 0; i < 8; ++i) stalled.push_back(pool->makePixelBuffer());
  stalled.clear();  // the stall ends: all eight come back at once
  EXPECT_EQ(pool->freeCount(), 8u);

  // A steady load of one picture at a time keeps reusing the newest buffer.
  for (int frame = 0; frame < 89; ++frame) {
    clock->advance(milliseconds(33));
    auto picture = pool->makePixelBuffer();
    ASSERT_TRUE(picture);
  }
  EXPECT_EQ(pool->freeCount(), 8u) << "freed before being idle for 3 s";
  clock->advance(milliseconds(100));
  pool->makePixelBuffer();
  EXPECT_EQ(pool->freeCount(), 2u) << "the idle ones above the minimum are freed";
  EXPECT_EQ(pool->inUseCount(), 0u);

  // A held buffer counts towards the minimum: nothing below it is freed.
  auto held = pool->makePixelBuffer();
  clock->advance(seconds(10));
  pool->releaseIdle();
  EXPECT_EQ(pool->freeCount() + pool->inUseCount(), 2u);
  held.reset();
  EXPECT_EQ(pool->freeCount(), 2u);

  // Without an idle release time the pool keeps what it grew to.
  auto keeping = PixelBufferPool::make(64, 64, PixelFormat::nv12VideoRange, 1);
  std::vector<PixelBufferRef> burst;
  for (int i = 0; i < 4; ++i) burst.push_back(keeping->makePixelBuffer());
  burst.clear();
  keeping->releaseIdle();
  EXPECT_EQ(keeping->freeCount(), 4u);
}
