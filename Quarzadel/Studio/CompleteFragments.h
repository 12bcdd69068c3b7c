#pragma once
// A fragmented MPEG-4 file cut short by a failed write (a full disk) ends in a
// partial fragment. Cutting the file back to its last whole fragment leaves a movie
// that every reader plays to that point without complaint.
#include <cstdint>
#include <filesystem>
#include <optional>

namespace quarzadel {

struct CompleteFragments {
  // The length of the file's whole top-level boxes, a movie fragment counting only
  // together with the media data after it.
  uint64_t length = 0;
  // The movie fragments within that length: none means nothing plays.
  int fragments = 0;

  // None when the file cannot be read.
  static std::optional<CompleteFragments> of(const std::filesystem::path& file);
  // Cuts the file to its whole fragments; none when it could not be read or cut.
  static std::optional<CompleteFragments> keep(const std::filesystem::path& file);
};

}  // namespace quarzadel
