#pragma once
// A fragmented MPEG-4 file cut short by a failed write (a full disk) ends in a
// partial fragment. Cutting the file back to its last whole fragment leaves a movie
// that every reader plays to that point without complaint.
#include <cstdint>
#include <filesystem>
#include <optional>

namespace quarzadel {

// The length of the file's whole top-level boxes, a movie fragment counting only
// together with the media data after it; none when the file cannot be read.
std::optional<uint64_t> completeFragmentsLength(const std::filesystem::path& file);

// Cuts the file to that length. False when it could not be read or cut.
bool keepCompleteFragments(const std::filesystem::path& file);

}  // namespace quarzadel
