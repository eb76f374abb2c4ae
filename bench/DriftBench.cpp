// The far half of a joined card against a primary sound card on another clock, in simulated
// time: ten minutes per case, a few seconds each (libsamplerate is most of it).
//
// The primary output's callback pushes its period into a FrameFifo; the far output's callback
// runs the far half as the render path does: fill estimate less the primary's last block plus
// the input the converter holds, start at target + margin with a trim, DriftController, a mono SRC_SINC_FASTEST converter pulling 32 frames at a time at
// factor x base ratio, re-priming after an underrun, and the link's DelayLine. Both callbacks
// come late by a random jitter; the devices themselves play at their exact clocks. FIFO size,
// target, margin and the latency matching are computed as the router's build does.
//
// The card's signal is a 20 Hz sine. From when each far frame reaches the air, we know which
// frame the primary half plays at that moment (after the latency matching); a least-squares
// fit of the far output against that sine, over windows of ~50 ms, gives how many frames the
// far half lags the primary one.
//
// Printed per case: when the far half first starts; when it settles (from then on within 2.4
// frames, 0.05 ms, of its final lag), when it comes within 0.5 ms of it, and when it is in line
// (within 2.4 frames of the primary half); the final lag; the largest distance from it in the
// first minute and the spread over the last five; underrun and overflow frames, in all and
// after settling; starts; the final factor.

#include <samplerate.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "core/signal/DelayLine.h"
#include "core/signal/DriftController.h"
#include "core/signal/FrameFifo.h"

