// The allocator's thresholds stay fixed after large blocks come and go, as
// they do at every reconnect: a large block freed does not make the next ones
// heap blocks, and a heap emptied of many blocks gives its memory back.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Platform/Memory/MallocSettings.h"
#include "SanitizedBuild.h"

namespace platform {
namespace {

// Touches the block and keeps the compiler from eliding the allocation.
void* used(size_t size) {
  void* block = std::malloc(size);
  std::memset(block, 1, size);
  asm volatile("" : : "r"(block) : "memory");
  return block;
}

TEST(MallocSettings, LargeBlocksFreedLeaveNothingBehindInTheHeap) {
  // A sanitizer's allocator stands in for the C library's and takes none of its settings.
  if (qztest::kSanitizedBuild) GTEST_SKIP() << "the C library's allocator is replaced in this build";
  ASSERT_TRUE(MallocSettings::fix());
  constexpr size_t kMiB = 1024 * 1024;
  constexpr size_t kPiece = MallocSettings::kMapAtLeast - 4096;
  // Made first, so that nothing small lands above the blocks below.
  std::vector<void*> pictures, pieces;
  pictures.reserve(4);
  pieces.reserve(32);

  // An encoder's picture buffer freed at the end of an attempt.
  std::free(used(8 * kMiB));
  const auto before = ::mallinfo2();

  // The next attempt's buffers are still mapped each on their own, and unmapped when freed.
  for (int i = 0; i < 4; ++i) pictures.push_back(used(2 * kMiB));
  const auto holding = ::mallinfo2();
  EXPECT_EQ(holding.hblks, before.hblks + 4);
  EXPECT_GE(holding.hblkhd, before.hblkhd + 8 * kMiB);
  for (void* p : pictures) std::free(p);
  EXPECT_EQ(::mallinfo2().hblks, before.hblks);
  EXPECT_LT(::mallinfo2().arena, before.arena + kMiB);

  // Blocks just under the threshold fill the heap; freed, it goes back to the system.
  // (Checked once all are freed: a failure's message would land above them.)
  for (int i = 0; i < 32; ++i) pieces.push_back(used(kPiece));
  const auto filled = ::mallinfo2();
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) std::free(*it);
  const auto emptied = ::mallinfo2();
  EXPECT_GE(filled.arena, before.arena + 3 * kMiB);
  EXPECT_LT(emptied.arena, before.arena + kMiB);
}

}  // namespace
}  // namespace platform
