// rtmpsmoke: publishes seconds of encoded synthetic picture and sound through
// an RTMP connection, the way a stream does ("releaseStream", "FCPublish",
// "createStream", "publish", "@setDataFrame" with the metadata, sequence
// headers, then frames), and reads recorded FLV files back.
//
//   rtmpsmoke --url rtmp://HOST:PORT/APP [--key smoke] [--codec h264|hevc] [--seconds 5]
//             [--size 1280x720] [--fps 30] [--bitrate 2500000] [--fast]
//   rtmpsmoke --check FILE.flv
//
// H.264 goes out in the legacy layout, HEVC in the enhanced one. Media are
// paced in real time unless --fast. --check decodes every picture of the file
// with libavcodec and prints the codecs, size, frame rate and A/V offset.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "FlvCheck.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/RTMPMedleyLogger.h"
#include "RTMPMedley/Sources/RTMP/RTMPVideoMessage.h"
#include "SmokeMedia.h"
#include "SmokeStream.h"

namespace {

using platform::Async;
using platform::AsyncStream;
using platform::SampleBufferRef;
using namespace rtmpmedley;
using rtmpsmoke::SmokeStream;

struct Options {
  std::string url;
  std::string key = "smoke";
  std::string codec = "h264";
  double seconds = 5;
  int width = 1280;
  int height = 720;
  int fps = 30;
  int bitRate = 2'500'000;
  bool fast = false;
  std::string check;
};

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "rtmpsmoke: " << problem << "\n";
  std::cerr << "usage: rtmpsmoke --url rtmp://HOST:PORT/APP [--key smoke] [--codec h264|hevc] [--seconds 5]\n"
               "                 [--size 1280x720] [--fps 30] [--bitrate 2500000] [--fast]\n"
               "       rtmpsmoke --check FILE.flv\n";
  std::exit(2);
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
    else if (key == "--seconds") o.seconds = std::atof(value.c_str());
    else if (key == "--fps") o.fps = std::atoi(value.c_str());
    else if (key == "--bitrate") o.bitRate = std::atoi(value.c_str());
    else if (key == "--size") {
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
  if (!(o.seconds > 0 && o.seconds <= 3600) || o.fps < 1 || o.fps > 120 || o.width < 16 || o.height < 16 ||
      o.width % 2 || o.height % 2)
    usage("bad seconds, fps or size");
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

struct Counters {
  std::atomic<int64_t> videoMessages{0};
  std::atomic<int64_t> audioMessages{0};
  std::atomic<int64_t> bytes{0};
};

uint32_t milliseconds(const platform::MediaTime& t) {
  return static_cast<uint32_t>(std::llround(t.seconds() * 1000.0));
}

// Sequence header first (full header, absolute time), then every frame with
// its time as the delta to the one before on the video chunk stream.
Async<void> sendVideo(AsyncStream<SampleBufferRef> encoded, std::shared_ptr<SmokeStream> stream, uint32_t id,
                      Counters* counters) {
  platform::FormatDescriptionRef format;
  uint32_t last = 0;
  while (auto buffer = co_await encoded.next()) {
    const auto& sample = *buffer;
    if (!sample) continue;
    const auto time = sample->decodeTime().isNumeric() ? sample->decodeTime() : sample->presentationTime();
    const uint32_t ms = milliseconds(time);
    if (!platform::sameFormat(format, sample->formatDescription())) {
      const bool first = !format;
      format = sample->formatDescription();
      auto header = RTMPVideoMessage::make(id, first ? ms : ms - last, format);
      if (header)
        counters->bytes += co_await stream->send(first ? RTMPChunkType::zero : RTMPChunkType::one,
                                                 RTMPChunkStreamId::video, header);
      if (first) last = ms;
    }
    auto frame = RTMPVideoMessage::make(id, ms - last, sample);
    last = ms;
    if (!frame) continue;
    counters->bytes += co_await stream->send(RTMPChunkType::one, RTMPChunkStreamId::video, frame);
    ++counters->videoMessages;
  }
}

Async<void> sendAudio(AsyncStream<medley::AudioCodec::Output> encoded, std::shared_ptr<SmokeStream> stream,
                      uint32_t id, Counters* counters) {
  bool headerSent = false;
  uint32_t last = 0;
  while (auto output = co_await encoded.next()) {
    auto aac = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(output->first);
    if (!aac) continue;
    const auto& when = output->second;
    const double rate = aac->format().sampleRate();
    int64_t position = when.sampleTimeValid && when.sampleRate == rate
                           ? when.sampleTime
                           : static_cast<int64_t>(platform::toSeconds(when.hostTime) * rate);
    if (!headerSent) {
      const uint32_t ms = static_cast<uint32_t>(position * 1000 / static_cast<int64_t>(rate));
      auto header = RTMPAudioMessage::make(id, ms, aac->format().makeFormatDescription());
      if (!header) co_return;
      counters->bytes += co_await stream->send(RTMPChunkType::zero, RTMPChunkStreamId::audio, header);
      headerSent = true;
      last = ms;
    }
    const auto* descriptions = aac->packetDescriptions();
    for (uint32_t i = 0; i < aac->packetCount(); ++i) {
      const int64_t offset = descriptions ? descriptions[i].startOffset : 0;
      const uint32_t size = descriptions ? descriptions[i].dataByteSize : aac->byteLength();
      if (offset < 0 || offset + size > aac->byteLength() || size == 0) continue;
      auto packet = platform::CompressedAudioBuffer::make(aac->format(), 1, size);
      if (!packet || !packet->setSinglePacket(aac->data() + offset, size)) continue;
      const uint32_t ms = static_cast<uint32_t>(position * 1000 / static_cast<int64_t>(rate));
      auto message = RTMPAudioMessage::make(id, ms - last, std::shared_ptr<const platform::CompressedAudioBuffer>(packet));
      last = ms;
      position += 1024;
      if (!message) continue;
      counters->bytes += co_await stream->send(RTMPChunkType::one, RTMPChunkStreamId::audio, message);
      ++counters->audioMessages;
    }
  }
}

Async<void> pumpVideo(AsyncStream<SampleBufferRef> input, medley::OutgoingStream* outgoing) {
  while (auto frame = co_await input.next()) {
    outgoing->appendVideo(*frame);
    outgoing->videoCodec().completeFrames();
  }
}

Async<int> publish(Options o) {
  const auto queue = co_await platform::currentExecutor();
  auto runtime = queue->runtime();
  // A short request time-out: nginx leaves "FCUnpublish" and "deleteStream" unanswered.
  auto connection = std::make_shared<RTMPConnection>(
      std::nullopt, std::nullopt, RTMPConnection::defaultFlashVer, RTMPConnection::defaultFourCcList(),
      RTMPConnection::defaultVideoFourCcInfoMap(), RTMPConnection::defaultAudioFourCcInfoMap(), 0, 15, 2000,
      RTMPConnection::defaultChunkSizeS, platform::QualityOfService::userInitiated, runtime);
  std::cout << "rtmpsmoke: " << redactURLText(o.url) << " key " << o.key << ", " << o.codec << " " << o.width << "x"
            << o.height << " at " << o.fps << " fps for " << o.seconds << " s\n";
  try {
    const auto response = co_await connection->connect(o.url);
    std::cout << "  connect: " << (response.status ? response.status->code : std::string("(no status)")) << "\n";
  } catch (const std::exception& e) {
    std::cout << "  connect failed: " << e.what() << "\n";
    co_return 1;
  }
  auto stream = std::make_shared<SmokeStream>(runtime, connection, o.key);
  co_await connection->addStream(stream);
  const uint32_t id = co_await stream->id();
  std::cout << "  stream id " << id << "\n";
  if (!co_await stream->publish(platform::seconds(5))) {
    std::cout << "  publish refused:";
    for (const auto& s : stream->statuses()) std::cout << " " << s;
    std::cout << "\n";
    co_await connection->close();
    co_return 1;
  }
  std::cout << "  publish: NetStream.Publish.Start\n";

  const bool hevc = o.codec == "hevc";
  AMFArray metadata;
  metadata.set("width", AMFValue(o.width));
  metadata.set("height", AMFValue(o.height));
  metadata.set("framerate", AMFValue(o.fps));
  metadata.set("videodatarate", AMFValue(o.bitRate / 1000));
  metadata.set("videocodecid", hevc ? AMFValue(static_cast<int64_t>(platform::codec::hevc)) : AMFValue(7));
  metadata.set("audiocodecid", AMFValue(10));
  metadata.set("audiosamplerate", AMFValue(48000));
  metadata.set("audiodatarate", AMFValue(128));
  metadata.set("stereo", AMFValue(true));
  metadata.set("encoder", AMFValue("rtmpsmoke"));
  AMFList data;
  data.emplace_back("onMetaData");
  data.emplace_back(std::move(metadata));
  co_await stream->send(RTMPChunkType::zero, RTMPChunkStreamId::data,
                        std::make_shared<RTMPDataMessage>(id, 0, RTMPObjectEncoding::amf0, "@setDataFrame",
                                                          std::move(data)));

  medley::OutgoingStream outgoing;
  medley::VideoCodecSettings video;
  video.videoSize = {static_cast<double>(o.width), static_cast<double>(o.height)};
  video.bitRate = o.bitRate;
  video.setProfileLevel(hevc ? "HEVC_Main_AutoLevel" : "H264_Main_AutoLevel");
  video.expectedFrameRate = o.fps;
  video.allowFrameReordering = false;
  video.isLowLatencyRateControlEnabled = true;
  outgoing.setVideoSettings(video);
  medley::AudioCodecSettings audio;
  audio.bitRate = 128'000;
  audio.sampleRate = rtmpsmoke::kSoundRate;
  outgoing.setAudioSettings(audio);

  Counters counters;
  outgoing.startRunning();
  auto input = outgoing.videoInputStream();
  auto pump = platform::spawn(queue, &pumpVideo, input, &outgoing);
  auto videoSender = platform::spawn(queue, &sendVideo, outgoing.videoOutputStream(), stream, id, &counters);
  auto audioSender = platform::spawn(queue, &sendAudio, outgoing.audioOutputStream(), stream, id, &counters);

  const auto begin = std::chrono::steady_clock::now();
  const int64_t frames = static_cast<int64_t>(o.seconds * o.fps + 0.5);
  int64_t soundBlocks = 0;
  for (int64_t i = 0; i < frames; ++i) {
    if (!o.fast) {
      const auto due = begin + std::chrono::nanoseconds(i * 1'000'000'000LL / o.fps);
      const auto now = std::chrono::steady_clock::now();
      if (due > now) co_await platform::sleepFor(std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count());
    }
    outgoing.append(rtmpsmoke::makePicture(o.width, o.height, i, o.fps));
    const int64_t soundUntil = (i + 1) * rtmpsmoke::kSoundRate / o.fps;
    while (soundBlocks * static_cast<int64_t>(rtmpsmoke::kSoundBlockFrames) < soundUntil) {
      outgoing.append(rtmpsmoke::makeSound(soundBlocks), rtmpsmoke::soundTime(soundBlocks));
      ++soundBlocks;
    }
    co_await platform::yieldNow();
  }
  while (input.bufferedCount() > 0) co_await platform::yieldNow();
  outgoing.stopRunning();
  co_await pump.value();
  co_await videoSender.value();
  co_await audioSender.value();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  const auto monitorEvents = stream->monitorEvents();
  co_await connection->close();
  std::cout << "  sent " << counters.videoMessages << " video and " << counters.audioMessages
            << " audio messages, " << counters.bytes << " payload bytes in " << elapsed << " s; "
            << monitorEvents << " network reports\n";
  std::cout << "  close: done\n";
  co_return counters.videoMessages > 0 && counters.audioMessages > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!options.check.empty()) return check(options.check);
  rtmpmedley::logger().setLevel(logwell::LWLogLevel::warn);
  auto runtime = std::make_shared<platform::ThreadRuntime>(3);
  auto queue = platform::SerialQueue::make("rtmpsmoke.publisher", runtime);
  try {
    return platform::blockingWait(publish(options), queue);
  } catch (const std::exception& error) {
    std::cerr << "rtmpsmoke: " << error.what() << "\n";
    return 1;
  }
}
