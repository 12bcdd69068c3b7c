#pragma once
// The one-line live status of the terminal: status (with the live time),
// upload and target bit rates, frames per second, queued data, codec, quality,
// a level meter, the camera on air, the problem and the notice; or a question
// the host is asked. Cut to the terminal's width so it can be redrawn in place.
#include <string>

#include "Quarzadel/Shell/StudioSnapshot.h"

namespace quarzadel {

class StatusLine {
 public:
  static constexpr int kMeterWidth = 10;

  // The line for this snapshot at wall time `now` (for the live time).
  static std::string format(const StudioSnapshot& snapshot, platform::Date now);
  // "[=====|    ]": RMS filled, the peak marked; "[ muted    ]" when muted.
  static std::string meter(const AudioLevel& level, bool muted);
  // "LIVE 01:02:03", "reconnecting #2", "ready" ...
  static std::string statusText(const StudioEngineStatus& status, platform::Date now);
  // The keys, for the help line.
  static std::string help();
  // Cut to `columns` display columns (UTF-8 aware); columns <= 0 keeps all.
  static std::string fit(const std::string& line, int columns);
  // What redraws the line in place on a terminal: carriage return, the line, erase to the end.
  static std::string redraw(const std::string& line, int columns);
};

}  // namespace quarzadel
