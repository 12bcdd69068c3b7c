#include "Medley/Sources/Codec/VideoEncoder.h"

namespace medley {

std::unique_ptr<VideoEncoder> VideoEncoder::make(const VideoEncoderConfiguration& configuration, OSStatus& status) {
    if (configuration.width <= 0 || configuration.height <= 0 || configuration.width % 2 != 0 ||
        configuration.height % 2 != 0) {
        status = VTStatus::parameter;
        return nullptr;
    }
    if (configuration.codec != VideoEncoderConfiguration::Codec::hevc) return makeH264VideoEncoder(configuration, status);
    return configuration.hardware ? makeHardwareHEVCVideoEncoder(configuration, status)
                                  : makeHEVCVideoEncoder(configuration, status);
}

}  // namespace medley
