#include "tests/support/JoinedClocks.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace sim {

namespace {

constexpr double kToneFrames = 2400.0;  // 20 Hz at 48 kHz: a lag is unambiguous within +-1200 frames
constexpr double kWindowFrames = 2400.0;

// The steady clock does not start at 0 (0 means "no push yet" to the FIFO).
std::int64_t steadyNs(double simulatedNs) {
    return static_cast<std::int64_t>(simulatedNs) + 1'000'000'000;
}

// The device's true rate at that time.
double trueHz(const Device& device, double seconds) {
    const bool later = device.laterSeconds >= 0.0 && seconds >= device.laterSeconds;
    return device.rateHz * (1.0 + (later ? device.laterPpm : device.ppm) * 1e-6);
}

// When the device's clock reaches the frame.
double clockSeconds(const Device& device, double frame) {
    const double before = trueHz(device, 0.0);
    if (device.laterSeconds < 0.0 || frame < device.laterSeconds * before) return frame / before;
    return device.laterSeconds + (frame - device.laterSeconds * before) / trueHz(device, device.laterSeconds);
}

// When a device's frame is due: at its clock, but over its first fillSeconds that much
// faster that it ends up aheadSeconds ahead of it.
double dueNs(const Device& device, double frame) {
    const double onClock = clockSeconds(device, frame);
    if (device.fillSeconds <= 0.0) return onClock * 1e9;
    return std::max(onClock - device.aheadSeconds, onClock / (1.0 + device.aheadSeconds / device.fillSeconds)) * 1e9;
}

std::uint32_t roundedFrames(double frames) {
    return frames > 0.0 ? static_cast<std::uint32_t>(frames + 0.5) : 0u;
}

}  // namespace

JoinedClocks::JoinedClocks(const Device& primary, const Device& far, const Jitter& jitter, std::uint64_t seed,
                           std::optional<double> learned)
    : primary_(primary), far_(far), jitter_(jitter), farJitter_(jitter) {
    uniform_ = [random = std::mt19937_64(seed),
                distribution = std::uniform_real_distribution<double>(0.0, 1.0)]() mutable {
        return distribution(random);
    };
    // The router's sizing and latency matching.
    const core::FarHalfPlan plan = core::planFarHalf(primary.rateHz, primary.periodFrames, primary.latencyFrames,
                                                     far.rateHz, far.periodFrames, far.latencyFrames);
    nearDelayFrames_ = roundedFrames(primary.rateHz * plan.mismatchMs / 1000.0);
    half_ = std::make_unique<core::FarHalf>(
        plan, roundedFrames(-plan.mismatchMs * far.rateHz / 1000.0),
        [](void* clock) { return *static_cast<std::int64_t*>(clock); }, &clockNs_, learned);
    tone_.resize(static_cast<std::size_t>(kToneFrames));
    for (std::size_t i = 0; i < tone_.size(); ++i)
        tone_[i] = static_cast<float>(std::sin(2 * std::numbers::pi * double(i) / kToneFrames));
    block_.resize(primary.periodFrames);
    nextNearNs_ = lateNs(jitter_);
    nextFarNs_ = lateNs(farJitter_);
}

JoinedClocks::~JoinedClocks() = default;

double JoinedClocks::lateNs(const Jitter& jitter) {
    double ms = uniform_() * jitter.maxMs;
    if (uniform_() < jitter.spikeChance) ms += jitter.spikeMs;
    if (jitter.earlyChance > 0.0 && uniform_() < jitter.earlyChance) ms = -jitter.earlyMs;
    if (jitter.stallChance > 0.0 && uniform_() < jitter.stallChance) ms += jitter.stallMs;
    return ms * 1e6;
}

bool JoinedClocks::heldUp(bool far, double dueNs) const {
    for (const HoldUp& h : holdUps_) {
        const double fromNs = h.atSeconds * 1e9;
        if (h.far == far && dueNs >= fromNs && dueNs < fromNs + h.forMs * 1e6) return true;
    }
    return false;
}

double JoinedClocks::cardFrameAt(double nearDeviceFrame) const {
    double lost = 0.0;
    for (const auto& [fromFrame, frames] : nearLosses_) {
        if (nearDeviceFrame >= fromFrame) lost = frames;
    }
    return nearDeviceFrame - nearDelayFrames_ - lost;
}

void JoinedClocks::runUntil(double seconds) {
    const double endNs = seconds * 1e9;
    while (std::min(nextNearNs_, nextFarNs_) < endNs) {
        if (nextNearNs_ <= nextFarNs_) nearCallback();
        else farCallback();
    }
}

