#include "Quarzadel/Studio/CompleteFragments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace quarzadel {

namespace {

uint64_t bigEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

std::optional<CompleteFragments> CompleteFragments::of(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  uint64_t offset = 0;
  CompleteFragments found;
  bool fragmentOpen = false;
  while (offset + 8 <= size) {
    unsigned char header[16];
    const ssize_t n = ::pread(fd, header, sizeof header, static_cast<off_t>(offset));
    if (n < 8) break;
    uint64_t length = bigEndian(header, 4);
    if (length == 1) {
      if (n < 16) break;
      length = bigEndian(header + 8, 8);
      if (length < 16) break;
    } else if (length < 8) {
      break;  // 0 runs to the end of the file: a box the writer never closed
    }
    if (length > size - offset) break;
    offset += length;
    // A fragment's header counts once its media data has come whole after it.
    if (std::memcmp(header + 4, "moof", 4) == 0) {
      fragmentOpen = true;
      continue;
    }
    if (fragmentOpen && std::memcmp(header + 4, "mdat", 4) == 0) ++found.fragments;
    fragmentOpen = false;
    found.length = offset;
  }
  ::close(fd);
  return found;
}

std::optional<CompleteFragments> CompleteFragments::keep(const std::filesystem::path& file) {
  const auto found = of(file);
  if (!found) return std::nullopt;
  std::error_code error;
  if (std::filesystem::file_size(file, error) == found->length) return found;
  if (::truncate(file.c_str(), static_cast<off_t>(found->length)) != 0) return std::nullopt;
  return found;
}

}  // namespace quarzadel
