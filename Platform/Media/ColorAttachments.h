#pragma once
// Colour tags carried by pictures and video format descriptions.
#include <string>

namespace platform {

enum class YCbCrMatrix { unspecified, itu_r_709_2, itu_r_601_4, smpte_240m_1995, itu_r_2020 };
enum class ColorPrimaries { unspecified, itu_r_709_2, ebu_3213, smpte_c, p3_d65, itu_r_2020 };
enum class TransferFunction {
  unspecified,
  itu_r_709_2,
  smpte_240m_1995,
  srgb,
  linear,
  itu_r_2020,
  smpte_st_2084_pq,
  itu_r_2100_hlg,
};

// Whether a tag follows the picture into pictures derived from it (an encoder's
// output, a converted copy) or stays on this buffer only.
enum class AttachmentMode { shouldPropagate, shouldNotPropagate };

struct ColorAttachments {
  YCbCrMatrix matrix = YCbCrMatrix::unspecified;
  ColorPrimaries primaries = ColorPrimaries::unspecified;
  TransferFunction transfer = TransferFunction::unspecified;
  AttachmentMode mode = AttachmentMode::shouldPropagate;

  static constexpr ColorAttachments bt709() {
    return {YCbCrMatrix::itu_r_709_2, ColorPrimaries::itu_r_709_2, TransferFunction::itu_r_709_2,
            AttachmentMode::shouldPropagate};
  }
  bool isEmpty() const {
    return matrix == YCbCrMatrix::unspecified && primaries == ColorPrimaries::unspecified &&
           transfer == TransferFunction::unspecified;
  }
  // The tags a derived picture inherits: all of them, or none when they do not propagate.
  ColorAttachments propagated() const { return mode == AttachmentMode::shouldPropagate ? *this : ColorAttachments{}; }
  std::string description() const;
  friend bool operator==(const ColorAttachments&, const ColorAttachments&) = default;
};

}  // namespace platform
