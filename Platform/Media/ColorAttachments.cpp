#include "Platform/Media/ColorAttachments.h"

namespace platform {
namespace {

const char* name(YCbCrMatrix m) {
  switch (m) {
    case YCbCrMatrix::unspecified: return "unspecified";
    case YCbCrMatrix::itu_r_709_2: return "ITU_R_709_2";
    case YCbCrMatrix::itu_r_601_4: return "ITU_R_601_4";
    case YCbCrMatrix::smpte_240m_1995: return "SMPTE_240M_1995";
    case YCbCrMatrix::itu_r_2020: return "ITU_R_2020";
  }
  return "?";
}

const char* name(ColorPrimaries p) {
  switch (p) {
    case ColorPrimaries::unspecified: return "unspecified";
    case ColorPrimaries::itu_r_709_2: return "ITU_R_709_2";
    case ColorPrimaries::ebu_3213: return "EBU_3213";
    case ColorPrimaries::smpte_c: return "SMPTE_C";
    case ColorPrimaries::p3_d65: return "P3_D65";
    case ColorPrimaries::itu_r_2020: return "ITU_R_2020";
  }
  return "?";
}

const char* name(TransferFunction t) {
  switch (t) {
    case TransferFunction::unspecified: return "unspecified";
    case TransferFunction::itu_r_709_2: return "ITU_R_709_2";
    case TransferFunction::smpte_240m_1995: return "SMPTE_240M_1995";
    case TransferFunction::srgb: return "sRGB";
    case TransferFunction::linear: return "Linear";
    case TransferFunction::itu_r_2020: return "ITU_R_2020";
    case TransferFunction::smpte_st_2084_pq: return "SMPTE_ST_2084_PQ";
    case TransferFunction::itu_r_2100_hlg: return "ITU_R_2100_HLG";
  }
  return "?";
}

}  // namespace

std::string ColorAttachments::description() const {
  std::string s = "{matrix: ";
  s += name(matrix);
  s += ", primaries: ";
  s += name(primaries);
  s += ", transfer: ";
  s += name(transfer);
  s += mode == AttachmentMode::shouldPropagate ? ", propagate}" : ", do not propagate}";
  return s;
}

}  // namespace platform
