#pragma once

namespace medley {

// What a session does once connected.
enum class StreamSessionMode { publish, playback };

}  // namespace medley
