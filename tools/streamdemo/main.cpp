// streamdemo: drives the outgoing stream (the publishing half of a stream)
// with a synthetic moving picture and a sine, and writes what its encoders
// give out into a file through libavformat: H.264 + AAC into FLV, or HEVC +
// AAC into MP4 or QuickTime. The container comes from the file name.
//
//   streamdemo --out demo.flv [--codec h264|hevc] [--seconds 5] [--size 1280x720]
//              [--fps 30] [--bitrate 2500000] [--profile H264_Main_AutoLevel]
//              [--audio-bitrate 128000]
//
// Frames are made as fast as the encoder takes them (it is given the time to
// take each one), not in real time. Check the result with, for example:
//   ffprobe -v error -show_entries stream=codec_name,profile,width,height,r_frame_rate,sample_rate,channels demo.flv
//   ffmpeg -v error -i demo.flv -f null -
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "Medley/Sources/Extension/AssetWriter.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "SyntheticMedia.h"

namespace {

using platform::Async;
using platform::AsyncStream;
using platform::SampleBufferRef;

struct Options {
  std::string out;
  std::string codec = "h264";
  double seconds = 5;
  int width = 1280;
  int height = 720;
  int fps = 30;
  int bitRate = 2'500'000;
  std::string profile;
  int audioBitRate = 128'000;
};

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "streamdemo: " << problem << "\n";
  std::cerr << "usage: streamdemo --out FILE.flv|FILE.mp4|FILE.mov [--codec h264|hevc] [--seconds 5] [--size 1280x720]\n"
               "                  [--fps 30] [--bitrate 2500000] [--profile NAME] [--audio-bitrate 128000]\n";
  std::exit(2);
}

int number(const std::string& text, const char* what, int low, int high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) usage(std::string("bad ") + what + ": " + text);
  return static_cast<int>(value);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--help" || key == "-h") usage("");
    if (i + 1 >= argc) usage("missing value for " + key);
    const std::string value = argv[++i];
    if (key == "--out") {
      o.out = value;
    } else if (key == "--codec") {
      if (value != "h264" && value != "hevc") usage("codec must be h264 or hevc");
      o.codec = value;
    } else if (key == "--seconds") {
      char* end = nullptr;
      o.seconds = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(o.seconds > 0 && o.seconds <= 3600)) usage("bad seconds: " + value);
    } else if (key == "--size") {
      const auto x = value.find('x');
      if (x == std::string::npos) usage("size must be WIDTHxHEIGHT");
      o.width = number(value.substr(0, x), "width", 16, 4096);
      o.height = number(value.substr(x + 1), "height", 16, 4096);
      if (o.width % 2 || o.height % 2) usage("size must be even");
    } else if (key == "--fps") {
      o.fps = number(value, "fps", 1, 120);
    } else if (key == "--bitrate") {
      o.bitRate = number(value, "bitrate", 10'000, 100'000'000);
    } else if (key == "--profile") {
      o.profile = value;
    } else if (key == "--audio-bitrate") {
      o.audioBitRate = number(value, "audio bitrate", 8'000, 512'000);
    } else {
      usage("unknown option " + key);
    }
  }
  if (o.out.empty()) usage("--out is required");
  const auto dot = o.out.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : o.out.substr(dot + 1);
  if (!medley::assetFileType(extension)) usage("the output must be a .flv, an .mp4 or a .mov file");
  if (o.codec == "hevc" && extension == "flv") usage("HEVC goes into .mp4 or .mov only");
  if (o.profile.empty()) o.profile = o.codec == "hevc" ? "HEVC_Main_AutoLevel" : "H264_Main_AutoLevel";
  return o;
}

// The stream owner's pump: raw frames from the input queue to the encoder,
// which is given the time to take each one.
Async<void> pumpVideo(AsyncStream<SampleBufferRef> input, medley::OutgoingStream* stream) {
  while (auto frame = co_await input.next()) {
    stream->appendVideo(*frame);
    stream->videoCodec().completeFrames();
  }
}

Async<void> writeVideo(AsyncStream<SampleBufferRef> encoded, medley::AssetWriter::Input* input) {
  while (auto buffer = co_await encoded.next()) input->append(*buffer);
}

