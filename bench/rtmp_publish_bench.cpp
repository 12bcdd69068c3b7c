// Publishing over loopback: the frames of an encoded FLV file go through an
// RTMP connection (chunking, one socket write per message) into a server that
// reads and discards them, as fast as the connection hands them over. The
// sink announces a chunk size of 4096 as real servers do (the ffmpeg command
// line adopts the server's size; at the protocol's 128 it crawls). For
// comparison the ffmpeg command line publishes the same file to the same
// sink in the same run (-c copy, no pacing), its start-up cancelled out.
//
// Counters: bytes_per_second (into the sink, chunk headers included; target
// >= 500 MB/s), writes_per_message (target 1), and after the benchmarks the
// ffmpeg run's rate and the ratio ours / ffmpeg's.
//
// Other modes, for bench/rtmp_publish_compare.sh (which runs both publishers
// against nginx, directly and through stunnel, and times each until nginx has
// taken the last byte):
//   rtmp_publish_bench --flv                      prints the test FLV's path, making it first
//   rtmp_publish_bench --publish URL KEY FILE [LOOPS]
//                                                publishes FILE's tags LOOPS times (default 1, times
//                                                running on) to URL as KEY, and exits once sent
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Net/TcpListener.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

extern char** environ;

namespace {

using namespace rtmpmedley;
using platform::Async;

// The chunk size nginx announces by default.
constexpr uint32_t kServerChunkSize = 4096;

// A server that answers what a publisher needs (connect, createStream,
// publish) and from then on only counts and drops what arrives.
class SinkServer {
 public:
  SinkServer() : listener_(platform::TcpListener::make()) {
    thread_ = std::thread([this] {
      while (!stopping_) {
        auto stream = listener_->accept(platform::seconds(1));
        if (!stream) continue;
        serve(*stream);
        ++ended_;
      }
    });
  }
  ~SinkServer() {
    stopping_ = true;
    listener_->close();
    thread_.join();
  }
  uint16_t port() const { return listener_->port(); }
  uint64_t received() const { return received_.load(); }
  bool publishing() const { return publishing_.load(); }
  // Connections read to their end (or dropped on a fault).
  int ended() const { return ended_.load(); }

 private:
  void send(platform::TcpStream& stream, RTMPChunkBuffer& writer, uint16_t csid, const RTMPMessage& message) {
    const auto bytes = writer.putMessage(RTMPChunkType::zero, csid, message);
    stream.write(bytes.data(), bytes.size());
  }
  void status(platform::TcpStream& stream, RTMPChunkBuffer& writer, const std::string& name, int64_t id,
              uint32_t streamId, const std::string& code) {
    AMFList arguments;
    arguments.emplace_back(AMFObject{{"code", AMFValue(code)}, {"level", AMFValue("status")},
                                     {"description", AMFValue("")}});
    send(stream, writer, 3, RTMPCommandMessage(streamId, 0, RTMPObjectEncoding::amf0, name, id, std::nullopt,
                                               std::move(arguments)));
  }

