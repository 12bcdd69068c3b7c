// Chunking a 25 kB video message, and reading chunks back into messages, each
// against a plain copy of the same bytes.
//
// Writing (target: within 10 % of memcpy, no allocation per message): the
// connection's path cuts a message into chunks that reference its payload and
// walks them as the pieces a gather write hands the kernel (BM_ChunkMessage
// builds the payload through the byte array first, as the frame builder does;
// BM_ChunkOnly does not); BM_ChunkCopy lays the chunks end to end in one block,
// the path of a message the transport cannot keep; BM_SocketWrite adds the
// socket's pooled write around the chunks. Yardsticks: the frame copied whole,
// and copied in the chunks' places (the headers leave the pieces unaligned,
// which costs a plain copy about a third). Reading: a chunked stream arrives in
// 64 KiB reads and the reader hands out one message after another. Each run
// counts its allocations per message; after the runs the ratios to the
// yardsticks are printed.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
#include <string>
#include <thread>

#include "Platform/Dispatch/RuntimeExit.h"
#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Net/TcpListener.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocketWritePool.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

// Every allocation of the process, counted.
std::atomic<uint64_t> gAllocations{0};

void* operator new(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace rtmpmedley;

// Allocations per message of the timed loop.
class AllocationCount {
 public:
  AllocationCount() : start_(gAllocations.load()) {}
  void report(benchmark::State& state, size_t messages) const {
    const double n = static_cast<double>(gAllocations.load() - start_);
    state.counters["allocs/msg"] = messages ? n / static_cast<double>(messages) : 0;
  }

 private:
  uint64_t start_;
};

// The pieces a gather write takes, walked as the network thread walks them.
size_t walk(const RTMPChunkedMessage& chunks) {
  std::array<std::span<const uint8_t>, 64> pieces;
  size_t offset = 0;
  for (size_t n = chunks.pieces(offset, pieces); n > 0; n = chunks.pieces(offset, pieces)) {
    for (size_t i = 0; i < n; ++i) {
      benchmark::DoNotOptimize(pieces[i].data());
      offset += pieces[i].size();
    }
  }
  return offset;
}

constexpr size_t kFrameSize = 25000;
constexpr size_t kReadSize = 64 * 1024;
constexpr int kStreamMessages = 64;

medley::Data frameBytes() {
  medley::Data frame(kFrameSize);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 13);
  return frame;
}

void rate(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e9, benchmark::Counter::kIsRate);
}

