#pragma once
// Synthetic pictures, frame helpers and output collection for the video codec tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace videotest {

using platform::MediaTime;
using platform::PixelBuffer;
using platform::PixelBufferRef;
using platform::SampleBufferRef;

// A moving gradient with some texture: compressible but not trivial.
// With `noise`, every sample gets a per-frame pseudo-random offset, which no
// encoder can predict: it spends whatever bit rate it is given.
inline PixelBufferRef makePicture(int width, int height, int frame, int noise = 0) {
    auto picture = PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
    std::uint32_t seed = 2463534242u + static_cast<std::uint32_t>(frame) * 7919u;
    auto random = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return noise ? static_cast<int>(seed % (2 * noise + 1)) - noise : 0;
    };
    const auto y = picture->plane(0);
    for (int row = 0; row < height; ++row) {
        std::uint8_t* line = y.data + row * y.bytesPerRow;
        for (int col = 0; col < width; ++col) {
            const double v = 128 + 60 * std::sin((col + 3 * frame) * 0.05) * std::cos((row + frame) * 0.07) +
                             ((col / 16 + row / 16) % 2) * 20 + random();
            line[col] = static_cast<std::uint8_t>(std::clamp(v, 16.0, 235.0));
        }
    }
    const auto uv = picture->plane(1);
    for (int row = 0; row < uv.height; ++row) {
        std::uint8_t* line = uv.data + row * uv.bytesPerRow;
        for (int col = 0; col < uv.width; ++col) {
            line[2 * col] = static_cast<std::uint8_t>(128 + 40 * std::sin((col + frame) * 0.1));
            line[2 * col + 1] = static_cast<std::uint8_t>(128 + 40 * std::cos((row + frame) * 0.1));
        }
    }
    return picture;
}

inline MediaTime frameTime(int index, int fps = 30) { return MediaTime(static_cast<std::int64_t>(index), fps); }

inline SampleBufferRef makeFrame(const PixelBufferRef& picture, MediaTime pts, int fps = 30) {
    platform::SampleTiming timing;
    timing.presentationTime = pts;
    timing.duration = MediaTime(1, fps);
    return platform::SampleBuffer::makeImage(picture, timing);
}

// Everything a finished stream holds.
inline std::vector<SampleBufferRef> drain(const platform::AsyncStream<SampleBufferRef>& stream) {
    auto runtime = platform::VirtualRuntime::make();
    return platform::blockingWait(
        [](platform::AsyncStream<SampleBufferRef> s) -> platform::Async<std::vector<SampleBufferRef>> {
            std::vector<SampleBufferRef> out;
            while (auto v = co_await s.next()) out.push_back(std::move(*v));
            co_return out;
        }(stream),
        runtime->globalQueue());
}

// Luma PSNR between two NV12 pictures of one size.
inline double lumaPSNR(const PixelBuffer& a, const PixelBuffer& b) {
    const auto pa = a.plane(0), pb = b.plane(0);
    double squared = 0;
    for (int row = 0; row < a.height(); ++row) {
        for (int col = 0; col < a.width(); ++col) {
            const double d = double(pa.data[row * pa.bytesPerRow + col]) - double(pb.data[row * pb.bytesPerRow + col]);
            squared += d * d;
        }
    }
    const double mse = squared / (double(a.width()) * a.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace videotest
