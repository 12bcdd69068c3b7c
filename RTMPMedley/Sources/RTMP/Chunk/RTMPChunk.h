#pragma once
// Chunk-stream vocabulary: chunk (header) types, the chunk streams this
// system sends on and the limits of the headers.
#include <cstdint>

namespace rtmpmedley {

// fmt: 0 full header, 1 without stream id, 2 timestamp delta only, 3 none.
enum class RTMPChunkType : uint8_t { zero = 0, one = 1, two = 2, three = 3 };

// Message-header bytes of each chunk type.
constexpr int messageHeaderSize(RTMPChunkType type) {
  constexpr int sizes[] = {11, 7, 3, 0};
  return sizes[static_cast<int>(type)];
}

enum class RTMPChunkStreamId : uint16_t { control = 2, command = 3, audio = 4, video = 5, data = 8 };

// Chunk stream ids that the basic header can carry.
constexpr uint32_t kMinChunkStreamId = 2;
constexpr uint32_t kMaxChunkStreamId = 65599;
// Timestamps from this value on travel in the extended timestamp field.
constexpr uint32_t kExtendedTimestampMarker = 0xFFFFFF;
// Message lengths travel in 24 bits.
constexpr uint32_t kMaxMessageLength = 0xFFFFFF;

}  // namespace rtmpmedley