// The yardstick: the frame copied once into a buffer of the chunked size.
void BM_Memcpy(benchmark::State& state) {
  const medley::Data frame = frameBytes();
  medley::Data out(kFrameSize + kFrameSize / 128 + 64);
  size_t bytes = 0;
  for (auto _ : state) {
    std::memcpy(out.data(), frame.data(), frame.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    bytes += frame.size();
  }
  rate(state, bytes);
}
BENCHMARK(BM_Memcpy);

// The same copy into the chunks' places: pieces of the chunk size, each after
// its header (8 bytes for the first chunk of type 1, 1 for the others), so
// that every piece but the first lands unaligned as it does in the chunks.
void BM_MemcpyChunkLayout(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const medley::Data frame = frameBytes();
  medley::Data out(kFrameSize + 8 + kFrameSize / size + 1);
  size_t bytes = 0;
  for (auto _ : state) {
    uint8_t* o = out.data() + 8;
    for (size_t offset = 0; offset < frame.size(); offset += size) {
      const size_t n = std::min(size, frame.size() - offset);
      std::memcpy(o, frame.data() + offset, n);
      o += n + 1;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    bytes += frame.size();
  }
  rate(state, bytes);
}
BENCHMARK(BM_MemcpyChunkLayout)->Arg(128)->Arg(4096)->Arg(8192);

void BM_ChunkMessage(benchmark::State& state) {
  const medley::Data frame = frameBytes();
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  ByteArray payload;
  payload.reserve(kFrameSize + 5);
  auto message = std::make_shared<RTMPVideoMessage>(1, 0, Data{});
  message->mutablePayload().reserve(kFrameSize + 5);
  size_t bytes = 0;
  const AllocationCount allocations;
  for (auto _ : state) {
    // Header and frame through the byte array, as the frame builder does.
    payload.setPosition(0);
    payload.writeUInt8(0x27).writeUInt8(0x01).writeUInt24(33).writeBytes(frame);
    message->mutablePayload().assign(payload.data().begin(), payload.data().end());
    message->timestamp += 33;
    bytes += walk(out.chunk(RTMPChunkType::one, 5, message));
  }
  allocations.report(state, state.iterations());
  rate(state, bytes);
}
BENCHMARK(BM_ChunkMessage)->Arg(128)->Arg(4096)->Arg(8192);

void BM_ChunkOnly(benchmark::State& state) {
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  const auto message = std::make_shared<RTMPVideoMessage>(1, 0, frameBytes());
  size_t bytes = 0;
  const AllocationCount allocations;
  for (auto _ : state) bytes += walk(out.chunk(RTMPChunkType::one, 5, message));
  allocations.report(state, state.iterations());
  rate(state, bytes);
}
BENCHMARK(BM_ChunkOnly)->Arg(128)->Arg(4096)->Arg(8192);

void BM_ChunkCopy(benchmark::State& state) {
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  RTMPVideoMessage message(1, 0, frameBytes());
  size_t bytes = 0;
  const AllocationCount allocations;
  for (auto _ : state) {
    const auto chunks = out.putMessage(RTMPChunkType::one, 5, message);
    benchmark::DoNotOptimize(chunks.data());
    benchmark::ClobberMemory();
    bytes += chunks.size();
  }
  allocations.report(state, state.iterations());
  rate(state, bytes);
}
BENCHMARK(BM_ChunkCopy)->Arg(128)->Arg(4096)->Arg(8192);

// The socket's part: a pooled write around the chunks, walked, then let go
// of as the connection does once it is written.
void BM_SocketWrite(benchmark::State& state) {
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  const auto message = std::make_shared<RTMPVideoMessage>(1, 0, frameBytes());
  const auto pool = RTMPSocketWritePool::make();
  std::array<std::span<const uint8_t>, 64> pieces;
  size_t bytes = 0;
  const AllocationCount allocations;
  for (auto _ : state) {
    auto write = pool->take(out.chunk(RTMPChunkType::one, 5, message));
    size_t offset = 0;
    for (size_t n = write->pieces(offset, pieces); n > 0; n = write->pieces(offset, pieces))
      for (size_t i = 0; i < n; ++i) offset += pieces[i].size();
    bytes += offset;
  }
  allocations.report(state, state.iterations());
  rate(state, bytes);
}
BENCHMARK(BM_SocketWrite)->Arg(128)->Arg(4096)->Arg(8192);

// The whole way out: messages handed to a connected socket over loopback,
// into a reader that discards them. Allocations per message count the
// network thread's as well.
void BM_SocketSend(benchmark::State& state) {
  constexpr int kBatch = 64;
  auto listener = platform::TcpListener::make();
  std::atomic<uint64_t> received{0};
  std::atomic<bool> done{false};
  std::thread sink([&] {
    auto stream = listener->accept(platform::seconds(10));
    if (!stream) return;
    std::vector<uint8_t> buffer(256 * 1024);
    while (!done.load()) {
      const long n = stream->read(buffer.data(), buffer.size(), platform::milliseconds(100));
      if (n < 0) break;
      received.fetch_add(static_cast<uint64_t>(n));
    }
  });
  auto runtime = std::make_shared<platform::ThreadRuntime>(2);
  auto socket = std::make_shared<RTMPSocket>(platform::QualityOfService::userInitiated,
                                             RTMPSocket::SecurityLevel::none, runtime);
  platform::blockingWait(socket->connect("127.0.0.1", listener->port()), runtime->globalQueue());
  RTMPChunkBuffer out;
  out.setChunkSize(static_cast<uint32_t>(state.range(0)));
  const auto message = std::make_shared<RTMPVideoMessage>(1, 0, frameBytes());
  const size_t perMessage = out.chunk(RTMPChunkType::one, 5, message).size();
  uint64_t expected = 0;
  // Warm the pools on the way.
  for (int i = 0; i < kBatch; ++i) socket->send(out.chunk(RTMPChunkType::one, 5, message));
  expected += kBatch * perMessage;
  while (received.load() < expected) std::this_thread::yield();
  const AllocationCount allocations;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) socket->send(out.chunk(RTMPChunkType::one, 5, message));
    expected += kBatch * perMessage;
    while (received.load() < expected) std::this_thread::yield();
  }
  allocations.report(state, static_cast<size_t>(state.iterations()) * kBatch);
  rate(state, static_cast<size_t>(state.iterations()) * kBatch * perMessage);
  done = true;
  platform::blockingWait(socket->close(), runtime->globalQueue());
  sink.join();
}
BENCHMARK(BM_SocketSend)->Arg(4096)->Arg(8192)->UseRealTime();

