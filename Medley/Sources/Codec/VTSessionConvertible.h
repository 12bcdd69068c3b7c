#pragma once

#include <optional>

#include "Medley/Sources/Codec/VTSessionError.h"
#include "Medley/Sources/Codec/VTSessionOption.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

// Writing end of a sequence of sample buffers; safe to yield to from any thread.
using SampleBufferContinuation = platform::AsyncStreamWriter<platform::SampleBufferRef>;

// What the video codec needs of a compression or decompression session.
class VTSessionConvertible {
public:
    virtual ~VTSessionConvertible() = default;

    virtual OSStatus setOption(const VTSessionOption& option) = 0;
    virtual OSStatus setOptions(const VTSessionOptionSet& options) = 0;
    // Encodes or decodes one sample buffer; the result is yielded to
    // `continuation` (when given), possibly from another thread and after
    // this returns. Throws VTSessionError(failedToConvert) when refused.
    virtual void convert(const platform::SampleBufferRef& sampleBuffer,
                         const std::optional<SampleBufferContinuation>& continuation) = 0;
    // Ends the session; later calls are refused.
    virtual void invalidate() = 0;
};

}  // namespace medley