  void serve(platform::TcpStream& stream) {
    publishing_ = false;
    std::vector<uint8_t> c0c1(1537), c2(1536);
    if (!stream.readExactly(c0c1.data(), c0c1.size(), platform::seconds(10))) return;
    std::vector<uint8_t> reply(1 + 1536, 0);
    reply[0] = 3;
    reply.insert(reply.end(), c0c1.begin() + 1, c0c1.end());
    stream.write(reply);
    if (!stream.readExactly(c2.data(), c2.size(), platform::seconds(10))) return;

    RTMPChunkReader reader;
    RTMPChunkBuffer writer;
    std::vector<uint8_t> buffer(1 << 20);
    bool discarding = false;
    for (;;) {
      const long n = stream.read(buffer.data(), buffer.size(), platform::seconds(30));
      if (n <= 0) return;
      if (discarding) {
        received_ += static_cast<uint64_t>(n);
        continue;
      }
      std::vector<std::shared_ptr<RTMPCommandMessage>> commands;
      reader.append(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)),
                    [&](const RTMPChunkReader::Received& r) {
                      if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r.message)) commands.push_back(c);
                    });
      for (const auto& c : commands) {
        if (c->commandName == "connect") {
          // What nginx sends: window, peer bandwidth, its chunk size, then the answer.
          send(stream, writer, 2, RTMPWindowAcknowledgementSizeMessage(0, 0, 5000000));
          send(stream, writer, 2,
               RTMPSetPeerBandwidthMessage(0, 0, 5000000, RTMPSetPeerBandwidthMessage::Limit::dynamic));
          send(stream, writer, 2, RTMPSetChunkSizeMessage(0, 0, kServerChunkSize));
          writer.setChunkSize(kServerChunkSize);
          status(stream, writer, "_result", c->transactionId, 0, "NetConnection.Connect.Success");
        } else if (c->commandName == "createStream") {
          AMFList arguments;
          arguments.emplace_back(1);
          send(stream, writer, 3, RTMPCommandMessage(0, 0, RTMPObjectEncoding::amf0, "_result", c->transactionId,
                                                     std::nullopt, std::move(arguments)));
        } else if (c->commandName == "publish") {
          status(stream, writer, "onStatus", 0, 1, "NetStream.Publish.Start");
          // What followed the command in this read is counted from here on.
          received_ += reader.bufferedBytes();
          discarding = true;
          publishing_ = true;
        } else if (c->transactionId > 0) {
          send(stream, writer, 3, RTMPCommandMessage(0, 0, RTMPObjectEncoding::amf0, "_result", c->transactionId,
                                                     std::nullopt, {}));
        }
      }
    }
  }

  std::unique_ptr<platform::TcpListener> listener_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> received_{0};
  std::atomic<bool> publishing_{false};
  std::atomic<int> ended_{0};
};

// An encoded FLV made once with the ffmpeg command line: 20 s of 1280x720
// H.264 at 50 Mbit/s and AAC.
std::filesystem::path testFlv() {
  const auto path = std::filesystem::temp_directory_path() / "quarzadel-rtmp-publish-bench.flv";
  if (std::filesystem::exists(path) && std::filesystem::file_size(path) > 10'000'000) return path;
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=30 "
      "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 -c:v libx264 -preset ultrafast -b:v 50M "
      "-minrate 50M -maxrate 50M -bufsize 10M -g 60 -c:a aac -b:a 128k " + path.string();
  if (std::system(command.c_str()) != 0) return {};
  return path;
}

struct Tag {
  RTMPMessagePtr message;
  RTMPChunkStreamId chunkStream;
};

// The file's audio and video tags as messages on `streamId`, absolute times.
std::vector<Tag> readTags(const std::filesystem::path& path, uint32_t streamId = 1) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  std::vector<uint8_t> file(static_cast<size_t>(std::filesystem::file_size(path, error)));
  if (error || !in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()))) return {};
  std::vector<Tag> tags;
  if (file.size() < 13) return tags;
  size_t offset = (uint32_t(file[5]) << 24 | uint32_t(file[6]) << 16 | uint32_t(file[7]) << 8 | file[8]) + 4;
  while (offset + 11 <= file.size()) {
    const uint8_t* t = file.data() + offset;
    const uint32_t size = (uint32_t(t[1]) << 16) | (uint32_t(t[2]) << 8) | t[3];
    const uint32_t time = ((uint32_t(t[4]) << 16) | (uint32_t(t[5]) << 8) | t[6]) | (uint32_t(t[7]) << 24);
    if (offset + 11 + size > file.size()) break;
    Data body(t + 11, t + 11 + size);
    if ((t[0] & 0x1F) == 9) tags.push_back({std::make_shared<RTMPVideoMessage>(streamId, time, std::move(body)),
                                            RTMPChunkStreamId::video});
    if ((t[0] & 0x1F) == 8) tags.push_back({std::make_shared<RTMPAudioMessage>(streamId, time, std::move(body)),
                                            RTMPChunkStreamId::audio});
    offset += 11 + size + 4;
  }
  return tags;
}

