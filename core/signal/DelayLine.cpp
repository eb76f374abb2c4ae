#include "core/signal/DelayLine.h"

#include <utility>

namespace core {

void DelayLine::setLength(std::uint32_t lengthFrames) {
    stored_.assign(lengthFrames, 0.0f);
    position_ = 0;
}

// render thread: no locks, no allocation
void DelayLine::process(float* samples, std::uint32_t frames) {
    const auto length = static_cast<std::uint32_t>(stored_.size());
    if (length == 0) return;
    float* const stored = stored_.data();
    std::uint32_t position = position_;
    for (std::uint32_t i = 0; i < frames; ++i) {
        std::swap(samples[i], stored[position]);
        if (++position == length) position = 0;
    }
    position_ = position;
}

}  // namespace core
