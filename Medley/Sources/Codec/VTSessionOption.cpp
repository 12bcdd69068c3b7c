#include "Medley/Sources/Codec/VTSessionOption.h"

namespace medley {

#define MEDLEY_VT_KEY(name, raw)                                   \
    const VTSessionOptionKey& VTSessionOptionKey::name() {         \
        static const VTSessionOptionKey key(raw);                  \
        return key;                                                \
    }

MEDLEY_VT_KEY(profileLevel, "ProfileLevel")
MEDLEY_VT_KEY(h264EntropyMode, "H264EntropyMode")
MEDLEY_VT_KEY(expectedFrameRate, "ExpectedFrameRate")
MEDLEY_VT_KEY(allowFrameReordering, "AllowFrameReordering")
MEDLEY_VT_KEY(maxKeyFrameIntervalDuration, "MaxKeyFrameIntervalDuration")
MEDLEY_VT_KEY(requireHardwareAcceleratedVideoEncoder, "RequireHardwareAcceleratedVideoEncoder")
MEDLEY_VT_KEY(enableHardwareAcceleratedVideoEncoder, "EnableHardwareAcceleratedVideoEncoder")
MEDLEY_VT_KEY(pixelTransferProperties, "PixelTransferProperties")
MEDLEY_VT_KEY(averageBitRate, "AverageBitRate")
MEDLEY_VT_KEY(dataRateLimits, "DataRateLimits")
MEDLEY_VT_KEY(realTime, "RealTime")
MEDLEY_VT_KEY(encoderID, "EncoderID")
MEDLEY_VT_KEY(constantBitRate, "ConstantBitRate")
MEDLEY_VT_KEY(variableBitRate, "VariableBitRate")
MEDLEY_VT_KEY(enableLowLatencyRateControl, "EnableLowLatencyRateControl")

#undef MEDLEY_VT_KEY

std::optional<double> numberValue(const VTSessionOptionValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&value)) return *d;
    return std::nullopt;
}

std::optional<bool> boolValue(const VTSessionOptionValue& value) {
    if (const auto* b = std::get_if<bool>(&value)) return *b;
    return std::nullopt;
}

}  // namespace medley
