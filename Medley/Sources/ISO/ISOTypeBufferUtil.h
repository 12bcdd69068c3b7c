#pragma once

#include "Medley/Sources/Extension/Data.h"

namespace medley {

// Converts a buffer between the length-prefixed layout (each unit preceded by
// its 4-byte big-endian length) and the start-code layout of an elementary
// byte stream.
struct ISOTypeBufferUtil {
    Data data;

    // Every 4-byte length replaced by 00 00 00 01. A malformed tail (a cut
    // length or unit) is logged and the conversion ends with the units
    // converted so far.
    Data toByteStream() const;

    // Rewrites `data` from start-code layout into 4-byte length-prefixed
    // units. A 3-byte start code cannot hold a 4-byte length, so the buffer
    // grows by one byte per such unit; empty units are dropped.
    void toLengthPrefixed();
};

}  // namespace medley
