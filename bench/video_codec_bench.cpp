// Video encoding: our codec against the ffmpeg command line on the same raw
// 1080p NV12 frames with the same encoder and settings (CPU time ratio), and
// encoding speed at 1080p and 720p on one and on two cores.
//
// Counters: fps (frames per second, wall clock), cores (CPU seconds per
// second), cpu_ratio (our CPU time / ffmpeg's; target <= 1.05).
#include <benchmark/benchmark.h>

#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Medley/Sources/Codec/VTCompressionSession.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Platform/Media/PixelBuffer.h"

extern char** environ;

namespace {

using medley::VideoCodecSettings;
using platform::MediaTime;
using platform::PixelBufferRef;

constexpr int kDistinctFrames = 60;
constexpr int kEncodedFrames = 120;  // the distinct frames twice: 4 s at 30 fps

// Smooth texture sliding across the picture plus grain: real work for an encoder.
std::vector<PixelBufferRef> makeFrames(int width, int height) {
    std::vector<PixelBufferRef> frames;
    std::vector<std::uint8_t> base((width + 4 * kDistinctFrames) * height);
    std::uint32_t seed = 12345;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width + 4 * kDistinctFrames; ++col) {
            seed = seed * 1103515245u + 12345u;
            base[row * (width + 4 * kDistinctFrames) + col] =
                static_cast<std::uint8_t>(100 + ((col / 24 + row / 24) % 2) * 40 + ((col * 3 + row * 5) % 50) + ((seed >> 16) % 8));
        }
    }
    for (int i = 0; i < kDistinctFrames; ++i) {
        auto f = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
        const auto y = f->plane(0), uv = f->plane(1);
        for (int row = 0; row < height; ++row) {
            std::memcpy(y.data + row * y.bytesPerRow, base.data() + row * (width + 4 * kDistinctFrames) + 4 * i, width);
        }
        for (int row = 0; row < uv.height; ++row) {
            for (int col = 0; col < uv.width; ++col) {
                uv.data[row * uv.bytesPerRow + 2 * col] = static_cast<std::uint8_t>(110 + (col + i) % 30);
                uv.data[row * uv.bytesPerRow + 2 * col + 1] = static_cast<std::uint8_t>(120 + (row + i) % 20);
            }
        }
        frames.push_back(f);
    }
    return frames;
}

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Affinity {
    explicit Affinity(int cores) {
        sched_getaffinity(0, sizeof previous, &previous);
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int c = 0, n = 0; c < CPU_SETSIZE && n < cores; ++c) {
            if (CPU_ISSET(c, &previous)) {
                CPU_SET(c, &set);
                ++n;
            }
        }
        sched_setaffinity(0, sizeof set, &set);
    }
    ~Affinity() { sched_setaffinity(0, sizeof previous, &previous); }
    cpu_set_t previous;
};

VideoCodecSettings settingsFor(bool hevc, int width, int height, int bitRate) {
    VideoCodecSettings s;
    s.videoSize = {double(width), double(height)};
    s.bitRate = bitRate;
    s.setProfileLevel(hevc ? medley::VTProfileLevel::hevcMainAutoLevel : medley::VTProfileLevel::h264HighAutoLevel);
    s.allowFrameReordering = false;
    s.expectedFrameRate = 30;
    s.maxKeyFrameIntervalDuration = 2;
    return s;
}

struct Run {
    double wall = 0;
    double cpu = 0;
    std::size_t bytes = 0;
};

// Feeds the frames at full speed, never more than the session can take
// without dropping, and waits for the last one.
Run encodeWithCodec(const VideoCodecSettings& settings, const std::vector<PixelBufferRef>& frames) {
    medley::VideoCodec codec;
    codec.setSettings(settings);
    auto stream = codec.outputStream();
    codec.startRunning();
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kEncodedFrames; ++i) {
        platform::SampleTiming timing;
        timing.presentationTime = MediaTime(i + 1, 30);
        timing.duration = MediaTime(1, 30);
        codec.append(platform::SampleBuffer::makeImage(frames[i % frames.size()], timing));
        if (auto* session = dynamic_cast<medley::VTCompressionSession*>(codec.session().get())) {
            session->waitUntilPendingAtMost(1);
        }
    }
    codec.stopRunning();
    Run run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    if (codec.droppedFrameCount() != 0) std::fprintf(stderr, "dropped %llu frames\n", (unsigned long long)codec.droppedFrameCount());
    return run;
}