namespace {

constexpr double kRunSeconds = 600.0;
constexpr std::uint32_t kMaxChunkFrames = 1024;
constexpr std::uint32_t kPullFrames = 32;
constexpr double kToneFrames = 2400.0;  // 20 Hz at 48 kHz: a lag is unambiguous within +-1200 frames
constexpr double kWindowFrames = 2400.0;
constexpr double kAlignFrames = 2.4;  // 0.05 ms at 48 kHz
constexpr double kLooseFrames = 24.0;  // 0.5 ms

struct Devices {
    double primaryRateHz = 48000.0;
    std::uint32_t primaryPeriodFrames = 480;
    std::uint32_t primaryLatencyFrames = 960;
    double farRateHz = 48000.0;  // nominal; the far clock runs farPpm off it
    std::uint32_t farPeriodFrames = 256;
    std::uint32_t farLatencyFrames = 512;
};

struct Jitter {
    double maxMs = 1.5;        // every callback comes up to this late, uniformly
    double spikeChance = 0.01;  // and now and then this much later
    double spikeMs = 3.0;
};

// The far link's state: the fields and the order of work the render path has.
struct FarHalf {
    explicit FarHalf(std::uint32_t capacityFrames) : fifo(capacityFrames) {}
    core::FrameFifo fifo;
    SRC_STATE* converter = nullptr;
    core::DriftController controller;
    core::DelayLine delay;
    double fifoTargetFrames = 0;
    double marginFrames = 0;
    double baseRatio = 1;
    bool started = false;
    bool underflow = false;
    std::int64_t lastTimeNs = 0;
    std::uint64_t pulledFrames = 0;  // since the last start
    double consumedFrames = 0;
    std::uint32_t starts = 0;
    std::uint32_t trimmedFrames = 0;
    std::uint64_t underrunFrames = 0;
    std::uint64_t overflowFrames = 0;
    float pull[kPullFrames] = {};
    float work[kMaxChunkFrames] = {};
};

long pullFar(void* context, float** data) {
    auto& link = *static_cast<FarHalf*>(context);
    const std::uint32_t got = link.fifo.pop(link.pull, kPullFrames);
    link.pulledFrames += kPullFrames;
    if (got < kPullFrames) {
        std::fill(link.pull + got, link.pull + kPullFrames, 0.0f);
        link.underrunFrames += kPullFrames - got;
        link.underflow = true;
    }
    *data = link.pull;
    return kPullFrames;
}

// One far chunk; returns false when the chunk is silent (not started, or just started).
// levelLessFrames is taken off every fill estimate (0: the plain estimate); countHeld adds
// the input the converter holds to it.
bool renderFar(FarHalf& link, std::uint32_t frames, std::int64_t nowNs, double primaryRateHz, double levelLessFrames,
               bool countHeld) {
    std::fill(link.work, link.work + frames, 0.0f);
    auto held = [&] { return countHeld ? static_cast<double>(link.pulledFrames) - link.consumedFrames : 0.0; };
    double fill = link.fifo.fillEstimate(nowNs, primaryRateHz) - levelLessFrames;
    double dt = 0.0;
    bool justStarted = false;
    if (!link.started) {
        if (fill < link.fifoTargetFrames + link.marginFrames) return false;
        link.started = true;
        link.controller.reset();
        if (countHeld) {
            src_reset(link.converter);
            link.pulledFrames = 0;
            link.consumedFrames = 0;
        }
        fill = link.fifoTargetFrames;
        justStarted = true;
    } else {
        fill += held();
        dt = static_cast<double>(nowNs - link.lastTimeNs) * 1e-9;
    }
    link.lastTimeNs = nowNs;
    const double factor = link.controller.update(fill, dt);
    const long got = src_callback_read(link.converter, factor * link.baseRatio, frames, link.work);
    std::fill(link.work + std::max(got, 0L), link.work + frames, 0.0f);
    link.consumedFrames += std::max(got, 0L) / (factor * link.baseRatio);
    bool audible = got == static_cast<long>(frames);
    if (justStarted) {
        const double fill2 = link.fifo.fillEstimate(nowNs, primaryRateHz) - levelLessFrames + held();
        const double drop = fill2 - (link.fifoTargetFrames - frames / (factor * link.baseRatio));
        const auto dropFrames = drop < 1.0 ? 0u : static_cast<std::uint32_t>(std::min(drop, 4294967295.0));
        link.trimmedFrames = link.fifo.discard(dropFrames);
        ++link.starts;
        std::fill(link.work, link.work + frames, 0.0f);
        audible = false;
    }
    if (link.underflow) {
        link.started = false;
        link.underflow = false;
        audible = false;
    }
    link.delay.process(link.work, frames);
    return audible;
}

struct Window {
    double endSeconds = 0;
    bool valid = false;
    double lagFrames = 0;
    std::uint64_t underrunFrames = 0;  // totals at the window's end
    std::uint64_t overflowFrames = 0;
};

// Least-squares fit of y = a sin(phase) + b cos(phase) over one window.
struct Fit {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    std::uint32_t frames = 0;
    bool silent = false;
    void add(double y, double s, double c) {
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += y * s;
        yc += y * c;
        ++frames;
    }
    // The far output is sin(phase + theta): a = cos theta, b = sin theta; content ahead of the
    // expected frame by theta means the far half plays early, a negative lag.
    double lagFrames() const {
        const double det = ss * cc - sc * sc;
        const double a = (ys * cc - yc * sc) / det;
        const double b = (yc * ss - ys * sc) / det;
        return -std::atan2(b, a) * kToneFrames / (2 * std::numbers::pi);
    }
};

struct Result {
    double firstStartSeconds = -1;
    double settledSeconds = -1;  // -1: never
    double inLineSeconds = -1;
    double finalLagFrames = 0;
    double settledLooseSeconds = -1;     // within kLooseFrames of the final lag
    double worstFirstMinuteFrames = 0;   // largest distance from the final lag in the first minute
    double spreadLastFiveMinutesFrames = 0;  // highest minus lowest lag
    std::uint64_t underrunFrames = 0, overflowFrames = 0;
    std::uint64_t underrunAfterSettleFrames = 0, overflowAfterSettleFrames = 0;
    std::uint32_t starts = 0;
    double factor = 1;
    std::uint32_t fifoTargetFrames = 0;
    std::uint32_t nearDelayFrames = 0, farDelayFrames = 0;
};

// The first window from which every later one is valid and within kAlignFrames of level.
double settledFrom(const std::vector<Window>& windows, double level, double band = kAlignFrames) {
    std::size_t from = windows.size();
    while (from > 0 && windows[from - 1].valid && std::fabs(windows[from - 1].lagFrames - level) <= band) --from;
    if (from == windows.size()) return -1;
    return from == 0 ? 0.0 : windows[from - 1].endSeconds;
}

struct Variant {
    bool levelLessPrimaryBlock = true;  // the far half steers on the fill estimate less the primary's block
    bool countHeld = true;              // ... plus the input its converter holds
};

Result run(double farPpm, const Devices& dev, const Jitter& jitter, const Variant& variant, std::uint64_t seed) {
    const double P = dev.primaryRateHz;
    const double F = dev.farRateHz;
    const double farTrueHz = F * (1.0 + farPpm * 1e-6);

    // The build's sizing and latency matching.
    const double farPeriodAtPrimary = P * dev.farPeriodFrames / F;
    const auto fifoTarget = static_cast<std::uint32_t>(std::max(farPeriodAtPrimary, double(dev.primaryPeriodFrames)) * 3 + 512);
    std::uint32_t capacity = 1;
    while (capacity < 4 * fifoTarget + 4096 && capacity < (1u << 30)) capacity *= 2;
    auto link = std::make_unique<FarHalf>(capacity);
    link->fifoTargetFrames = fifoTarget;
    link->baseRatio = F / P;
    link->marginFrames = 64 / std::min(link->baseRatio, 1.0) + 64;
    link->controller = core::DriftController(std::max<double>(fifoTarget, 1), 0.001);
    int error = 0;
    link->converter = src_callback_new(pullFar, SRC_SINC_FASTEST, 1, &error, link.get());
    if (link->converter == nullptr) {
        std::fprintf(stderr, "resampler: %s\n", src_strerror(error));
        std::exit(1);
    }
    const double fifoMs = fifoTarget * 1000.0 / P;
    const double farLatencyMs = dev.farLatencyFrames * 1000.0 / F;
    const double primaryLatencyMs = dev.primaryLatencyFrames * 1000.0 / P;
    const double m = fifoMs + farLatencyMs - primaryLatencyMs;
    const auto farDelay = static_cast<std::uint32_t>(std::max(-m, 0.0) * F / 1000 + 0.5);
    const auto nearDelay = m > 0 ? static_cast<std::uint32_t>(P * m / 1000 + 0.5) : 0u;
    link->delay.setLength(farDelay);

    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto lateNs = [&] {
        double ms = uniform(random) * jitter.maxMs;
        if (uniform(random) < jitter.spikeChance) ms += jitter.spikeMs;
        return ms * 1e6;
    };

    // Device frames reach the air at their own clock: primary device frame d at d / P +
    // primary latency, far device frame f at f / farTrueHz + far latency. The primary half
    // plays card frame n as device frame n + nearDelay.
    const double primaryLatencyS = dev.primaryLatencyFrames / P;
    const double farLatencyS = dev.farLatencyFrames / farTrueHz;
    auto primaryFrameAt = [&](double seconds) { return (seconds - primaryLatencyS) * P - nearDelay; };

    std::vector<float> tone(static_cast<std::size_t>(kToneFrames));
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(std::sin(2 * std::numbers::pi * double(i) / kToneFrames));
    std::vector<float> block(dev.primaryPeriodFrames);
    Result result;
    result.fifoTargetFrames = fifoTarget;
    result.nearDelayFrames = nearDelay;
    result.farDelayFrames = farDelay;
    std::vector<Window> windows;
    Fit fit;
    std::uint64_t nearCallback = 0, farCallback = 0;
    double nextNearNs = lateNs(), nextFarNs = lateNs();
    const double endNs = kRunSeconds * 1e9;
    // The steady clock does not start at 0 (0 means "no push yet" to the FIFO).
    auto steadyNs = [](double simulatedNs) { return static_cast<std::int64_t>(simulatedNs) + 1'000'000'000; };
    while (std::min(nextNearNs, nextFarNs) < endNs) {
        if (nextNearNs <= nextFarNs) {
            const std::uint64_t first = nearCallback * dev.primaryPeriodFrames;
            for (std::uint32_t i = 0; i < dev.primaryPeriodFrames; ++i) block[i] = tone[(first + i) % tone.size()];
            const std::uint32_t stored = link->fifo.push(block.data(), dev.primaryPeriodFrames, steadyNs(nextNearNs));
            link->overflowFrames += dev.primaryPeriodFrames - stored;
            ++nearCallback;
            nextNearNs = nearCallback * dev.primaryPeriodFrames / P * 1e9 + lateNs();
        } else {
            const std::uint64_t first = farCallback * dev.farPeriodFrames;
            const bool audible = renderFar(*link, dev.farPeriodFrames, steadyNs(nextFarNs), P,
                                         variant.levelLessPrimaryBlock ? dev.primaryPeriodFrames : 0.0, variant.countHeld);
            if (audible && result.firstStartSeconds < 0) result.firstStartSeconds = nextFarNs * 1e-9;
            if (result.firstStartSeconds >= 0) {
                if (!audible) fit.silent = true;
                // The expected primary frame advances by P / farTrueHz per far frame: turn a
                // phasor instead of calling sin and cos for every frame.
                const double expected = primaryFrameAt(double(first) / farTrueHz + farLatencyS);
                const double phase = 2 * std::numbers::pi * std::fmod(expected, kToneFrames) / kToneFrames;
                const double step = 2 * std::numbers::pi * (P / farTrueHz) / kToneFrames;
                double s = std::sin(phase), c = std::cos(phase);
                const double ds = std::sin(step), dc = std::cos(step);
                for (std::uint32_t i = 0; i < dev.farPeriodFrames; ++i) {
                    fit.add(link->work[i], s, c);
                    const double next = s * dc + c * ds;
                    c = c * dc - s * ds;
                    s = next;
                }
                if (fit.frames >= kWindowFrames) {
                    Window w;
                    w.endSeconds = nextFarNs * 1e-9;
                    w.valid = !fit.silent;
                    w.lagFrames = w.valid ? fit.lagFrames() : 0.0;
                    w.underrunFrames = link->underrunFrames;
                    w.overflowFrames = link->overflowFrames;
                    windows.push_back(w);
                    fit = Fit{};
                }
            }
            ++farCallback;
            nextFarNs = farCallback * dev.farPeriodFrames / farTrueHz * 1e9 + lateNs();
        }
    }

    // The final level: the mean over the last minute.
    double sum = 0;
    int count = 0;
    for (const Window& w : windows)
        if (w.valid && w.endSeconds > kRunSeconds - 60) sum += w.lagFrames, ++count;
    result.finalLagFrames = count > 0 ? sum / count : 0.0;
    result.settledSeconds = settledFrom(windows, result.finalLagFrames);
    result.inLineSeconds = settledFrom(windows, 0.0);
    result.settledLooseSeconds = settledFrom(windows, result.finalLagFrames, kLooseFrames);
    double lowest = 1e300, highest = -1e300;
    for (const Window& w : windows) {
        if (!w.valid) continue;
        if (w.endSeconds <= result.firstStartSeconds + 60)
            result.worstFirstMinuteFrames = std::max(result.worstFirstMinuteFrames, std::fabs(w.lagFrames - result.finalLagFrames));
        if (w.endSeconds > kRunSeconds - 300) {
            lowest = std::min(lowest, w.lagFrames);
            highest = std::max(highest, w.lagFrames);
        }
    }
    result.spreadLastFiveMinutesFrames = highest >= lowest ? highest - lowest : 0.0;
    result.underrunFrames = link->underrunFrames;
    result.overflowFrames = link->overflowFrames;
    // Never settled: everything counts as after.
    result.underrunAfterSettleFrames = result.underrunFrames;
    result.overflowAfterSettleFrames = result.overflowFrames;
    if (result.settledSeconds >= 0) {
        std::uint64_t underrunBefore = 0, overflowBefore = 0;
        for (const Window& w : windows) {
            if (w.endSeconds > result.settledSeconds) break;
            underrunBefore = w.underrunFrames;
            overflowBefore = w.overflowFrames;
        }
        result.underrunAfterSettleFrames = link->underrunFrames - underrunBefore;
        result.overflowAfterSettleFrames = link->overflowFrames - overflowBefore;
    }
    result.starts = link->starts;
    result.factor = link->controller.factor();
    src_delete(link->converter);
    return result;
}

void printSeconds(double seconds) {
    if (seconds < 0)
        std::printf(" %8s", "never");
    else
        std::printf(" %8.2f", seconds);
}

struct Table {
    const char* title;
    Devices devices;
    std::vector<double> ppms;
    Variant variant;
    Jitter jitter;
};

void runTable(const Table& table) {
    const Devices& dev = table.devices;
    const Jitter& jitter = table.jitter;
    std::printf("%s\n", table.title);
    std::printf("primary %.0f Hz, period %u, latency %u; far %.0f Hz nominal, period %u, latency %u; callbacks late by 0..%.1f ms, "
                "%.0f %% of them %.1f ms more\n",
                dev.primaryRateHz, dev.primaryPeriodFrames, dev.primaryLatencyFrames, dev.farRateHz, dev.farPeriodFrames,
                dev.farLatencyFrames, jitter.maxMs, jitter.spikeChance * 100, jitter.spikeMs);
    // The cases are independent: run them two at a time.
    std::vector<Result> results(table.ppms.size());
    for (std::size_t first = 0; first < table.ppms.size(); first += 2) {
        std::vector<std::thread> threads;
        for (std::size_t i = first; i < std::min(first + 2, table.ppms.size()); ++i)
            threads.emplace_back([&, i] { results[i] = run(table.ppms[i], dev, jitter, table.variant, 12345 + i); });
        for (std::thread& t : threads) t.join();
    }
    std::printf("%6s %8s %8s %8s %8s %9s %9s %9s %13s %13s %6s %9s\n", "ppm", "start s", "settle s", "0.5ms s", "inline s",
                "final lag", "1st min", "p-p 5min", "underrun", "overflow", "starts", "factor");
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        std::printf("%+6.0f", table.ppms[i]);
        printSeconds(r.firstStartSeconds);
        printSeconds(r.settledSeconds);
        printSeconds(r.settledLooseSeconds);
        printSeconds(r.inLineSeconds);
        std::printf(" %9.2f %9.2f %9.2f %6" PRIu64 "/%-6" PRIu64 " %6" PRIu64 "/%-6" PRIu64 " %6u %9.6f\n", r.finalLagFrames,
                    r.worstFirstMinuteFrames, r.spreadLastFiveMinutesFrames, r.underrunFrames,
                    r.underrunAfterSettleFrames, r.overflowFrames, r.overflowAfterSettleFrames, r.starts, r.factor);
    }
    const Result& r = results.front();
    std::printf("fifoTarget %u frames; primary taps delayed %u frames, far link %u frames\n\n", r.fifoTargetFrames,
                r.nearDelayFrames, r.farDelayFrames);
}

}  // namespace

