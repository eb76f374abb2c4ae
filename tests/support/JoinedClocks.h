#pragma once

// A joined card's two sound cards in simulated time, for the far half's tests and for
// drift_bench: the product's FarHalf, sized as the router sizes it, between a primary device
// and a far device whose clock runs off by a given ppm (and can move once, as a clock still
// settling). Each device's callbacks come at its own exact clock, late by a random jitter (and
// held up when asked; and, as under Wine, ahead of it while it fills its buffer, and early now
// and then when asked); the primary's callback pushes its period of a 20 Hz sine, the far one
// renders its period.
//
// From when each far frame reaches the air, the simulation knows which card frame the near
// half plays at that moment (after the latency matching); a least-squares fit of the far
// output against the sine, over windows of 50 ms, gives how many frames (at the primary rate)
// the far half plays later than the near half.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/signal/FarHalf.h"

namespace sim {

struct Device {
    double rateHz = 48000.0;  // nominal
    std::uint32_t periodFrames = 480;
    std::uint32_t latencyFrames = 960;
    double ppm = 0.0;  // how far its clock runs off the nominal rate
    // From laterSeconds on (if at all), laterPpm off instead: the far device's only.
    double laterSeconds = -1.0;
    double laterPpm = 0.0;
    // Over its first fillSeconds its callbacks run ahead of its clock, until they are
    // aheadSeconds ahead, as a shared-mode stream under Wine fills its buffer.
    double fillSeconds = 0.0;
    double aheadSeconds = 0.0;
};

struct Jitter {
    double maxMs = 1.5;         // every callback comes up to this late, uniformly
    double spikeChance = 0.01;  // and now and then this much later
    double spikeMs = 3.0;
    double earlyChance = 0.0;  // and now and then this much early (under Wine)
    double earlyMs = 0.0;
    // And now and then the thread stalls this long (under Wine, every few seconds): the
    // callbacks due meanwhile come in a burst after it, and nothing is lost.
    double stallChance = 0.0;
    double stallMs = 0.0;
};

// The device's thread kept from running from atSeconds for forMs: the callbacks due in that
// time never come, and the device plays silence for them, as a shared-mode endpoint does
// when its buffer runs dry.
struct HoldUp {
    bool far = false;
    double atSeconds = 0.0;
    double forMs = 0.0;
};

struct Window {
    double endSeconds = 0.0;
    bool valid = false;  // the far half played throughout
    double lagFrames = 0.0;
    std::uint64_t underrunFrames = 0;  // totals at the window's end
    std::uint64_t overflowFrames = 0;
};

class JoinedClocks {
public:
    // learned: the clocks' offset an earlier far half learned (see FarHalf).
    JoinedClocks(const Device& primary, const Device& far, const Jitter& jitter = Jitter{0, 0, 0},
                 std::uint64_t seed = 1, std::optional<double> learned = std::nullopt);
    ~JoinedClocks();

    void holdUp(const HoldUp& holdUp) { holdUps_.push_back(holdUp); }
    // The far device's callbacks come late by this from now on, the near one's by the jitter
    // given at construction.
    void farJitter(const Jitter& jitter) { farJitter_ = jitter; }
    // Runs the callbacks up to this simulated time.
    void runUntil(double seconds);

    core::FarHalf& half() { return *half_; }
    const std::vector<Window>& windows() const { return windows_; }
    double firstStartSeconds() const { return firstStartSeconds_; }  // -1: not yet
    std::uint32_t nearDelayFrames() const { return nearDelayFrames_; }
    // The mean lag over the valid windows ending after fromSeconds.
    double meanLagFrames(double fromSeconds) const;

private:
    double lateNs(const Jitter& jitter);
    bool heldUp(bool far, double dueNs) const;
    // The card frame the near half plays at the near device's frame.
    double cardFrameAt(double nearDeviceFrame) const;
    void nearCallback();
    void farCallback();
    // One chunk of the far callback, of at most FarHalf::kMaxChunkFrames from the far device's
    // frame firstFrame on.
    void farChunk(std::uint64_t firstFrame, std::uint32_t frames, double nearTrueHz, double farTrueHz);

    Device primary_;
    Device far_;
    Jitter jitter_;
    Jitter farJitter_;
    std::vector<HoldUp> holdUps_;
    std::function<double()> uniform_;
    std::int64_t clockNs_ = 0;  // the far half's clock
    std::unique_ptr<core::FarHalf> half_;
    std::uint32_t nearDelayFrames_ = 0;
    std::vector<float> tone_;
    std::vector<float> block_;
    std::uint64_t nearCallbacks_ = 0;
    std::uint64_t cardFrames_ = 0;  // pushed by the near half
    // From which near device frame on how many frames the near half lost to hold-ups.
    std::vector<std::pair<double, double>> nearLosses_;
    std::uint64_t farCallbacks_ = 0;
    double nextNearNs_ = 0.0;
    double nextFarNs_ = 0.0;
    std::int64_t lastPushNs_ = 0;
    std::int64_t lastPushClockNs_ = 0;
    std::int64_t lastPushChunkNs_ = 0;
    double firstStartSeconds_ = -1.0;
    struct Fit {
        double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
        std::uint32_t frames = 0;
        bool silent = false;
    } fit_;
    std::vector<Window> windows_;
};

}  // namespace sim
