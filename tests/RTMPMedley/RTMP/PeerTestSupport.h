#pragma once
// What the tests against real servers share: fresh stream names, recordings
// once the server stops writing them, commands run in the background, and a
// counter of the media that comes back.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "CommandOutput.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Media/PCMBuffer.h"
#include "RTMPMedley/RTMP/Connection/ConnectionTestSupport.h"
#include "peers/PeerProcess.h"

namespace rtmptest {

inline std::string freshName(const std::string& prefix) {
  return prefix + std::to_string(::getpid()) + "x" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

inline std::string loopbackURL(uint16_t port) { return "rtmp://127.0.0.1:" + std::to_string(port) + "/live"; }

// Kills the nginx of `peer` at once, as a crash would; when it was killed.
inline std::chrono::steady_clock::time_point killNginx(const PeerProcess& peer) {
  pid_t pid = 0;
  std::ifstream(peer.dir() / "logs" / "nginx.pid") >> pid;
  EXPECT_GT(pid, 0);
  if (pid > 0) ::kill(pid, SIGKILL);
  return std::chrono::steady_clock::now();
}

// The recording `name`.flv in `dir` (any .flv under it without a name) once it stops growing; empty if none.
inline std::filesystem::path settledRecording(const std::filesystem::path& dir, const std::string& name = "") {
  std::filesystem::path found;
  uintmax_t lastSize = 0;
  for (int i = 0; i < 100; ++i) {
    std::error_code ec;
    if (!name.empty()) found = dir / (name + ".flv");
    else
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.path().extension() == ".flv") found = entry.path();
    const auto size = found.empty() ? 0 : std::filesystem::file_size(found, ec);
    if (!ec && size > 0 && size == lastSize) return found;
    lastSize = ec ? 0 : size;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return {};
}

inline void expectDecodesCleanly(const std::string& recording) {
  const auto decoded = qztest::runCommand("ffmpeg -v error -i " + recording + " -f null -");
  EXPECT_TRUE(decoded.succeeded());
  EXPECT_EQ(decoded.text, "");
}

// A command run on a thread of its own, its output read when it ends.
class Background {
 public:
  explicit Background(std::string command)
      : thread_([this, command = std::move(command)] { result_ = qztest::runCommand(command); }) {}
  qztest::CommandOutput finish() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }
  ~Background() { finish(); }

 private:
  qztest::CommandOutput result_;
  std::thread thread_;
};

// Decoded pictures and sound that come back through a stream, with their times.
class MediaCounter final : public medley::StreamOutput {
 public:
  void stream(medley::StreamConvertible&, const platform::AudioBufferRef& buffer, const platform::AudioTime&) override {
    auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer);
    if (!pcm) return;
    std::lock_guard lock(mutex_);
    // The played sound is a chirp: its pitch, read from zero crossings, says where a buffer belongs.
    const float* samples = pcm->floatChannelData()[0];
    const uint32_t stride = pcm->stride();
    int crossings = 0;
    for (uint32_t i = 1; i < pcm->frameLength(); ++i)
      if ((samples[(i - 1) * stride] < 0) != (samples[i * stride] < 0)) ++crossings;
    const double seconds = pcm->frameLength() / pcm->format().sampleRate();
    if (seconds > 0) pitches_.push_back(crossings / (2 * seconds));
    soundSeconds_ += seconds;
  }
  void stream(medley::StreamConvertible&, const platform::SampleBufferRef& sampleBuffer) override {
    std::lock_guard lock(mutex_);
    const double t = sampleBuffer->presentationTime().seconds();
    if (!pictureTimes_.empty() && t <= pictureTimes_.back()) ++outOfOrder_;
    pictureTimes_.push_back(t);
  }
  size_t pictures() const { std::lock_guard lock(mutex_); return pictureTimes_.size(); }
  double soundSeconds() const { std::lock_guard lock(mutex_); return soundSeconds_; }
  int outOfOrder() const { std::lock_guard lock(mutex_); return outOfOrder_; }
  // Buffers whose pitch is not above the one half a second earlier. The
  // first buffer holds the encoder's priming, no pitch of the chirp.
  int soundOutOfOrder() const {
    std::lock_guard lock(mutex_);
    int out = 0;
    for (size_t i = 25; i < pitches_.size(); ++i)
      out += pitches_[i] <= pitches_[i - 24];
    return out;
  }
  // Waits for the last pictures, which leave the link at their presentation time.
  void settle() const {
    size_t last = 0;
    for (int i = 0; i < 30 && (pictures() == 0 || pictures() != last); ++i) {
      last = pictures();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

 private:
  mutable std::mutex mutex_;
  std::vector<double> pictureTimes_;
  std::vector<double> pitches_;
  double soundSeconds_ = 0;
  int outOfOrder_ = 0;
};

}  // namespace rtmptest
