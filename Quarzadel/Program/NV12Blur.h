#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "Quarzadel/Program/NV12Frame.h"
#include "Quarzadel/Program/NV12ToneTable.h"
#include "Quarzadel/Program/ScratchBytes.h"

namespace quarzadel::nv12 {

// A Gaussian blur approximated by three box passes each way, edges repeated
// outward. A wide one is done on a picture of half the size and enlarged back:
// it keeps nothing that half the samples cannot hold, and a quarter of the
// samples costs a quarter. Keeps its scratch memory between calls.
class Blur {
 public:
  // From this sigma on the blur is done at half size.
  static constexpr double kHalfSizeSigma = 6;

  // sigma in luma samples; chroma gets half of it (half the resolution).
  // `tone`, when given, is applied to the blurred picture (at the smaller size
  // when blurred at half size).
  void apply(const NV12Frame& f, double sigma, const ToneTable* tone = nullptr);
  // The blur alone, always at full size.
  void applyFullSize(const NV12Frame& f, double sigma);
  // The picture blurred (and toned) at half the size of `f`, rounded up, without
  // enlarging it back; `f` is left as it is. Valid until the next call.
  NV12Frame halfSize(const NV12Frame& f, double sigma, const ToneTable* tone = nullptr);
  // Box radii of the three passes for a Gaussian of this sigma.
  static std::array<int, 3> boxRadii(double sigma);

 private:
  // `padded`: the plane's rows have room (scratch) up to a multiple of 16 bytes.
  void blurPlane(uint8_t* plane, int stride, int samples, int rows, int channels, const std::array<int, 3>& radii,
                 bool padded);
  void columnPasses(uint8_t* plane, int stride, uint8_t* out, int outStride, int rowBytes, int rows,
                    const std::array<int, 3>& radii, bool padded);
  // The planes of `f` halved, blurred and toned; chroma as two planes, and
  // room for it interleaved.
  struct Halved {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    uint8_t* uv = nullptr;
    int yStride = 0, cStride = 0, uvStride = 0;
    int w = 0, h = 0, cw = 0, ch = 0;
  };
  Halved blurHalved(const NV12Frame& f, double sigma, const ToneTable* tone);

  ScratchBytes tmpA_, tmpB_, transposed_, back_, half_, halfUV_, wide_;
  std::vector<uint16_t> sums_;
};

}  // namespace quarzadel::nv12
