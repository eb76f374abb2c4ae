// The platform's part of the render path (the rest is core/render): the clock the far halves'
// chunks are stamped with, and the card's ring reads, which wake the player through its
// event.

#include <windows.h>

#include "win/router/RouterGraph.h"

namespace win {

namespace {

// Read once at start-up; the counter's frequency is fixed at boot.
const std::int64_t kCounterFrequency = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}();

}  // namespace

// Any thread.
std::int64_t steadyNowNs() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::int64_t seconds = counter.QuadPart / kCounterFrequency;
    const std::int64_t rest = counter.QuadPart % kCounterFrequency;
    return seconds * 1000000000 + rest * 1000000000 / kCounterFrequency;
}

// Render thread.
void renderOutputNode(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    core::RenderOutput* node = static_cast<OutputNode*>(context);
    core::renderOutput(node, samples, frames, channels);
}

// Render thread of the card's primary output.
std::uint32_t readCardRing(void* slot, float* destination, std::uint32_t frames) {
    return readRing(*static_cast<RingSlot*>(slot), destination, frames);
}

// Build time.
void connectCard(CardNode& card, RingSlot& slot) {
    card.slot = &slot;
    card.readRing = readCardRing;
    card.ringContext = &slot;
    card.now = steadyNowNs;
}

}  // namespace win
