#pragma once

// The known signal that test producers write into card rings: the frame at position p of
// the stream carries p + 1 on the left and -(p + 1) on the right. Silence (0, 0) can never
// be mistaken for a frame, a frame read from the wrong place shows as a jump, and a frame
// torn between two positions shows as a left/right mismatch. Exact in a float for the
// first 2^24 frames (almost six minutes).

#include <cstdint>

namespace ring_signal {

inline float left(std::uint64_t position) {
    return static_cast<float>(position + 1);
}

inline float right(std::uint64_t position) {
    return -static_cast<float>(position + 1);
}

// Writes `frames` frames of the stream, starting at `position`, into `destination`.
inline void fill(float* destination, std::uint64_t position, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) {
        destination[2 * i] = left(position + i);
        destination[2 * i + 1] = right(position + i);
    }
}

}  // namespace ring_signal
