// The program picture at 1080p during a dissolve, both sides fitted over the
// blurred fill of themselves (a 4:3 camera with framing "fit" and a portrait
// phone), one core: our plane-level renderer against FFmpeg's filter graph doing
// the same picture on the same frames. Both sources move, as live cameras do:
// each frame takes the next of two pictures of each (so that nothing framed for
// one frame can be reused for the next). Both run as repetitions interleaved in
// random order, so that a busy machine slows both alike; the summary line gives
// the median of each and their ratio.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/FFmpegBridge.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Program/ProgramRenderer.h"

namespace {

using namespace quarzadel;

struct Frames {
  platform::PixelBufferRef camera;    // 1440 x 1080
  platform::PixelBufferRef portrait;  // 1080 x 1920
};

// Two successive frames of each source.
const std::array<Frames, 2>& frames() {
  static const std::array<Frames, 2> f = [] {
    auto runtime = platform::VirtualRuntime::make();
    auto b = SyntheticVideoSource::make(*SyntheticSources::spec("synthetic-b"), runtime, nullptr);
    auto c = SyntheticVideoSource::make(*SyntheticSources::spec("synthetic-c"), runtime, nullptr);
    // Rendered in turn: each camera's pool hands out a separate buffer for each.
    auto b0 = b->render(1000.5), b1 = b->render(1000.5 + 1.0 / 30);
    auto c0 = c->render(1000.7), c1 = c->render(1000.7 + 1.0 / 25);
    return std::array<Frames, 2>{Frames{b0, c0}, Frames{b1, c1}};
  }();
  return f;
}

void BM_OurProgramDissolveFitOverBlurredFill(benchmark::State& state) {
  ProgramRenderer renderer(StreamConfig{}, Framing::fit);
  const auto& f = frames();
  renderer.compose(f[0].portrait, false, f[0].camera, false, 0.5);
  size_t i = 1;
  for (auto _ : state) {
    const auto& next = f[i++ % 2];
    auto out = renderer.compose(next.portrait, false, next.camera, false, 0.5);
    benchmark::DoNotOptimize(out);
  }
}
constexpr int kRepetitions = 15;
constexpr double kSecondsPerRepetition = 0.3;

BENCHMARK(BM_OurProgramDissolveFitOverBlurredFill)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kSecondsPerRepetition)
    ->Repetitions(kRepetitions);

// The same picture as an FFmpeg filter graph: per source, a quarter-size fill,
// Gaussian blur (sigma 12), darkened and desaturated, scaled back up, with the
// fitted image over it; then the two blended half and half.
class FilterGraph {
 public:
  FilterGraph() {
    graph_ = avfilter_graph_alloc();
    if (!graph_) throw std::runtime_error("no graph");
    graph_->nb_threads = 1;
    camera_ = source("camera", 1440, 1080);
    portrait_ = source("portrait", 1080, 1920);
    if (avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph_) < 0)
      throw std::runtime_error("no sink");
    const char* description =
        "[camera]split[c0][c1];"
        "[c0]scale=480:360,crop=480:270,gblur=sigma=12,eq=brightness=-0.12:saturation=0.9,scale=1920:1080[cbg];"
        "[c1]scale=1440:1080[cfg];"
        "[cbg][cfg]overlay=(W-w)/2:(H-h)/2[cp];"
        "[portrait]split[p0][p1];"
        "[p0]scale=480:854,crop=480:270,gblur=sigma=12,eq=brightness=-0.12:saturation=0.9,scale=1920:1080[pbg];"
        "[p1]scale=608:1080[pfg];"
        "[pbg][pfg]overlay=(W-w)/2:(H-h)/2[pp];"
        "[pp][cp]blend=all_mode=normal:all_opacity=0.5,format=nv12[out]";
    AVFilterInOut* outputs = link("camera", camera_, link("portrait", portrait_, nullptr));
    AVFilterInOut* inputs = avfilter_inout_alloc();
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    const int parsed = avfilter_graph_parse_ptr(graph_, description, &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (parsed < 0 || avfilter_graph_config(graph_, nullptr) < 0) throw std::runtime_error("graph");
    out_ = av_frame_alloc();
  }
  ~FilterGraph() {
    av_frame_free(&out_);
    avfilter_graph_free(&graph_);
  }

  void render(const Frames& f) {
    for (auto [ctx, picture] : {std::pair{camera_, f.camera}, std::pair{portrait_, f.portrait}}) {
      auto frame = platform::ffmpeg::makeAVFrame(picture);
      frame->pts = pts_;
      if (av_buffersrc_add_frame_flags(ctx, frame.get(), AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
        throw std::runtime_error("push");
    }
    ++pts_;
    if (av_buffersink_get_frame(sink_, out_) < 0) throw std::runtime_error("pull");
    av_frame_unref(out_);
  }

 private:
  AVFilterContext* source(const char* name, int w, int h) {
    char args[256];
    std::snprintf(args, sizeof args,
                  "video_size=%dx%d:pix_fmt=%d:time_base=1/30:pixel_aspect=1/1", w, h, AV_PIX_FMT_NV12);
    AVFilterContext* ctx = nullptr;
    if (avfilter_graph_create_filter(&ctx, avfilter_get_by_name("buffer"), name, args, nullptr, graph_) < 0)
      throw std::runtime_error("no source");
    return ctx;
  }
  static AVFilterInOut* link(const char* name, AVFilterContext* ctx, AVFilterInOut* next) {
    AVFilterInOut* io = avfilter_inout_alloc();
    io->name = av_strdup(name);
    io->filter_ctx = ctx;
    io->pad_idx = 0;
    io->next = next;
    return io;
  }

  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* camera_ = nullptr;
  AVFilterContext* portrait_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  AVFrame* out_ = nullptr;
  int64_t pts_ = 0;
};

void BM_FFmpegFilterGraphSamePicture(benchmark::State& state) {
  FilterGraph graph;
  const auto& f = frames();
  graph.render(f[0]);
  size_t i = 1;
  for (auto _ : state) graph.render(f[i++ % 2]);
}
BENCHMARK(BM_FFmpegFilterGraphSamePicture)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kSecondsPerRepetition)
    ->Repetitions(kRepetitions);

// Keeps the median of each benchmark's repetitions for the summary line.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;  // in the run's unit (ms)
    double cpu = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
  }
  std::map<std::string, Times> medians;
};

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Repetitions of the two alternate unless the caller says otherwise.
  std::vector<char*> args(argv, argv + argc);
  bool interleaving = false;
  for (int i = 1; i < argc; ++i)
    interleaving = interleaving || std::strstr(argv[i], "--benchmark_enable_random_interleaving") == argv[i];
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!interleaving) args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ours = reporter.medians.find("BM_OurProgramDissolveFitOverBlurredFill");
  const auto theirs = reporter.medians.find("BM_FFmpegFilterGraphSamePicture");
  if (ours != reporter.medians.end() && theirs != reporter.medians.end())
    std::printf("program picture 1080p, dissolve, fit over blurred fill, median of %d repetitions:\n"
                "  ours %.2f ms per frame (%.2f ms CPU); ffmpeg filter graph %.2f ms (%.2f ms CPU)\n"
                "  ffmpeg / ours = %.1fx (CPU %.1fx)\n",
                kRepetitions, ours->second.real, ours->second.cpu, theirs->second.real, theirs->second.cpu,
                theirs->second.real / ours->second.real, theirs->second.cpu / ours->second.cpu);
  benchmark::Shutdown();
  return 0;
}