// Messages of 25 kB chunked at `chunkSize`, back to back.
medley::Data chunkedStream(uint32_t chunkSize) {
  RTMPChunkBuffer out;
  out.setChunkSize(chunkSize);
  medley::Data stream;
  for (int i = 0; i < kStreamMessages; ++i) {
    const RTMPVideoMessage message(1, static_cast<uint32_t>(i * 33), frameBytes());
    const auto chunks = out.putMessage(i == 0 ? RTMPChunkType::zero : RTMPChunkType::one, 5, message);
    stream.insert(stream.end(), chunks.begin(), chunks.end());
  }
  return stream;
}

// The reader's yardstick: the same stream copied once, 64 KiB at a time.
void BM_MemcpyStream(benchmark::State& state) {
  const medley::Data stream = chunkedStream(static_cast<uint32_t>(state.range(0)));
  medley::Data copy(stream.size());
  size_t bytes = 0;
  for (auto _ : state) {
    for (size_t offset = 0; offset < stream.size(); offset += kReadSize)
      std::memcpy(copy.data() + offset, stream.data() + offset, std::min(kReadSize, stream.size() - offset));
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
    bytes += stream.size();
  }
  rate(state, bytes);
}
BENCHMARK(BM_MemcpyStream)->Arg(128)->Arg(4096)->Arg(8192);

// The stream arriving in 64 KiB reads, read message by message. Each message
// owns its payload, so one allocation per message is the floor.
void BM_ReadChunks(benchmark::State& state) {
  const medley::Data stream = chunkedStream(static_cast<uint32_t>(state.range(0)));
  RTMPChunkReader reader;
  reader.setChunkSize(static_cast<uint32_t>(state.range(0)));
  size_t bytes = 0;
  int messages = 0;
  const RTMPChunkReader::Handler onMessage = [&messages](const RTMPChunkReader::Received& r) {
    benchmark::DoNotOptimize(r.message->payload().data());
    ++messages;
  };
  const AllocationCount allocations;
  for (auto _ : state) {
    for (size_t offset = 0; offset < stream.size(); offset += kReadSize)
      reader.append(std::span<const uint8_t>(stream).subspan(offset, std::min(kReadSize, stream.size() - offset)),
                    onMessage);
    bytes += stream.size();
  }
  allocations.report(state, static_cast<size_t>(messages));
  if (messages != kStreamMessages * static_cast<int>(state.iterations())) state.SkipWithError("messages lost");
  rate(state, bytes);
}
BENCHMARK(BM_ReadChunks)->Arg(128)->Arg(4096)->Arg(8192);

// The console output, and each run's rate kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Writing against one copy of the frame, whole and in the chunks' places;
  // reading against one copy of the same stream.
  std::cout << "\nrate / memcpy of the same bytes:\n";
  auto ratio = [&](const std::string& name, double value, const std::string& yardstick) {
    const auto it = reporter.rates.find(yardstick);
    if (it != reporter.rates.end() && it->second > 0)
      std::cout << "  " << name << ": " << value / it->second << "x of " << yardstick << "\n";
  };
  for (const auto& [name, value] : reporter.rates) {
    const std::string arg = name.find('/') == std::string::npos ? "" : name.substr(name.find('/') + 1);
    if (name.rfind("BM_Chunk", 0) == 0) {
      ratio(name, value, "BM_Memcpy");
      ratio(name, value, "BM_MemcpyChunkLayout/" + arg);
    }
    if (name.rfind("BM_ReadChunks/", 0) == 0) ratio(name, value, "BM_MemcpyStream/" + arg);
  }
  benchmark::Shutdown();
  return 0;
}
