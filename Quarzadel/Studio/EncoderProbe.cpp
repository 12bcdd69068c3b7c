#include "Quarzadel/Studio/EncoderProbe.h"

#include <filesystem>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace quarzadel {
namespace {

// Opens hevc_vaapi on each render node at the size; the first that opens wins.
bool hardwareHEVC(int width, int height) {
  const AVCodec* codec = avcodec_find_encoder_by_name("hevc_vaapi");
  if (!codec) return false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec)) {
    std::string node = entry.path().string();
    if (node.find("renderD") == std::string::npos) continue;
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) continue;
    bool opened = false;
    AVBufferRef* frames = av_hwframe_ctx_alloc(device);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (frames && context) {
      auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
      fc->format = AV_PIX_FMT_VAAPI;
      fc->sw_format = AV_PIX_FMT_NV12;
      fc->width = width;
      fc->height = height;
      fc->initial_pool_size = 4;
      if (av_hwframe_ctx_init(frames) >= 0) {
        context->width = width;
        context->height = height;
        context->time_base = AVRational{1, 30};
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        context->hw_frames_ctx = av_buffer_ref(frames);
        opened = avcodec_open2(context, codec, nullptr) >= 0;
      }
    }
    avcodec_free_context(&context);
    av_buffer_unref(&frames);
    av_buffer_unref(&device);
    if (opened) return true;
  }
  return false;
}

}  // namespace

EncoderSupport encoderSupport(StreamConfig::VideoCodec codec, int width, int height) {
  if (width <= 0 || height <= 0) return {};
  if (codec == StreamConfig::VideoCodec::hevc) return {hardwareHEVC(width, height), false};
  if (!avcodec_find_encoder_by_name("libx264")) return {};
  return {true, true};
}

}  // namespace quarzadel
