#include "Platform/Memory/MallocSettings.h"

#include <malloc.h>

namespace platform {

bool MallocSettings::fix() {
  // Setting either value also stops glibc from moving both by itself.
  const bool mapped = ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMapAtLeast)) == 1;
  const bool trimmed = ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kTrimAbove)) == 1;
  const bool heaps = ::mallopt(M_ARENA_MAX, kHeaps) == 1;
  return mapped && trimmed && heaps;
}

}  // namespace platform