void JoinedClocks::nearCallback() {
    const std::uint64_t first = cardFrames_;
    for (std::uint32_t i = 0; i < primary_.periodFrames; ++i) block_[i] = tone_[(first + i) % tone_.size()];
    cardFrames_ += primary_.periodFrames;
    // In chunks, stamped as the router's card render stamps them.
    for (std::uint32_t done = 0; done < primary_.periodFrames;) {
        const std::uint32_t frames = std::min(core::FarHalf::kMaxChunkFrames, primary_.periodFrames - done);
        const std::int64_t clockNs = steadyNs(nextNearNs_);
        const std::int64_t pushNs = core::chunkTimeNs(clockNs, lastPushNs_, lastPushClockNs_, lastPushChunkNs_);
        lastPushNs_ = pushNs;
        lastPushClockNs_ = clockNs;
        lastPushChunkNs_ = static_cast<std::int64_t>(frames * 1e9 / primary_.rateHz);
        half_->push(block_.data() + done, frames, pushNs);
        done += frames;
    }
    double lostFrames = nearLosses_.empty() ? 0.0 : nearLosses_.back().second;
    const double lostBefore = lostFrames;
    for (++nearCallbacks_; heldUp(false, dueNs(primary_, double(nearCallbacks_ * primary_.periodFrames)));
         ++nearCallbacks_)
        lostFrames += primary_.periodFrames;
    if (lostFrames != lostBefore) nearLosses_.emplace_back(double(nearCallbacks_ * primary_.periodFrames), lostFrames);
    // A callback never comes before the one before it: those due during a stall come after it.
    nextNearNs_ =
        std::max(nextNearNs_, dueNs(primary_, double(nearCallbacks_ * primary_.periodFrames)) + lateNs(jitter_));
}

void JoinedClocks::farCallback() {
    const double nearTrueHz = trueHz(primary_, 0.0);
    const double farTrueHz = trueHz(far_, nextFarNs_ * 1e-9);
    clockNs_ = steadyNs(nextFarNs_);
    // In chunks, as the router renders them.
    for (std::uint32_t done = 0; done < far_.periodFrames;) {
        const std::uint32_t frames = std::min(core::FarHalf::kMaxChunkFrames, far_.periodFrames - done);
        farChunk(farCallbacks_ * far_.periodFrames + done, frames, nearTrueHz, farTrueHz);
        done += frames;
    }
    for (++farCallbacks_; heldUp(true, dueNs(far_, double(farCallbacks_ * far_.periodFrames))); ++farCallbacks_) {
    }
    nextFarNs_ = std::max(nextFarNs_, dueNs(far_, double(farCallbacks_ * far_.periodFrames)) + lateNs(farJitter_));
}

void JoinedClocks::farChunk(std::uint64_t firstFrame, std::uint32_t frames, double nearTrueHz, double farTrueHz) {
    const float* played = nullptr;
    const bool carried = half_->render(frames, played);
    if (carried && firstStartSeconds_ < 0) firstStartSeconds_ = nextFarNs_ * 1e-9;
    if (firstStartSeconds_ >= 0) {
        if (!carried) fit_.silent = true;
        // Device frames reach the air at their own clocks: far frame f at f / farTrueHz + far
        // latency; near device frame d at d / nearTrueHz + primary latency, and the near half
        // plays card frame n as device frame n + its delay. The expected card frame advances
        // by nearTrueHz / farTrueHz per far frame: turn a phasor.
        const double airSeconds = clockSeconds(far_, double(firstFrame)) + far_.latencyFrames / farTrueHz;
        const double expected = cardFrameAt((airSeconds - primary_.latencyFrames / nearTrueHz) * nearTrueHz);
        const double phase = 2 * std::numbers::pi * std::fmod(expected, kToneFrames) / kToneFrames;
        const double step = 2 * std::numbers::pi * (nearTrueHz / farTrueHz) / kToneFrames;
        double s = std::sin(phase), c = std::cos(phase);
        const double ds = std::sin(step), dc = std::cos(step);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double y = played[i];
            fit_.ss += s * s;
            fit_.sc += s * c;
            fit_.cc += c * c;
            fit_.ys += y * s;
            fit_.yc += y * c;
            ++fit_.frames;
            const double next = s * dc + c * ds;
            c = c * dc - s * ds;
            s = next;
        }
        if (fit_.frames >= kWindowFrames) {
            Window w;
            w.endSeconds = nextFarNs_ * 1e-9;
            w.valid = !fit_.silent;
            if (w.valid) {
                // The far output is sin(phase + theta), a = cos theta, b = sin theta: content
                // ahead of the expected frame means the far half plays early, a negative lag.
                const double det = fit_.ss * fit_.cc - fit_.sc * fit_.sc;
                const double a = (fit_.ys * fit_.cc - fit_.yc * fit_.sc) / det;
                const double b = (fit_.yc * fit_.ss - fit_.ys * fit_.sc) / det;
                w.lagFrames = -std::atan2(b, a) * kToneFrames / (2 * std::numbers::pi);
            }
            w.underrunFrames = half_->figures().underrunFrames.load();
            w.overflowFrames = half_->figures().overflowFrames.load();
            windows_.push_back(w);
            fit_ = Fit{};
        }
    }
}

double JoinedClocks::meanLagFrames(double fromSeconds) const {
    double sum = 0.0;
    int count = 0;
    for (const Window& w : windows_) {
        if (w.valid && w.endSeconds > fromSeconds) {
            sum += w.lagFrames;
            ++count;
        }
    }
    return count > 0 ? sum / count : 0.0;
}

}  // namespace sim
