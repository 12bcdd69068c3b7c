#pragma once
// A picture node that carries a key colour; stored and exposed, applied by none of them.
#include <optional>

#include "Medley/Sources/Screen/ScreenGeometry.h"

namespace medley {

class ChromaKeyProcessable {
 public:
  virtual ~ChromaKeyProcessable() = default;
  const std::optional<ScreenColor>& chromaKeyColor() const { return chromaKeyColor_; }
  void setChromaKeyColor(std::optional<ScreenColor> color) { chromaKeyColor_ = color; }

 private:
  std::optional<ScreenColor> chromaKeyColor_;
};

}  // namespace medley