std::string writeRaw(const std::vector<PixelBufferRef>& frames) {
    const std::string path = "/tmp/qz_video_bench_" + std::to_string(getpid()) + ".nv12";
    std::ofstream out(path, std::ios::binary);
    for (const auto& f : frames) {
        for (int p = 0; p < 2; ++p) {
            const auto plane = f->plane(p);
            const int rowBytes = p == 0 ? plane.width : plane.width * 2;
            for (int row = 0; row < plane.height; ++row) {
                out.write(reinterpret_cast<const char*>(plane.data + row * plane.bytesPerRow), rowBytes);
            }
        }
    }
    return path;
}

Run encodeWithFFmpeg(bool hevc, int width, int height, int bitRate, const std::string& raw, int cores) {
    const int kbps = bitRate / 1000;
    const std::string vbv = std::to_string(kbps * 3 / 2);
    std::vector<std::string> args{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "rawvideo",
                                  "-pix_fmt", "nv12", "-s", std::to_string(width) + "x" + std::to_string(height),
                                  "-framerate", "30", "-stream_loop", "1", "-i", raw};
    if (hevc) {
        args.insert(args.end(), {"-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency", "-profile:v", "main",
                                 "-x265-params",
                                 "log-level=error:keyint=60:min-keyint=60:scenecut=0:rc-lookahead=0:cutree=0:bframes=0:"
                                 "open-gop=0:repeat-headers=0:info=0:pools=" + std::to_string(cores) + ":bitrate=" + std::to_string(kbps) +
                                     ":vbv-maxrate=" + vbv + ":vbv-bufsize=" + vbv});
    } else {
        args.insert(args.end(), {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "high",
                                 "-b:v", std::to_string(kbps) + "k", "-maxrate", vbv + "k", "-bufsize", vbv + "k",
                                 "-x264-params",
                                 "keyint=60:min-keyint=60:scenecut=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:bframes=0"});
    }
    args.insert(args.end(), {"-f", "null", "-"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    Run run;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpu0;
    return run;
}

void BM_CpuRatioAgainstFFmpeg(benchmark::State& state) {
    const bool hevc = state.range(0) != 0;
    const int cores = int(state.range(1));
    const int width = 1920, height = 1080, bitRate = 4'000'000;
    const auto frames = makeFrames(width, height);
    const auto raw = writeRaw(frames);
    Affinity affinity(cores);
    Run ours, theirs;
    for (auto _ : state) {
        // Alternate and keep the better of two runs each, against noise from other work on the machine.
        for (int k = 0; k < 2; ++k) {
            const Run o = encodeWithCodec(settingsFor(hevc, width, height, bitRate), frames);
            const Run t = encodeWithFFmpeg(hevc, width, height, bitRate, raw, cores);
            if (k == 0 || o.cpu < ours.cpu) ours = o;
            if (k == 0 || t.cpu < theirs.cpu) theirs = t;
        }
    }
    std::remove(raw.c_str());
    state.counters["cpu_ratio"] = theirs.cpu > 0 ? ours.cpu / theirs.cpu : 0;
    state.counters["ours_cpu_s"] = ours.cpu;
    state.counters["ffmpeg_cpu_s"] = theirs.cpu;
    state.counters["ours_fps"] = kEncodedFrames / ours.wall;
    state.counters["ffmpeg_fps"] = theirs.wall > 0 ? kEncodedFrames / theirs.wall : 0;
}

void BM_EncodeSpeed(benchmark::State& state) {
    const bool hevc = state.range(0) != 0;
    const int height = int(state.range(1));
    const int width = height == 1080 ? 1920 : 1280;
    const int cores = int(state.range(2));
    const auto frames = makeFrames(width, height);
    Affinity affinity(cores);
    Run run;
    for (auto _ : state) run = encodeWithCodec(settingsFor(hevc, width, height, height == 1080 ? 4'000'000 : 2'500'000), frames);
    state.counters["fps"] = kEncodedFrames / run.wall;
    // CPU needed for 30 frames per second, in cores.
    state.counters["cores_at_30fps"] = run.cpu / (kEncodedFrames / 30.0);
}

}  // namespace

BENCHMARK(BM_CpuRatioAgainstFFmpeg)
    ->ArgNames({"hevc", "cores"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_EncodeSpeed)
    ->ArgNames({"hevc", "height", "cores"})
    ->ArgsProduct({{0, 1}, {1080, 720}, {1, 2}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_MAIN();
