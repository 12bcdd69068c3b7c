// Chunking a 25 kB video message into memory: the payload is built through the
// byte array and cut by the output chunk buffer into one contiguous block.
#include <benchmark/benchmark.h>

#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

namespace {

using namespace rtmpmedley;

constexpr size_t kFrameSize = 25000;

medley::Data frameBytes() {
  medley::Data frame(kFrameSize);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 13);
  return frame;
}

void BM_ChunkMessage(benchmark::State& state) {
  const medley::Data frame = frameBytes();
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  ByteArray payload;
  payload.reserve(kFrameSize + 5);
  RTMPVideoMessage message(1, 0, {});
  message.mutablePayload().reserve(kFrameSize + 5);
  size_t bytes = 0;
  for (auto _ : state) {
    // Header and frame through the byte array, as the frame builder does.
    payload.setPosition(0);
    payload.writeUInt8(0x27).writeUInt8(0x01).writeUInt24(33).writeBytes(frame);
    message.mutablePayload().assign(payload.data().begin(), payload.data().end());
    message.timestamp += 33;
    const auto chunks = out.putMessage(RTMPChunkType::one, 5, message);
    benchmark::DoNotOptimize(chunks.data());
    bytes += chunks.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ChunkMessage)->Arg(128)->Arg(4096)->Arg(8192);

void BM_ChunkOnly(benchmark::State& state) {
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  RTMPVideoMessage message(1, 0, frameBytes());
  size_t bytes = 0;
  for (auto _ : state) {
    const auto chunks = out.putMessage(RTMPChunkType::one, 5, message);
    benchmark::DoNotOptimize(chunks.data());
    bytes += chunks.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ChunkOnly)->Arg(128)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
