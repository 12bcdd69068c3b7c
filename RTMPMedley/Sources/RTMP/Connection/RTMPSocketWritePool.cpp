#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocketWritePool.h"

#include "Medley/Sources/Extension/Data.h"

namespace rtmpmedley {

class RTMPSocketWritePool::Write final : public platform::TcpConnection::Gather {
 public:
  explicit Write(std::weak_ptr<RTMPSocketWritePool> pool) : pool_(std::move(pool)) {}

  void assign(RTMPChunkedMessage chunks) {
    if (chunks.owner && chunks.chunkSize() >= kMinGatherChunkSize) {
      chunks_ = std::move(chunks);
      copied_ = false;
      return;
    }
    // The payload lives only as long as the call, or its pieces are small:
    // copy the wire bytes once.
    copy_.resize(chunks.size());
    chunks.copyTo(copy_.data());
    copied_ = true;
  }

  size_t size() const override { return copied_ ? copy_.size() : chunks_.size(); }

  size_t pieces(size_t offset, std::span<std::span<const uint8_t>> out) const override {
    if (!copied_) return chunks_.pieces(offset, out);
    if (offset >= copy_.size() || out.empty()) return 0;
    out[0] = std::span<const uint8_t>(copy_).subspan(offset);
    return 1;
  }

  void release() override {
    chunks_ = {};  // lets go of the payload's owner
    if (copy_.capacity() > kMaxKeptCopy) medley::Data().swap(copy_);
    if (auto pool = pool_.lock()) {
      pool->giveBack(this);
      return;
    }
    delete this;
  }

 private:
  std::weak_ptr<RTMPSocketWritePool> pool_;
  RTMPChunkedMessage chunks_;
  medley::Data copy_;
  bool copied_ = false;
};

RTMPSocketWritePool::~RTMPSocketWritePool() {
  for (Write* write : idle_) delete write;
}

platform::TcpConnection::GatherPtr RTMPSocketWritePool::take(RTMPChunkedMessage chunks) {
  if (chunks.empty()) return nullptr;
  Write* write = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      write = idle_.back();
      idle_.pop_back();
    }
  }
  if (!write) write = new Write(weak_from_this());
  write->assign(std::move(chunks));
  return platform::TcpConnection::GatherPtr(write);
}

void RTMPSocketWritePool::giveBack(Write* write) {
  {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(write);
      return;
    }
  }
  delete write;
}

size_t RTMPSocketWritePool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

}  // namespace rtmpmedley
