#pragma once
// FFmpeg's own log lines go through the module logger instead of stderr:
// warnings and errors as such, everything else at trace.

namespace medley {

// Installs the bridge once per process; cheap to call before every codec opens.
void installFFmpegLogBridge();

}  // namespace medley
