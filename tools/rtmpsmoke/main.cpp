// rtmpsmoke: publishes seconds of encoded picture and sound through an RTMP
// connection, the way a stream does ("releaseStream", "FCPublish",
// "createStream", "publish", "@setDataFrame" with the metadata, sequence
// headers, then frames), and reads recorded FLV files back.
//
//   rtmpsmoke --url rtmp://HOST:PORT/APP [--key smoke] [--codec h264|hevc] [--seconds 5]
//             [--bitrate BPS] [--source synthetic|program]
//     synthetic: [--size 1280x720] [--fps 30] [--fast]
//     program:   [--resolution 1080p|720p] [--from synthetic-a] [--to synthetic-b] [--switch-at 3]
//   rtmpsmoke --check FILE.flv
//
// "synthetic" (the default) makes its own moving bars and tone, paced in real
// time unless --fast. "program" goes live with the program picture and sound on
// the real clock: one synthetic camera on air, a dissolve to another at
// --switch-at, the test tone on air, 30 fps; it prints one status line a second.
// H.264 goes out in the legacy layout, HEVC in the enhanced one. --check decodes
// every picture of the file with libavcodec and prints the codecs, size, frame
// rate and A/V offset. Exits non-zero when nothing was sent, or when the
// connection closed before the time was up, which also ends the run at once.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "FlvCheck.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "ProgramFeed.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"
#include "SmokeMedia.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"
#include "Medley/Sources/Mixer/MediaMixer.h"

namespace {

using platform::Async;
using namespace rtmpmedley;

struct Options {
  std::string url;
  std::string key = "smoke";
  std::string codec = "h264";
  std::string source = "synthetic";
  double seconds = 5;
  int width = 1280;
  int height = 720;
  int fps = 30;
  int bitRate = 0;  // 0: chosen by the picture size
  bool fast = false;
  quarzadel::StreamConfig::Resolution resolution = quarzadel::StreamConfig::Resolution::hd1080;
  std::string from = "synthetic-a";
  std::string to = "synthetic-b";
  double switchAt = 3;
  std::string check;

  bool program() const { return source == "program"; }
};

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "rtmpsmoke: " << problem << "\n";
  std::cerr << "usage: rtmpsmoke --url rtmp://HOST:PORT/APP [--key smoke] [--codec h264|hevc] [--seconds 5]\n"
               "                 [--bitrate BPS] [--source synthetic|program]\n"
               "         synthetic: [--size 1280x720] [--fps 30] [--fast]\n"
               "         program:   [--resolution 1080p|720p] [--from ID] [--to ID|none] [--switch-at S]\n"
               "       rtmpsmoke --check FILE.flv\n";
  std::exit(2);
}

double number(const std::string& text, const std::string& what) {
  try {
    size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size() && std::isfinite(v)) return v;
  } catch (const std::exception&) {
  }
  usage("bad " + what + ": " + text);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--help" || key == "-h") usage("");
    if (key == "--fast") {
      o.fast = true;
      continue;
    }
    if (i + 1 >= argc) usage("missing value for " + key);
    const std::string value = argv[++i];
    if (key == "--url") o.url = value;
    else if (key == "--key") o.key = value;
    else if (key == "--check") o.check = value;
    else if (key == "--codec") o.codec = value;
    else if (key == "--source") o.source = value;
    else if (key == "--seconds") o.seconds = number(value, "seconds");
    else if (key == "--fps") o.fps = static_cast<int>(number(value, "fps"));
    else if (key == "--bitrate") o.bitRate = static_cast<int>(number(value, "bit rate"));
    else if (key == "--from") o.from = value;
    else if (key == "--to") o.to = value == "none" ? "" : value;
    else if (key == "--switch-at") o.switchAt = number(value, "switch time");
    else if (key == "--resolution") {
      const auto r = quarzadel::fromRawValue<quarzadel::StreamConfig::Resolution>(value);
      if (!r) usage("resolution must be 1080p or 720p");
      o.resolution = *r;
    } else if (key == "--size") {
      const auto x = value.find('x');
      if (x == std::string::npos) usage("size must be WIDTHxHEIGHT");
      o.width = std::atoi(value.substr(0, x).c_str());
      o.height = std::atoi(value.substr(x + 1).c_str());
    } else {
      usage("unknown option " + key);
    }
  }
  if (o.check.empty() && o.url.empty()) usage("--url or --check is required");
  if (o.codec != "h264" && o.codec != "hevc") usage("codec must be h264 or hevc");
  if (o.source != "synthetic" && o.source != "program") usage("source must be synthetic or program");
  if (o.program()) {
    quarzadel::StreamConfig config;
    config.resolution = o.resolution;
    o.width = config.width();
    o.height = config.height();
    o.fps = static_cast<int>(config.frameRate);
    if (o.fast) usage("--fast is for the synthetic source only");
    if (!quarzadel::SyntheticSources::spec(o.from)) usage("unknown camera " + o.from);
    if (!o.to.empty() && !quarzadel::SyntheticSources::spec(o.to)) usage("unknown camera " + o.to);
    if (o.switchAt < 0) usage("the switch time must not be negative");
  }
  if (!(o.seconds > 0 && o.seconds <= 3600) || o.fps < 1 || o.fps > 120 || o.width < 16 || o.height < 16 ||
      o.width % 2 || o.height % 2 || o.bitRate < 0)
    usage("bad seconds, fps, size or bit rate");
  if (o.bitRate == 0) o.bitRate = o.width * o.height >= 1920 * 1080 ? 4'500'000 : 2'500'000;
  return o;
}

