#pragma once

// QOVA's read of a card ring's frames, the consumer's side of the contract in
// CardRingLayout.h, on a header wherever it is mapped. Waking the player after the read is
// the caller's (an event between processes).

#include <cstdint>

#include "core/ring/CardRingLayout.h"

namespace core {

// Render thread: no locks, no allocation. Fills destination (frames x 2 floats) with the next
// frames of the ring, silence for whatever it does not hold (and for a player's NaN or
// infinity), advances readPos, counts the read and any shortfall after the first write, and
// returns how many frames came from the ring. capacityFrames (a power of two) is QOVA's own
// copy; the header's may be anything. A closed ring gives silence and is left alone.
std::uint32_t readRingFrames(RingHeader& header, const float* samples, std::uint32_t capacityFrames, float* destination,
                             std::uint32_t frames);

}  // namespace core
