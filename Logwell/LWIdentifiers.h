#pragma once
// The media libraries' identifier prefix: their logger identifiers and queue
// labels begin with it.
namespace logwell {

inline constexpr const char* kLibraryIdentifierPrefix = "quarzadel";

}  // namespace logwell
