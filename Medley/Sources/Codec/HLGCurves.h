#pragma once
// The exact transfer curves and primaries that the conversions between BT.709
// and HLG are built from (BT.709, BT.2100, BT.2087): the scalar form uses them
// as they are, the vector forms are fitted to them.
#include <cmath>

namespace medley {

// HLG's constants (BT.2100).
inline constexpr double kHLGA = 0.17883277, kHLGB = 0.28466892, kHLGC = 0.55991073;

// Scene light in 0...1 to HLG signal, and back.
inline double hlgOETF(double e) { return e <= 1.0 / 12 ? std::sqrt(3 * e) : kHLGA * std::log(12 * e - kHLGB) + kHLGC; }
inline double hlgInverseOETF(double v) {
  return v <= 0.5 ? v * v / 3 : (std::exp((v - kHLGC) / kHLGA) + kHLGB) / 12;
}
// Scene light of standard white in HLG: its signal is 0.75.
inline double hlgReferenceWhite() { return hlgInverseOETF(0.75); }

// Light in 0...1 to BT.709 signal, and back.
inline double bt709OETF(double l) { return l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099; }
inline double bt709InverseOETF(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }

// BT.709 primaries to BT.2020 (BT.2087), and back.
inline constexpr double kBT709ToBT2020[3][3] = {
    {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
inline constexpr double kBT2020ToBT709[3][3] = {
    {1.6605, -0.5876, -0.0728}, {-0.1246, 1.1329, -0.0083}, {-0.0182, -0.1006, 1.1187}};

}  // namespace medley