Async<void> writeAudio(AsyncStream<medley::AudioCodec::Output> encoded, medley::AssetWriter::Input* input) {
  while (auto output = co_await encoded.next()) input->append(output->first, output->second);
}

Async<int> run(Options o) {
  const auto queue = co_await platform::currentExecutor();
  medley::OutgoingStream stream;

  medley::VideoCodecSettings video;
  video.videoSize = {static_cast<double>(o.width), static_cast<double>(o.height)};
  video.bitRate = o.bitRate;
  video.setProfileLevel(o.profile);
  video.expectedFrameRate = o.fps;
  video.allowFrameReordering = false;  // live: no frame waits for a later one
  video.isLowLatencyRateControlEnabled = true;
  stream.setVideoSettings(video);
  if (stream.videoSettings().format() != (o.codec == "hevc" ? medley::VideoCodecSettings::Format::hevc
                                                              : medley::VideoCodecSettings::Format::h264)) {
    std::cerr << "streamdemo: profile " << o.profile << " does not match codec " << o.codec << "\n";
    co_return 2;
  }
  medley::AudioCodecSettings audio;
  audio.bitRate = o.audioBitRate;
  audio.sampleRate = 48000;
  stream.setAudioSettings(audio);

  // Both time lines start at the first picture's time.
  const platform::MediaTime origin(1, o.fps);
  const auto extension = o.out.substr(o.out.rfind('.') + 1);
  auto writer = medley::AssetWriter::make(o.out, *medley::assetFileType(extension), queue->runtime());
  // Encoded media, written as the encoders give it out.
  auto videoInput = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::video, std::monostate{});
  auto audioInput = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::audio, std::monostate{});
  writer->add(videoInput);
  writer->add(audioInput);
  if (!writer->startWriting()) throw std::runtime_error(writer->error().value_or("cannot write"));
  writer->startSession(origin);

  stream.startRunning();
  auto input = stream.videoInputStream();
  auto pump = platform::spawn(queue, &pumpVideo, input, &stream);
  auto videoWriter = platform::spawn(queue, &writeVideo, stream.videoOutputStream(), videoInput.get());
  auto audioWriter = platform::spawn(queue, &writeAudio, stream.audioOutputStream(), audioInput.get());

  const int64_t frames = static_cast<int64_t>(o.seconds * o.fps + 0.5);
  const platform::Nanos originNanos = origin.nanos();
  int64_t soundBlocks = 0;
  for (int64_t i = 0; i < frames; ++i) {
    stream.append(streamdemo::makePicture(o.width, o.height, i, o.fps));
    // Sound up to the end of this picture.
    const int64_t soundUntil = (i + 1) * 48000 / o.fps;
    while (soundBlocks * static_cast<int64_t>(streamdemo::kSoundBlockFrames) < soundUntil) {
      stream.append(streamdemo::makeSound(soundBlocks), streamdemo::soundTime(soundBlocks, originNanos));
      ++soundBlocks;
    }
    co_await platform::yieldNow();  // lets the pump hand the picture on
  }
  while (input.bufferedCount() > 0) co_await platform::yieldNow();
  stream.stopRunning();  // drains the encoders and ends every sequence
  co_await pump.value();
  co_await videoWriter.value();
  co_await audioWriter.value();
  co_await platform::withContinuation<void>([&](platform::Continuation<void> done) {
    writer->finishWriting([done] { done.resume(); });
  });
  co_await platform::hop(queue);
  if (writer->status() != medley::AssetWriter::Status::completed) {
    throw std::runtime_error("no file written: " + writer->error().value_or("?"));
  }
  const auto written = writer->writtenPackets();

  std::cout << o.out << ": " << written[0] << " video packets (" << frames << " pictures), "
            << written[1] << " audio packets; raw frames dropped: " << stream.videoInputDroppedFrameCount()
            << " before the encoder, " << stream.videoCodec().droppedFrameCount() << " by it\n";
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  const Options options = parse(argc, argv);
  auto runtime = std::make_shared<platform::ThreadRuntime>(3);
  auto queue = platform::SerialQueue::make("streamdemo.stream", runtime);
  try {
    return platform::blockingWait(run(options), queue);
  } catch (const std::exception& error) {
    std::cerr << "streamdemo: " << error.what() << "\n";
    return 1;
  }
}
