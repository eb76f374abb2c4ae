#pragma once

// A fixed delay of whole frames on one mono signal: a line of length L outputs L frames of
// silence and then its input, L frames late. Length 0 passes the signal through.

#include <cstdint>
#include <vector>

namespace core {

class DelayLine {
public:
    DelayLine() = default;
    // Build time (allocates).
    explicit DelayLine(std::uint32_t lengthFrames) { setLength(lengthFrames); }

    // Build time (allocates): sets the length and clears what the line held.
    void setLength(std::uint32_t lengthFrames);
    std::uint32_t lengthFrames() const { return static_cast<std::uint32_t>(stored_.size()); }

    // Render thread: delays frames samples in place; no allocation, no lock. Consecutive
    // calls continue one signal, whatever their sizes.
    void process(float* samples, std::uint32_t frames);

private:
    std::vector<float> stored_;  // the last L input samples, oldest at position_
    std::uint32_t position_ = 0;
};

}  // namespace core
