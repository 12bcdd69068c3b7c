#include "fuzz/RTMPFuzzDrivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtmpfuzz::chunkStream(data, size);
  return 0;
}
