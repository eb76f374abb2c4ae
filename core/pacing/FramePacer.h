#pragma once

// When the window draws its next frame. Present waits for the display's vertical blank on most
// machines but not on all (Wine on a virtual X server, some remote and virtual sessions), and a
// window that draws as fast as Present returns there takes a whole core from the audio threads.
// So the frames are paced here as well: at about the display's refresh while the user works in
// the window, and at a slow rate once nothing but the meters and states move.

#include <cstdint>

namespace core {

class FramePacer {
public:
    static constexpr double kIdleHz = 30.0;
    // How long after the last input the frames keep the display's rate.
    static constexpr std::int64_t kBusyForNs = 1'000'000'000;

    // refreshHz: the display's refresh rate; one outside 24-480 Hz (0 or 1 is "the hardware's
    // default") counts as 60.
    explicit FramePacer(double refreshHz);

    // The user touched the window (mouse, keyboard).
    void noteInput(std::int64_t nowNs) { lastInputNs_ = nowNs; }
    // How long to wait from nowNs before the next frame; 0 when it is due.
    std::int64_t waitNs(std::int64_t nowNs) const;
    // A frame is drawn now.
    void frameStarted(std::int64_t nowNs) { lastFrameNs_ = nowNs; }

private:
    std::int64_t busyIntervalNs_;
    std::int64_t idleIntervalNs_;
    std::int64_t lastFrameNs_ = INT64_MIN / 2;
    std::int64_t lastInputNs_ = INT64_MIN / 2;
};

}  // namespace core
