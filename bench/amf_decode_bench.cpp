// Decoding the AMF payloads a hostile server can send: peak bytes allocated
// per payload byte (every operator new of this executable is counted) and
// decoding time per payload byte. A refused payload is timed up to its refusal.
#define QZ_AMF_COUNT_ALLOCATIONS
#include "tests/RTMPMedley/RTMP/AMF/HostileAMF.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>

namespace {

using hostileamf::Bytes;
using hostileamf::Element;

void decodeShape(benchmark::State& state, const Bytes& payload, int64_t start) {
  int64_t peak = 0;
  bool refused = false;
  for (auto _ : state) {
    const auto decoded = hostileamf::decode(payload, start);
    peak = std::max(peak, decoded.peakBytes);
    refused = decoded.refused;
    benchmark::DoNotOptimize(decoded.values.data());
  }
  const double size = static_cast<double>(payload.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(payload.size()));
  state.counters["payload_B"] = size;
  state.counters["peak_B_per_B"] = static_cast<double>(peak) / size;
  // Seconds per payload byte, printed with an SI prefix.
  state.counters["time_per_B"] =
      benchmark::Counter(size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["refused"] = refused ? 1 : 0;
}

// "_result" of 63 nested arrays, about 200 KB, its innermost array of nulls or numbers.
void BM_NestedResult(benchmark::State& state) {
  const bool amf3 = state.range(0) != 0;
  const auto element = state.range(1) != 0 ? Element::number : Element::null;
  decodeShape(state, hostileamf::nestedResult(200'000, 63, element, amf3), amf3 ? 1 : 0);
}
BENCHMARK(BM_NestedResult)->ArgNames({"amf3", "numbers"})->ArgsProduct({{0, 1}, {0, 1}});

// "onMetaData" of about 99 KB whose keys step just short of the far-index distance.
void BM_SteppedMetadata(benchmark::State& state) { decodeShape(state, hostileamf::steppedMetadata(99'000), 0); }
BENCHMARK(BM_SteppedMetadata);

// One strict array of nulls as large as an RTMP message can be.
void BM_NullStrictArray(benchmark::State& state) { decodeShape(state, hostileamf::nullStrictArray(0xFFFFFF), 0); }
BENCHMARK(BM_NullStrictArray);

}  // namespace

BENCHMARK_MAIN();
