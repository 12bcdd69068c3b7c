#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>

#include "Medley/Sources/Extension/Data.h"

namespace medley {

// Conversions between fixed-size integers and their in-memory bytes (host
// order). Callers that need network order swap the value themselves, e.g.
// `Numeric<uint32_t>::init(bytes)` followed by `bigEndian(...)`.
template <std::integral T>
struct Numeric {
    // The value's own bytes, lowest address first: exactly sizeof(T) bytes.
    static Data data(T value) {
        Data out(sizeof(T));
        std::memcpy(out.data(), &value, sizeof(T));
        return out;
    }

    // Short input is zero-padded in front (at the lowest addresses), so that
    // N < sizeof(T) bytes read back big-endian give the N-byte number; bytes
    // beyond sizeof(T) are ignored.
    static T init(std::span<const std::uint8_t> data) {
        std::uint8_t buffer[sizeof(T)] = {};
        if (data.size() < sizeof(T)) {
            const std::size_t shortfall = sizeof(T) - data.size();
            if (!data.empty()) std::memcpy(buffer + shortfall, data.data(), data.size());
        } else {
            std::memcpy(buffer, data.data(), sizeof(T));
        }
        T value;
        std::memcpy(&value, buffer, sizeof(T));
        return value;
    }
};

// Shorthand for Numeric<T>::data(value).
template <std::integral T>
inline Data data(T value) { return Numeric<T>::data(value); }

// Byte-order helpers: reverse the bytes on a little-endian host.
template <std::integral T>
constexpr T byteSwapped(T value) {
    using U = std::make_unsigned_t<T>;
    U v = static_cast<U>(value);
    U r = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        r = static_cast<U>((r << 8) | (v & 0xFF));
        v = static_cast<U>(v >> 8);
    }
    return static_cast<T>(r);
}

// Host value <-> big-endian representation (its own inverse).
template <std::integral T>
constexpr T bigEndian(T value) {
    if constexpr (std::endian::native == std::endian::little) return byteSwapped(value);
    else return value;
}

}  // namespace medley
