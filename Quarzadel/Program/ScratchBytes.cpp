#include "Quarzadel/Program/ScratchBytes.h"

namespace quarzadel::nv12 {

uint8_t* ScratchBytes::get(size_t bytes) {
  if (bytes > size_) {
    data_.reset(new uint8_t[bytes]);  // uninitialised on purpose
    size_ = bytes;
  }
  return data_.get();
}

}  // namespace quarzadel::nv12