int check(const std::string& path) {
  const auto r = rtmpsmoke::checkFlv(path);
  if (!r.problem.empty()) {
    std::cout << "check failed: " << r.problem << "\n";
    return 1;
  }
  std::cout << path << "\n"
            << "  video: " << r.videoCodec << " " << r.width << "x" << r.height << ", " << r.videoFrames
            << " frames, " << r.decodedFrames << " decoded, " << r.decodeErrors << " decoding errors, "
            << std::round(r.framesPerSecond * 100) / 100 << " fps\n"
            << "  audio: " << (r.audioCodec.empty() ? "none" : r.audioCodec) << " " << r.sampleRate << " Hz, "
            << r.channels << " channels, " << r.audioFrames << " frames\n"
            << "  duration: " << r.durationSeconds << " s, A/V offset (first sound - first picture): "
            << r.audioVideoOffsetMs << " ms\n";
  return r.decodeErrors == 0 && r.decodedFrames == r.videoFrames && r.videoFrames > 0 ? 0 : 1;
}

// The connection's status codes as they arrive, printed; ends at the close.
struct StatusLog {
  std::mutex mutex;
  std::vector<std::string> codes;
  bool has(const std::string& code) {
    std::lock_guard lock(mutex);
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  // The connection closed or failed: nothing more can be sent.
  bool lost() { return has("NetConnection.Connect.Closed") || has("NetConnection.Connect.Failed"); }
};

Async<void> followStatus(platform::AsyncStream<RTMPStatus> statuses, std::shared_ptr<StatusLog> log) {
  while (auto status = co_await statuses.next()) {
    std::cout << "  status: " << status->code << "\n";
    {
      std::lock_guard lock(log->mutex);
      log->codes.push_back(status->code);
    }
    if (status->code == "NetConnection.Connect.Closed" || status->code == "NetConnection.Connect.Failed") co_return;
  }
}

std::string megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

Async<medley::NetworkTransportReport> transport(std::shared_ptr<RTMPConnection> connection) {
  auto socket = co_await connection->socket();
  if (!socket) co_return medley::NetworkTransportReport{};
  co_return co_await socket->makeNetworkTransportReport();
}

Async<void> printStatus(double at, std::shared_ptr<RTMPStream> stream, std::shared_ptr<RTMPConnection> connection) {
  const auto report = co_await transport(connection);
  const auto s = co_await stream->snapshot();
  std::printf("  %5.1f s: %lld frames, %lld sound packets sent; %s out, %lld bytes queued\n", at,
              static_cast<long long>(s.videoMessages), static_cast<long long>(s.audioMessages),
              megabytes(report.totalBytesOut).c_str(),
              static_cast<long long>(report.queueBytesOut));
  std::fflush(stdout);
}

Async<void> sleepUntil(std::chrono::steady_clock::time_point due) {
  const auto now = std::chrono::steady_clock::now();
  if (due > now) co_await platform::sleepFor(std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count());
}

// Sleeps until `due` in short steps; false as soon as the connection is lost.
Async<bool> sleepUntilUnlessLost(std::chrono::steady_clock::time_point due, std::shared_ptr<StatusLog> log) {
  constexpr auto kStep = std::chrono::milliseconds(50);
  while (!log->lost()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= due) co_return true;
    co_await sleepUntil(std::min<std::chrono::steady_clock::time_point>(due, now + kStep));
  }
  co_return false;
}

