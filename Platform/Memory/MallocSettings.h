#pragma once
// The C library allocator's thresholds for blocks of their own and for giving
// memory back, and its number of heaps, fixed for the whole process. Called
// first thing in main() by every program (the Studio and the tools).
//
// Why: by default glibc raises its threshold for mapping a block on its own to
// the size of any such block freed, up to 32 MiB. Each publish attempt makes and
// frees its encoders and their picture-sized buffers, so after the first
// reconnect the next attempt's buffers land in the heap instead, and what they
// leave behind between smaller live blocks is kept: resident memory climbed by
// megabytes with every reconnect and never came back. With the thresholds fixed
// at 128 KiB, large blocks are mapped and unmapped on their own every time and
// the heap gives back any free top above 128 KiB, so memory after a hundred
// reconnects stays where one live run leaves it. The cost is a few more map
// calls per attempt: the pictures themselves come from pools.
//
// Each attempt's encoder also starts threads of its own, and glibc gives new
// threads new heaps (up to eight per core), each keeping some resident pages:
// memory rose by some 15 % over the first ten reconnects before it levelled
// off. Two heaps serve this process's few thousand allocations a second
// without contention to speak of.
#include <cstddef>

namespace platform {

struct MallocSettings {
  // A block this large or larger is mapped on its own, and unmapped when freed.
  static constexpr size_t kMapAtLeast = 128 * 1024;
  // The heap gives back its free top once it is this large.
  static constexpr size_t kTrimAbove = 128 * 1024;
  // Heaps shared by all threads.
  static constexpr int kHeaps = 2;

  // Fixes all three for the process; false when the allocator refused any.
  static bool fix();
};

}  // namespace platform