struct Shared {
  std::filesystem::path flv;
  std::vector<Tag> tags;
  uint64_t payloadBytes = 0;
  double ourBytesPerSecond = 0;
};

Shared& shared() {
  static Shared s = [] {
    Shared s;
    s.flv = testFlv();
    if (!s.flv.empty()) s.tags = readTags(s.flv);
    for (const auto& t : s.tags) s.payloadBytes += t.message->payload().size();
    return s;
  }();
  return s;
}

Async<void> publishAll(std::shared_ptr<RTMPConnection> connection, const std::vector<Tag>* tags) {
  for (const auto& tag : *tags) co_await connection->doOutput(RTMPChunkType::zero, tag.chunkStream, tag.message);
}

void BM_PublishFlvThroughConnection(benchmark::State& state) {
  auto& s = shared();
  if (s.tags.empty()) {
    state.SkipWithError("no test FLV (ffmpeg could not make one)");
    return;
  }
  logger().setLevel(logwell::LWLogLevel::warn);
  auto runtime = std::make_shared<platform::ThreadRuntime>(2);
  SinkServer sink;
  auto connection = RTMPConnection::make(runtime);
  platform::blockingWait(connection->connect("rtmp://127.0.0.1:" + std::to_string(sink.port()) + "/live"),
                         runtime->globalQueue());
  // Publishing, as a stream would have it.
  auto publish = std::make_shared<RTMPCommandMessage>(1, 0, RTMPObjectEncoding::amf0, "publish", 0, std::nullopt,
                                                      AMFList{AMFValue("bench"), AMFValue("live")});
  platform::blockingWait(connection->doOutput(RTMPChunkType::zero, RTMPChunkStreamId::command, publish),
                         runtime->globalQueue());
  while (!sink.publishing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto socket = platform::blockingWait(connection->socket(), runtime->globalQueue());

  uint64_t bytes = 0;
  uint64_t messages = 0;
  const uint64_t writesBefore = socket->sendCount();
  double seconds = 0;
  auto report = [&] { return platform::blockingWait(socket->makeNetworkTransportReport(), runtime->globalQueue()); };
  for (auto _ : state) {
    const uint64_t start = sink.received();
    const int64_t writtenBefore = report().totalBytesOut;
    const auto begin = std::chrono::steady_clock::now();
    platform::blockingWait(publishAll(connection, &s.tags), runtime->globalQueue());
    // Done when the sink has read everything the connection wrote.
    while (true) {
      const auto now = report();
      if (now.queueBytesOut == 0 &&
          sink.received() - start >= static_cast<uint64_t>(now.totalBytesOut - writtenBefore))
        break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    bytes += sink.received() - start;
    messages += s.tags.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["writes_per_message"] =
      static_cast<double>(socket->sendCount() - writesBefore) / static_cast<double>(std::max<uint64_t>(messages, 1));
  state.counters["messages"] = static_cast<double>(messages);
  s.ourBytesPerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  try {
    platform::blockingWait(connection->close(), runtime->globalQueue());
  } catch (...) {
  }
}
BENCHMARK(BM_PublishFlvThroughConnection)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// One ffmpeg publish of the file sent `loops` times in a row into a fresh
// sink: the bytes the sink received and the seconds from start to exit.
std::pair<double, double> ffmpegRun(const std::filesystem::path& flv, int loops) {
  SinkServer sink;
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(sink.port()) + "/live/bench";
  const std::string file = flv.string();
  const std::string repeat = std::to_string(loops - 1);
  std::vector<const char*> argv{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-stream_loop",
                                repeat.c_str(), "-i", file.c_str(), "-c", "copy", "-f", "flv", url.c_str(), nullptr};
  const auto begin = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0) return {0, 0};
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {0, 0};
  // Timed until the sink has read the connection to its end, as the
  // connection's run is timed until the sink has taken its last byte.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sink.ended() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (sink.ended() == 0 || elapsed <= 0) return {0, 0};
  return {static_cast<double>(sink.received()), elapsed};
}

// ffmpeg's rate once running: the extra bytes of a long run over its extra
// time against a short one, so that its start (probing the file, connecting),
// which the connection's measurement does not include, cancels out. Each
// length keeps its fastest of three runs.
double ffmpegBytesPerSecond(const std::filesystem::path& flv) {
  std::pair<double, double> shortest{0, 0}, longest{0, 0};
  for (int i = 0; i < 3; ++i) {
    const auto a = ffmpegRun(flv, 1);
    const auto b = ffmpegRun(flv, 6);
    if (a.second > 0 && (shortest.second == 0 || a.second < shortest.second)) shortest = a;
    if (b.second > 0 && (longest.second == 0 || b.second < longest.second)) longest = b;
  }
  if (shortest.second <= 0 || longest.second <= shortest.second) return 0;
  return (longest.first - shortest.first) / (longest.second - shortest.second);
}

// Publishes the file's tags `loops` times to a real server and returns once
// the socket has taken the last byte: connect, createStream, publish, every
// tag in order (the times of each pass follow on from the last).
int publishTo(const std::string& url, const std::string& key, const std::filesystem::path& flv, int loops) {
  logger().setLevel(logwell::LWLogLevel::error);
  auto runtime = std::make_shared<platform::ThreadRuntime>(2);
  auto connection = RTMPConnection::make(runtime);
  auto wait = [&](auto work) { return platform::blockingWait(std::move(work), runtime->globalQueue()); };
  try {
    wait(connection->connect(url));
    const auto created = wait(connection->call("createStream"));
    const auto id = created.arguments.empty() ? std::nullopt : created.arguments[0].number();
    if (!id) throw std::runtime_error("createStream gave no stream id");
    const auto streamId = static_cast<uint32_t>(*id);
    const auto tags = readTags(flv, streamId);
    if (tags.empty()) throw std::runtime_error("no tags in " + flv.string());
    auto publish = std::make_shared<RTMPCommandMessage>(streamId, 0, RTMPObjectEncoding::amf0, "publish", 0,
                                                        std::nullopt, AMFList{AMFValue(key), AMFValue("live")});
    wait(connection->doOutput(RTMPChunkType::zero, RTMPChunkStreamId::command, publish));
    // Each pass is sent whole before the next moves the times on.
    const uint32_t span = tags.back().message->timestamp + 40;
    for (int pass = 0; pass < loops; ++pass) {
      if (pass > 0)
        for (const auto& tag : tags) tag.message->timestamp += span;
      wait(publishAll(connection, &tags));
    }
    auto socket = wait(connection->socket());
    while (wait(socket->makeNetworkTransportReport()).queueBytesOut > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  } catch (const std::exception& e) {
    std::cerr << "rtmp_publish_bench: " << e.what() << "\n";
    return 1;
  }
  // What the kernel still holds goes out after exit (the compare script waits
  // for the server to have taken it, as it does for ffmpeg); nothing else is awaited.
  std::cout.flush();
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::string(argv[1]) == "--flv") {
    const auto flv = testFlv();
    if (flv.empty()) return 1;
    std::cout << flv.string() << "\n";
    return 0;
  }
  if (argc >= 5 && std::string(argv[1]) == "--publish")
    return publishTo(argv[2], argv[3], argv[4], argc >= 6 ? std::max(1, std::atoi(argv[5])) : 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  auto& s = shared();
  if (s.flv.empty() || s.ourBytesPerSecond <= 0) return 0;
  const double theirs = ffmpegBytesPerSecond(s.flv);
  std::cout << "\nFLV: " << s.flv.string() << " (" << s.tags.size() << " tags, " << s.payloadBytes / 1e6
            << " MB of payload)\n"
            << "connection: " << s.ourBytesPerSecond / 1e6 << " MB/s into the loopback sink\n"
            << "ffmpeg -c copy -f flv: " << theirs / 1e6 << " MB/s once running (1 and 6 passes, fastest of 3 each)\n"
            << "ratio (connection / ffmpeg): " << (theirs > 0 ? s.ourBytesPerSecond / theirs : 0) << "\n";
  benchmark::Shutdown();
  return 0;
}
