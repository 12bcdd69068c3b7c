#include "Medley/Sources/Codec/VideoEncoder.h"

namespace medley {

std::unique_ptr<VideoEncoder> VideoEncoder::make(const VideoEncoderConfiguration& configuration, OSStatus& status) {
    if (configuration.width <= 0 || configuration.height <= 0 || configuration.width % 2 != 0 ||
        configuration.height % 2 != 0) {
        status = VTStatus::parameter;
        return nullptr;
    }
    return configuration.codec == VideoEncoderConfiguration::Codec::hevc ? makeHEVCVideoEncoder(configuration, status)
                                                                         : makeH264VideoEncoder(configuration, status);
}

}  // namespace medley
