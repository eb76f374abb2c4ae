#pragma once

// How large a card ring is and how full QOVA keeps it, from the period of the card's output.

#include <algorithm>
#include <bit>
#include <cstdint>

namespace core {

struct RingSizing {
    std::uint32_t targetFrames = 0;
    std::uint32_t capacityFrames = 0;
};

// The fill target and the ring size for a card whose output period is periodFrames (48 kHz
// frames). The target covers two periods plus slack, within [960, 16384]; the ring holds at
// least four targets and never less than 8192 frames, rounded up to a power of two so that
// positions can be masked.
constexpr RingSizing ringSizing(std::uint32_t periodFrames) {
    const std::uint64_t target = std::clamp<std::uint64_t>(2 * std::uint64_t{periodFrames} + 256, 960, 16384);
    const std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(4 * target, 8192));
    return {static_cast<std::uint32_t>(target), static_cast<std::uint32_t>(capacity)};
}

}  // namespace core