// drift_bench [--more]: --more adds a far device at 44.1 kHz, two ways of lining the halves up
// and a run without jitter; each case costs a few seconds of converter work.
int main(int argc, char** argv) {
    const bool more = argc > 1 && std::strcmp(argv[1], "--more") == 0;
    std::printf("far half of a joined card, %.0f s simulated per case\n", kRunSeconds);
    std::printf("lag: frames at the primary rate by which the far half plays later than the primary half (- = early)\n");
    std::printf("settle: from then on within %.1f frames (0.05 ms) of the final lag (the last minute's mean); 0.5ms: within %.0f "
                "frames of it; inline: within %.1f frames of 0\n",
                kAlignFrames, kLooseFrames, kAlignFrames);
    std::printf("1st min: largest distance from the final lag in the first minute after the start; p-p 5min: spread of the lag "
                "over the last five minutes\n");
    std::printf("underrun, overflow: frames in all / after settling\n\n");

    Table tables[] = {
        {"as built, both devices at 48 kHz", Devices{}, {0, 100, -100, 500, -500, 900, -900}, Variant{}, Jitter{}},
        {"as built, far device at 44.1 kHz", Devices{48000, 480, 960, 44100, 441, 882}, {0, 900, -900}, Variant{}, Jitter{}},
        // The rule as first designed: the plain fill estimate runs a primary period ahead of
        // the frames that play, and the converter's hold is not counted.
        {"plain fill estimate, converter's hold not counted", Devices{}, {0, 900, -900}, Variant{false, false}, Jitter{}},
        {"fill estimate less the primary's block, converter's hold not counted", Devices{}, {0, 900, -900}, Variant{true, false}, Jitter{}},
        {"as built, no callback jitter", Devices{}, {0, 900, -900}, Variant{}, Jitter{0, 0, 0}},
    };
    runTable(tables[0]);
    if (more)
        for (std::size_t i = 1; i < std::size(tables); ++i) runTable(tables[i]);
    return 0;
}
