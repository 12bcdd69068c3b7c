// The FFmpeg calls of the sound and codec paths for the static build of
// vividcheck: FFmpeg's static libraries need hardware libraries that have none,
// and the check captures pictures only. Every call fails, allocates nothing or
// does nothing, so a sound path reached by mistake reports errors, never crashes.
#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/packet.h>
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>

int swr_alloc_set_opts2(SwrContext** ps, AVChannelLayout*, AVSampleFormat, int, AVChannelLayout*, AVSampleFormat,
                        int, int, void*) {
  if (ps) *ps = nullptr;
  return AVERROR(ENOSYS);
}
int swr_init(SwrContext*) { return AVERROR(ENOSYS); }
void swr_free(SwrContext** s) {
  if (s) *s = nullptr;
}
int swr_convert(SwrContext*, uint8_t**, int, const uint8_t**, int) { return AVERROR(ENOSYS); }
int swr_set_matrix(SwrContext*, const double*, int) { return AVERROR(ENOSYS); }
int64_t swr_get_delay(SwrContext*, int64_t) { return 0; }

void av_channel_layout_default(AVChannelLayout* layout, int channels) {
  std::memset(layout, 0, sizeof *layout);
  layout->order = AV_CHANNEL_ORDER_UNSPEC;
  layout->nb_channels = channels;
}
void av_channel_layout_uninit(AVChannelLayout* layout) { std::memset(layout, 0, sizeof *layout); }
int av_sample_fmt_is_planar(AVSampleFormat format) { return format >= AV_SAMPLE_FMT_U8P && format <= AV_SAMPLE_FMT_S64P; }
AVSampleFormat av_get_packed_sample_fmt(AVSampleFormat format) { return format; }
int64_t av_rescale_q(int64_t a, AVRational bq, AVRational cq) {
  return static_cast<int64_t>(static_cast<long double>(a) * bq.num * cq.den / (static_cast<long double>(bq.den) * cq.num));
}
int av_strerror(int errnum, char* buffer, size_t size) {
  if (size > 0) std::snprintf(buffer, size, "error %d (no FFmpeg in this build)", errnum);
  return 0;
}

AVFrame* av_frame_alloc() { return nullptr; }
AVFrame* av_frame_clone(const AVFrame*) { return nullptr; }
void av_frame_free(AVFrame** frame) {
  if (frame) *frame = nullptr;
}
AVPacket* av_packet_clone(const AVPacket*) { return nullptr; }
void av_packet_free(AVPacket** packet) {
  if (packet) *packet = nullptr;
}
void avcodec_free_context(AVCodecContext** context) {
  if (context) *context = nullptr;
}
AVBufferRef* av_buffer_create(uint8_t*, size_t, void (*)(void*, uint8_t*), void*, int) { return nullptr; }
}
