#pragma once
// Payloads a hostile server can send to make AMF decoding store far more than
// it receives, and a meter of what decoding them allocates. Shared by the AMF
// tests, the fuzz seeds and the decoding benchmark.
//
// The meter replaces the global operator new: include this header with
// QZ_AMF_COUNT_ALLOCATIONS defined in exactly one file of an executable.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"

namespace hostileamf {

using Bytes = std::vector<uint8_t>;

inline void u32(Bytes& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// What the innermost array holds.
enum class Element { null, number };

// "_result" whose argument is `levels` arrays nested one in the other, the
// innermost filled with elements up to about `bytes`. With `amf3` it is the
// form of a type-17 command: a format byte, then the arrays in AMF3 behind the
// switch marker.
inline Bytes nestedResult(size_t bytes, int levels, Element element, bool amf3) {
  Bytes out = {0x02, 0x00, 0x07, '_', 'r', 'e', 's', 'u', 'l', 't', 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x05};
  if (amf3) {
    out.insert(out.begin(), 0x00);
    out.push_back(0x11);
  }
  const size_t elementSize = element == Element::null ? 1 : 9;
  const size_t header = amf3 ? 6 : 5;
  const size_t used = out.size() + header * size_t(levels);
  const uint32_t count = bytes > used ? uint32_t((bytes - used) / elementSize) : 1;
  for (int level = 0; level < levels; ++level) {
    const uint32_t n = level + 1 == levels ? count : 1;
    if (amf3) {
      // Array marker, inline dense count as a four-byte U29, no named entries.
      const uint32_t u = n << 1 | 1;
      out.insert(out.end(), {0x09, uint8_t((u >> 22) | 0x80), uint8_t(((u >> 15) & 0x7F) | 0x80),
                             uint8_t(((u >> 8) & 0x7F) | 0x80), uint8_t(u), 0x01});
    } else {
      out.push_back(0x0A);
      u32(out, n);
    }
  }
  const Bytes value = element == Element::null
                          ? Bytes{uint8_t(amf3 ? 0x01 : 0x05)}
                          : Bytes{uint8_t(amf3 ? 0x05 : 0x00), 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18};
  for (uint32_t i = 0; i < count; ++i) out.insert(out.end(), value.begin(), value.end());
  return out;
}

// "onMetaData" with an ECMA array whose keys step just short of the distance
// at which an index is kept by name: "1023", "2047", ..., each growing the dense part.
inline Bytes steppedMetadata(size_t bytes) {
  Bytes out = {0x02, 0x00, 0x0A, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a', 0x08, 0, 0, 0, 0};
  const int64_t step = rtmpmedley::AMFArray::kMaxDenseGap;
  for (int64_t index = step - 1; out.size() + 3 < bytes; index += step) {
    const std::string key = std::to_string(index);
    out.insert(out.end(), {0x00, uint8_t(key.size())});
    out.insert(out.end(), key.begin(), key.end());
    out.push_back(0x05);
  }
  out.insert(out.end(), {0x00, 0x00, 0x09});
  return out;
}

// One strict array of nulls filling `bytes`: legal, and 1 byte per element.
inline Bytes nullStrictArray(size_t bytes) {
  Bytes out = {0x0A};
  u32(out, uint32_t(bytes - 5));
  out.insert(out.end(), bytes - 5, 0x05);
  return out;
}

// Bytes held through operator new now and at most since the last reset.
inline std::atomic<int64_t> liveBytes{0};
inline std::atomic<int64_t> peakBytes{0};

struct Decoded {
  std::vector<rtmpmedley::AMFValue> values;
  bool failed = false;   // an error ended the payload
  bool refused = false;  // ... and it was a refusal to decode
  int64_t peakBytes = 0;  // the most that decoding held at once, beyond the payload itself
};

// Reads every value as a command or data message reader does: one
// serializer for the payload, from `start` to the end.
inline Decoded decode(const Bytes& payload, int64_t start = 0) {
  rtmpmedley::AMF0Serializer s(medley::Data(payload.begin(), payload.end()));
  s.setPosition(start);
  Decoded out;
  out.values.reserve(8);
  const int64_t base = liveBytes.load();
  peakBytes.store(base);
  try {
    while (s.bytesAvailable() > 0) out.values.push_back(s.deserialize());
  } catch (const rtmpmedley::AMFSerializerError& e) {
    out.failed = true;
    out.refused = e.kind() == rtmpmedley::AMFSerializerError::Kind::deserialize;
  } catch (...) {
    out.failed = true;
  }
  out.peakBytes = peakBytes.load() - base;
  return out;
}

}  // namespace hostileamf

#ifdef QZ_AMF_COUNT_ALLOCATIONS
#include <malloc.h>

namespace hostileamf::detail {
inline void* allocate(size_t size) noexcept {
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  const auto held = int64_t(malloc_usable_size(p));
  const int64_t live = liveBytes.fetch_add(held) + held;
  int64_t peak = peakBytes.load();
  while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
  }
  return p;
}

inline void release(void* p) noexcept {
  if (p) liveBytes.fetch_sub(int64_t(malloc_usable_size(p)));
  std::free(p);
}
}  // namespace hostileamf::detail

// Every form, so that no block crosses between this meter and another allocator.
void* operator new(size_t size) {
  if (void* p = hostileamf::detail::allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return hostileamf::detail::allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return hostileamf::detail::allocate(size); }
void operator delete(void* p) noexcept { hostileamf::detail::release(p); }
void operator delete[](void* p) noexcept { hostileamf::detail::release(p); }
void operator delete(void* p, size_t) noexcept { hostileamf::detail::release(p); }
void operator delete[](void* p, size_t) noexcept { hostileamf::detail::release(p); }
#endif
