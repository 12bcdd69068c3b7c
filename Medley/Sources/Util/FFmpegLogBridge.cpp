#include "Medley/Sources/Util/FFmpegLogBridge.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {
namespace {

void forward(void* avcl, int level, const char* fmt, va_list args) {
  if (level > AV_LOG_WARNING && !logger().isEnabledFor(logwell::LWLogger::Level::trace)) return;
  char line[1024];
  int prefix = 1;
  // FFmpeg's own formatting of its own format strings; the text is then a plain item.
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &prefix);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return;
  if (level <= AV_LOG_ERROR) MEDLEY_LOG_ERROR("ffmpeg", text);
  else if (level <= AV_LOG_WARNING) MEDLEY_LOG_WARN("ffmpeg", text);
  else MEDLEY_LOG_TRACE("ffmpeg", text);
}

}  // namespace

void installFFmpegLogBridge() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(forward); });
}

}  // namespace medley
