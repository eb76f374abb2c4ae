#include "core/ring/RingRead.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace core {

std::uint32_t readRingFrames(RingHeader& header, const float* samples, std::uint32_t capacityFrames, float* destination,
                             std::uint32_t frames) {
    constexpr std::size_t kChannels = kRingChannels;
    // Acquire pairs with the release store of closeReason by whoever closed the ring.
    if (header.closeReason.load(std::memory_order_acquire) != 0) {
        std::fill_n(destination, std::size_t{frames} * kChannels, 0.0f);
        return 0;
    }

    const std::uint32_t capacity = capacityFrames;
    const std::uint64_t readPos = header.readPos.load(std::memory_order_relaxed);  // only QOVA stores it
    // Acquire pairs with the producer's release store of writePos after its samples.
    const std::uint64_t writePos = header.writePos.load(std::memory_order_acquire);
    const std::uint64_t available = writePos >= readPos ? writePos - readPos : 0;
    const auto taken = static_cast<std::uint32_t>(std::min<std::uint64_t>({frames, capacity, available}));

    const auto index = static_cast<std::uint32_t>(readPos & (capacity - 1));
    const std::uint32_t beforeEnd = std::min(taken, capacity - index);
    std::memcpy(destination, samples + std::size_t{index} * kChannels, std::size_t{beforeEnd} * kRingFrameBytes);
    if (taken > beforeEnd)
        std::memcpy(destination + std::size_t{beforeEnd} * kChannels, samples,
                    std::size_t{taken - beforeEnd} * kRingFrameBytes);

    // A player's NaN or infinity would pass through the converters and the mix to the sound
    // card: a full-scale click, or filters poisoned for every program sharing it.
    // Written without a branch, so that the loop vectorises.
    constexpr float kLargest = std::numeric_limits<float>::max();
    for (std::size_t i = 0; i < std::size_t{taken} * kChannels; ++i) {
        const float sample = destination[i];
        destination[i] = std::fabs(sample) <= kLargest ? sample : 0.0f;  // false for NaN too
    }

    if (taken < frames) {
        std::fill_n(destination + std::size_t{taken} * kChannels, std::size_t{frames - taken} * kChannels, 0.0f);
        // Silence before the first write is the player starting up, not a dropout.
        if (writePos != 0) header.underrunFrames.fetch_add(frames - taken, std::memory_order_relaxed);
    }

    // Release pairs with the producer's acquire load of readPos: the slots just copied out
    // may be refilled only after the copy.
    header.readPos.store(readPos + taken, std::memory_order_release);
    header.readCount.fetch_add(1, std::memory_order_relaxed);
    return taken;
}

}  // namespace core
