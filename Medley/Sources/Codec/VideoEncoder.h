#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Medley/Sources/Codec/VTSessionError.h"
#include "Medley/Sources/Extension/Data.h"
#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/PixelBuffer.h"

namespace medley {

// Bits per second to the whole kilobits per second the encoder libraries take.
inline int kilobitsPerSecond(std::int64_t bits) {
  return static_cast<int>(std::clamp<std::int64_t>((bits + 500) / 1000, 0, INT32_MAX));
}

// Everything an encoder library needs to start, in its own units.
struct VideoEncoderConfiguration {
    enum class Codec { h264, hevc };
    enum class RateControl { average, constant, variable };

    Codec codec = Codec::h264;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::string profile = "baseline";  // baseline, main, high, main10
    std::optional<int> levelIdc;       // ten times the level (31 for 3.1), both codecs; absent: the encoder picks
    bool highTier = false;             // HEVC, with a level
    RateControl rateControl = RateControl::average;
    std::int64_t bitRate = 640000;            // bits per second
    std::int64_t vbvMaxBitRate = 0;           // bits per second; 0: no rate buffer
    std::int64_t vbvBufferSize = 0;           // bits
    bool allowFrameReordering = false;
    double expectedFrameRate = 30;
    bool cabac = false;
    bool tenBit = false;  // 10-bit input and output (HEVC Main10 only)
    platform::ColorAttachments color = platform::ColorAttachments::bt709();
    bool fullRange = false;
    int threads = 0;  // 0: the library decides
    std::string preset;  // empty: the codec's live default
    bool hardware = false;  // HEVC on the GPU (VAAPI), never in software
};

struct VideoEncodedFrame {
    Data byteStream;  // one access unit, start-code layout
    std::int64_t pts = 0;
    std::int64_t dts = 0;
};

// An encoder library behind one interface. Timestamps are nanoseconds.
// Not thread-safe: one thread opens, encodes, reconfigures and closes it.
class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;

    // An open encoder, or nullptr with `status` set.
    static std::unique_ptr<VideoEncoder> make(const VideoEncoderConfiguration& configuration, OSStatus& status);

    // Parameter sets (VPS, SPS, PPS as applicable), without start codes.
    virtual const std::vector<Data>& parameterSets() const = 0;

    // Encodes one picture (NV12 8-bit, or P010 for a 10-bit configuration) of
    // the configured size. Appends what the encoder emitted to `out`; false on
    // an encoder failure.
    virtual bool encode(const platform::PixelBuffer& picture, std::int64_t pts, bool forceKeyFrame,
                        std::vector<VideoEncodedFrame>& out) = 0;
    // Emits every delayed frame; the encoder takes no pictures afterwards.
    virtual bool flush(std::vector<VideoEncodedFrame>& out) = 0;

};

std::unique_ptr<VideoEncoder> makeH264VideoEncoder(const VideoEncoderConfiguration& configuration, OSStatus& status);
std::unique_ptr<VideoEncoder> makeHEVCVideoEncoder(const VideoEncoderConfiguration& configuration, OSStatus& status);
// nullptr with couldNotFindVideoEncoder where no VAAPI render node or encoder exists.
std::unique_ptr<VideoEncoder> makeHardwareHEVCVideoEncoder(const VideoEncoderConfiguration& configuration,
                                                           OSStatus& status);

}  // namespace medley
