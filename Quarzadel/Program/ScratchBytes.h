#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarzadel::nv12 {

// Scratch memory that only grows and is never cleared: every byte handed out is
// written before it is read, and a frame must not pay for zeroing it.
class ScratchBytes {
 public:
  uint8_t* get(size_t bytes);

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
};

}  // namespace quarzadel::nv12