// Synthetic bars and tone, made here at the frame rate.
// Pictures at the frame rate and the sound that goes with each, through the
// stream as the application's program does.
Async<void> feedSynthetic(const Options& o, std::shared_ptr<RTMPStream> stream,
                          std::shared_ptr<RTMPConnection> connection, std::shared_ptr<StatusLog> log) {
  const auto begin = std::chrono::steady_clock::now();
  const int64_t frames = static_cast<int64_t>(o.seconds * o.fps + 0.5);
  int64_t soundBlocks = 0;
  for (int64_t i = 0; i < frames && !log->lost(); ++i) {
    if (!o.fast) {
      co_await sleepUntil(begin + std::chrono::nanoseconds(i * 1'000'000'000LL / o.fps));
      if (i > 0 && i % o.fps == 0) co_await printStatus(static_cast<double>(i) / o.fps, stream, connection);
    }
    co_await stream->append(rtmpsmoke::makePicture(o.width, o.height, i, o.fps));
    const int64_t soundUntil = (i + 1) * rtmpsmoke::kSoundRate / o.fps;
    while (soundBlocks * static_cast<int64_t>(rtmpsmoke::kSoundBlockFrames) < soundUntil) {
      co_await stream->append(platform::AudioBufferRef(rtmpsmoke::makeSound(soundBlocks)),
                              rtmpsmoke::soundTime(soundBlocks));
      ++soundBlocks;
    }
  }
}

// The program's pictures and sound through the stream's mixer hand-offs, as
// the application hands them over.
Async<int64_t> feedProgram(const Options& o, std::shared_ptr<RTMPStream> stream,
                           std::shared_ptr<RTMPConnection> connection, std::shared_ptr<platform::Runtime> runtime,
                           std::shared_ptr<StatusLog> log) {
  const auto queue = co_await platform::currentExecutor();
  quarzadel::StreamConfig config;
  config.resolution = o.resolution;
  auto frames = std::make_shared<std::atomic<int64_t>>(0);
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto grid = std::make_shared<quarzadel::FrameGrid>(config.frameRate);
  auto feed = rtmpsmoke::ProgramFeed::make(
      config, runtime, queue,
      [stream, mixer, frames, grid](const platform::SampleBufferRef& frame) {
        ++*frames;
        stream->mixer(*mixer, grid->place(frame));
      },
      [stream, mixer](const platform::PCMBufferRef& buffer, const platform::AudioTime& time) {
        stream->mixer(*mixer, buffer, time);
      },
      [](const std::string& line) { std::cout << "  " << line << "\n"; });
  const auto begin = std::chrono::steady_clock::now();
  const auto at = [&](double s) { return begin + std::chrono::nanoseconds(static_cast<int64_t>(s * 1e9)); };
  feed->start(o.from);
  bool switched = o.to.empty() || o.switchAt >= o.seconds;
  for (int second = 1;; ++second) {
    const double next = std::min<double>(second, o.seconds);
    if (!switched && o.switchAt < next) {
      if (!co_await sleepUntilUnlessLost(at(o.switchAt), log)) break;
      std::cout << "  switching to " << o.to << " (dissolve)\n";
      feed->switchTo(o.to);
      switched = true;
    }
    if (!co_await sleepUntilUnlessLost(at(next), log)) break;
    if (next >= o.seconds) break;
    co_await printStatus(next, stream, connection);
  }
  feed->stop();
  co_await platform::yieldNow();
  co_return frames->load();
}

Async<int> publish(Options o) {
  const auto queue = co_await platform::currentExecutor();
  auto runtime = queue->runtime();
  RTMPConnection::Settings settings;
  settings.requestTimeout = std::chrono::seconds(2);
  auto connection = std::make_shared<RTMPConnection>(std::move(settings), runtime);
  std::cout << "rtmpsmoke: " << redactURLText(o.url) << " key " << o.key << ", " << o.source << " source, "
            << o.codec << " " << o.width << "x" << o.height << " at " << o.fps << " fps, " << o.bitRate / 1000
            << " kbit/s, for " << o.seconds << " s\n";
  auto statusLog = std::make_shared<StatusLog>();
  platform::spawnDetached(queue, &followStatus, co_await connection->status(), statusLog);
  // Made before the connect: the connect creates it on the server.
  auto stream = RTMPStream::make(connection);
  auto streamLog = std::make_shared<StatusLog>();
  platform::spawnDetached(queue, &followStatus, co_await stream->status(), streamLog);
  try {
    const auto response = co_await connection->connect(o.url);
    std::cout << "  connect: " << (response.status ? response.status->code : std::string("(no status)")) << "\n";
  } catch (const std::exception& e) {
    std::cout << "  connect failed: " << e.what() << "\n";
    co_return 1;
  }
  std::cout << "  stream id " << co_await stream->id() << "\n";

  const bool hevc = o.codec == "hevc";
  medley::VideoCodecSettings video;
  video.videoSize = {static_cast<double>(o.width), static_cast<double>(o.height)};
  video.bitRate = o.bitRate;
  video.setProfileLevel(hevc ? "HEVC_Main_AutoLevel" : "H264_Main_AutoLevel");
  video.expectedFrameRate = o.fps;
  video.allowFrameReordering = false;
  video.isLowLatencyRateControlEnabled = true;
  co_await stream->setVideoSettings(video);
  medley::AudioCodecSettings audio;
  audio.bitRate = 128'000;
  audio.sampleRate = rtmpsmoke::kSoundRate;
  co_await stream->setAudioSettings(audio);
  // The picture format is known before the publish, so its metadata names the
  // picture; nothing is encoded before the publish.
  co_await stream->append(rtmpsmoke::makePicture(o.width, o.height, 0, o.fps));

  bool published = false;
  try {
    const auto response = co_await stream->publish(o.key, RTMPStream::HowToPublish::live);
    std::cout << "  publish: " << (response.status ? response.status->code : std::string("(no status)")) << "\n";
    published = true;
  } catch (const std::exception& e) {
    std::cout << "  publish refused: " << e.what() << "\n";
  }
  if (!published) {
    try {
      co_await connection->close();
    } catch (...) {
    }
    co_return 1;
  }

  const auto begin = std::chrono::steady_clock::now();
  int64_t programFrames = -1;
  if (o.program())
    programFrames = co_await feedProgram(o, stream, connection, runtime, statusLog);
  else
    co_await feedSynthetic(o, stream, connection, statusLog);
  // What the mixer inputs still hold reaches the encoders, then they drain;
  // a lost connection takes nothing more.
  const int64_t made = o.program() ? programFrames : static_cast<int64_t>(o.seconds * o.fps + 0.5);
  for (int i = 0; i < 100 && !statusLog->lost(); ++i) {
    const auto s = co_await stream->snapshot();
    if (static_cast<int64_t>(s.videoMessages + s.droppedVideoInput) + 3 >= made) break;
    co_await platform::sleepFor(platform::milliseconds(20));
  }
  co_await stream->finishOutgoing();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  // The tail leaves the socket before the close (for at most 2 s).
  auto report = co_await transport(connection);
  for (int i = 0; i < 200 && report.queueBytesOut > 0 && !statusLog->lost(); ++i) {
    co_await platform::sleepFor(platform::milliseconds(10));
    report = co_await transport(connection);
  }

  const auto sent = co_await stream->snapshot();
  // A closing status before our own close: the server ended the publish early.
  const bool cutOff = statusLog->lost();
  try {
    co_await connection->close();
  } catch (const std::exception& e) {
    std::cout << "  close: " << e.what() << "\n";
  }
  // The closing status comes through the status sequence.
  for (int i = 0; i < 200 && !statusLog->has("NetConnection.Connect.Closed"); ++i)
    co_await platform::sleepFor(platform::milliseconds(10));
  const bool closed = statusLog->has("NetConnection.Connect.Closed");
  const auto a = sent.audioTimestamp, v = sent.videoTimestamp;
  std::cout << "  sent " << sent.videoMessages << " video and " << sent.audioMessages << " audio messages, "
            << sent.info.byteCount << " bytes in " << elapsed << " s\n";
  std::cout << "  A/V start offset (first sound - first picture): "
            << std::lround((a.startedAt() - v.startedAt()) * 1000) << " ms of media time, both sent from 0 ms\n";
  if (programFrames >= 0)
    std::cout << "  program: " << programFrames << " pictures made, " << sent.droppedVideoInput
              << " dropped on the way to the encoder\n";
  std::cout << "  summary: " << sent.videoMessages << " frames, " << sent.audioMessages << " sound packets, "
            << megabytes(report.totalBytesOut) << " out ("
            << std::lround(static_cast<double>(report.totalBytesOut) * 8 / 1000 / std::max(elapsed, 0.001))
            << " kbit/s), " << report.queueBytesOut << " bytes left queued, "
            << (cutOff   ? "closed by the server before the end"
                : closed ? "closed (NetConnection.Connect.Closed)"
                         : "no closing status")
            << "\n";
  std::cout << "  close: done\n";
  co_return sent.videoMessages > 0 && sent.audioMessages > 0 && closed && !cutOff ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  const Options options = parse(argc, argv);
  if (!options.check.empty()) return check(options.check);
  rtmpmedley::logger().setLevel(logwell::LWLogLevel::warn);
  medley::logger().setLevel(logwell::LWLogLevel::warn);
  // Workers for the encoder, the program's renderer and cameras, and the sockets.
  auto runtime = std::make_shared<platform::ThreadRuntime>(options.program() ? 6 : 3);
  auto queue = platform::SerialQueue::make("rtmpsmoke.publisher", runtime);
  try {
    return platform::blockingWait(publish(options), queue);
  } catch (const std::exception& error) {
    std::cerr << "rtmpsmoke: " << error.what() << "\n";
    return 1;
  }
}
