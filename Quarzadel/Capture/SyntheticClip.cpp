#include "Quarzadel/Capture/SyntheticClip.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

namespace quarzadel {

std::shared_ptr<const SyntheticClip> SyntheticClip::load(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    ::close(fd);
    return nullptr;
  }
  void* mapped = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return nullptr;
  return std::shared_ptr<const SyntheticClip>(
      new SyntheticClip(static_cast<const uint8_t*>(mapped), static_cast<size_t>(st.st_size)));
}

SyntheticClip::~SyntheticClip() { ::munmap(const_cast<uint8_t*>(data_), size_); }

size_t SyntheticClip::frameCount(int width, int height) const {
  const size_t bytes = frameBytes(width, height);
  return bytes == 0 ? 0 : size_ / bytes;
}

size_t SyntheticClip::frameIndex(double t, double fps, int width, int height) const {
  const size_t count = frameCount(width, height);
  if (count == 0) return 0;
  const double position = std::round(t * fps);  // halves away from zero
  const auto n = static_cast<int64_t>(count);
  int64_t index = static_cast<int64_t>(std::fmod(position, static_cast<double>(count)));
  if (index < 0) index += n;
  return static_cast<size_t>(index);
}

bool SyntheticClip::copyFrame(double t, double fps, platform::PixelBuffer& buffer) const {
  const int w = buffer.width(), h = buffer.height();
  if (buffer.planeCount() != 2 || frameCount(w, h) == 0) return false;
  const uint8_t* frame = data_ + frameIndex(t, fps, w, h) * frameBytes(w, h);
  const auto luma = buffer.plane(0);
  for (int row = 0; row < h; ++row)
    std::memcpy(luma.data + row * luma.bytesPerRow, frame + static_cast<size_t>(row) * w, w);
  const auto chroma = buffer.plane(1);
  const uint8_t* chromaRows = frame + static_cast<size_t>(w) * h;
  for (int row = 0; row < h / 2; ++row)
    std::memcpy(chroma.data + row * chroma.bytesPerRow, chromaRows + static_cast<size_t>(row) * w, w);
  return true;
}

}  // namespace quarzadel
