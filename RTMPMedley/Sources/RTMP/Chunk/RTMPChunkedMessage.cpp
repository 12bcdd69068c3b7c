#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkedMessage.h"

#include <algorithm>
#include <cstring>

namespace rtmpmedley {

size_t RTMPChunkedMessage::chunkCount() const {
  return payload_.empty() ? 0 : (payload_.size() + chunkSize_ - 1) / chunkSize_;
}

size_t RTMPChunkedMessage::size() const {
  const size_t chunks = chunkCount();
  return chunks == 0 ? 0 : payload_.size() + firstSize_ + (chunks - 1) * nextSize_;
}

size_t RTMPChunkedMessage::pieces(size_t offset, std::span<std::span<const uint8_t>> out) const {
  const size_t total = payload_.size();
  const size_t chunks = chunkCount();
  if (chunks == 0 || out.empty()) return 0;
  // The chunk holding `offset`: the first spans firstSize_ + chunkSize_ bytes,
  // each later one nextSize_ + chunkSize_.
  size_t chunk = 0;
  size_t start = 0;
  const size_t firstEnd = firstSize_ + std::min(chunkSize_, total);
  if (offset >= firstEnd) {
    const size_t stride = nextSize_ + chunkSize_;
    chunk = 1 + (offset - firstEnd) / stride;
    start = firstEnd + (chunk - 1) * stride;
  }
  size_t written = 0;
  size_t local = offset - start;
  for (; chunk < chunks && written < out.size(); ++chunk, local = 0) {
    const uint8_t* header = chunk == 0 ? first_.data() : next_.data();
    const size_t headerSize = chunk == 0 ? firstSize_ : nextSize_;
    const size_t dataStart = chunk * chunkSize_;
    const size_t dataSize = std::min(chunkSize_, total - dataStart);
    if (local < headerSize) {
      out[written++] = {header + local, headerSize - local};
      local = headerSize;
      if (written == out.size()) break;
    }
    const size_t skip = local - headerSize;
    if (skip < dataSize) out[written++] = payload_.subspan(dataStart + skip, dataSize - skip);
  }
  return written;
}

void RTMPChunkedMessage::copyTo(uint8_t* out) const {
  const size_t total = payload_.size();
  if (total == 0) return;
  std::memcpy(out, first_.data(), firstSize_);
  out += firstSize_;
  size_t n = std::min(chunkSize_, total);
  std::memcpy(out, payload_.data(), n);
  out += n;
  const uint8_t* src = payload_.data() + n;
  const uint8_t* const end = payload_.data() + total;
  // Later headers are mostly the single type 3 byte: store it, no call.
  const bool oneByte = nextSize_ == 1;
  while (src < end) {
    if (oneByte) {
      *out++ = next_[0];
    } else {
      std::memcpy(out, next_.data(), nextSize_);
      out += nextSize_;
    }
    n = std::min<size_t>(chunkSize_, static_cast<size_t>(end - src));
    std::memcpy(out, src, n);
    out += n;
    src += n;
  }
}

}  // namespace rtmpmedley
