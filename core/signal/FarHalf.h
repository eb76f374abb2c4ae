#pragma once

// The far half of a card joined across two sound cards. The primary sound card's render
// thread pushes the member's signal in at the card's primary rate; the far sound card's
// render thread pulls it out through a drift-corrected converter at its own rate and clock,
// and delays it so that both halves reach the air together.
//
// Threads:
//  - push runs on the primary output's thread (the producer);
//  - render runs on the far output's thread (the consumer), which owns the converter, the
//    controller, the delay line and the start state;
//  - figures() may be read from any thread: each figure is a relaxed atomic on its own.
// Nothing here allocates, locks or logs after construction; the clock is the only call out.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "core/signal/DelayLine.h"
#include "core/signal/DriftController.h"
#include "core/signal/DueClock.h"
#include "core/signal/FrameFifo.h"

struct SRC_STATE_tag;  // libsamplerate's converter

namespace core {

// The time a chunk of an output's stream stands for: the clock reading, except that a chunk
// read closer than an eighth of the previous one's length after it (several calls for one
// device period, made at one instant, or one call cut into chunks) is placed where the
// previous one ends. Only such bursts are spread out, so a clock that runs off its nominal
// rate is still followed, and the first call after a burst is back on the clock: a stream
// catching up after a stall must not leave its chunks stamped ahead for good. lastNs: the
// previous chunk's time (0: none yet); lastClockNs: the clock when it was read.
std::int64_t chunkTimeNs(std::int64_t nowNs, std::int64_t lastNs, std::int64_t lastClockNs, std::int64_t lastChunkNs);

// How a far half is sized, from both outputs' rates, periods and latencies.
struct FarHalfPlan {
    double primaryRateHz = 48000.0;
    double farRateHz = 48000.0;
    double fifoTargetFrames = 0.0;  // at the primary rate
    double marginFrames = 0.0;      // above the target before the far half starts
    // How far the filtered distance may stray from the target before the far half is lined
    // up again (trimmed when late, silent for what it lacks when early).
    double bandFrames = 0.0;
    std::uint32_t fifoCapacityFrames = 0;
    double baseRatio = 1.0;  // farRateHz / primaryRateHz
    // How much later the far half reaches the air than the near half, with nothing delayed:
    // the FIFO's target plus the far output's latency, less the primary's latency. Positive:
    // the near half waits this long; negative: the far half does.
    double mismatchMs = 0.0;
    // The far output's latency, in its own frames: it lasts as long as the far clock makes it.
    double farLatencyFrames = 0.0;
    // How long both sound cards' rates are measured before a first start (see kMeasureSeconds).
    double measureSeconds = 3.0;
    // How far back both sides' due clocks look, by the coarser side's period (see DueClock).
    double dueWindowSeconds = DueClock::kWindowSeconds;
};

FarHalfPlan planFarHalf(double primaryRateHz, std::uint32_t primaryPeriodFrames, std::uint32_t primaryLatencyFrames,
                        double farRateHz, std::uint32_t farPeriodFrames, std::uint32_t farLatencyFrames);

class FarHalf {
public:
    // Largest chunk render takes.
    static constexpr std::uint32_t kMaxChunkFrames = 1024;
    // What the converter pulls from the FIFO at a time.
    static constexpr std::uint32_t kPullFrames = 32;

    // A steady clock in nanoseconds, never 0; called on the far output's thread.
    using Clock = std::int64_t (*)(void* context);

    // Why it started (again) last.
    enum class StartCause : std::uint32_t {
        First = 0,
        RanDry = 1,  // the FIFO ran out: the primary held up longer than the FIFO holds
        Late = 2,    // the distance stayed above the band, or stepped (kRelineMs), for kStraySeconds: trimmed
        Early = 3,   // ... below it: silent for what it lacked
    };

    // Written by the render threads, read anywhere.
    struct Figures {
        // Stored with release after startCause: a reader that loads it with acquire sees the
        // cause of that start or a later one.
        std::atomic<std::uint32_t> starts{0};
        std::atomic<std::uint32_t> startCause{0};     // a StartCause
        std::atomic<std::uint32_t> trimmedFrames{0};  // dropped at the last start
        std::atomic<float> factor{1.0f};              // the controller's last factor
        // The clocks' offset measured from both sides' callbacks, stored before measured (0, 1)
        // is stored with release; and how many measurements either side set aside.
        std::atomic<float> measuredOffset{0.0f};
        std::atomic<std::uint32_t> measured{0};
        std::atomic<std::uint32_t> measurementsSetAside{0};
        std::atomic<std::uint32_t> fits{0};     // fits of the clocks' offset taken
        std::atomic<float> fittedOffset{0.0f};  // the integral after the last one
        std::atomic<float> offsetDoubt{0.0f};   // how sure the fits taken are of it
        // The last fit of its own stream that was sure enough to weigh, as packFit makes it; 0
        // before the first. What a far half between the same two sound cards may weigh too.
        std::atomic<std::uint64_t> streamFit{0};
        std::atomic<std::uint32_t> sharedFits{0};  // shared fits taken (see shareFit)
        // Realignments begun (see realign), and the distance the last one set out to win back,
        // in primary frames: stored before realigns, which is stored with release.
        std::atomic<std::uint32_t> realigns{0};
        std::atomic<float> realignedFrames{0.0f};
        // 1 while learnedOffset would give the clocks' offset (as of the far output's last chunk).
        std::atomic<std::uint32_t> settled{0};
        std::atomic<std::uint64_t> underrunFrames{0};
        // The primary's thread writes these: on a line of their own.
        alignas(64) std::atomic<std::uint64_t> overflowFrames{0};
        // The size of the last push, stored (relaxed) after the push; nothing is published
        // with it, and a read that races a push is off by one block for one chunk, which the
        // controller's filter absorbs.
        std::atomic<std::uint32_t> pushedFrames{0};
        // The primary's measured rate once known (0 before); the far thread reads it.
        std::atomic<double> primaryRateHz{0.0};
    };

    // A start is trimmed from the mean of the readings of at least this many chunks: a few
    // chunks after the primary came back from a hold-up are off by the callbacks' lateness,
    // tens of frames, which the controller would then take many seconds to win back.
    static constexpr std::size_t kPrimeChunks = 32;
    // A stray outside the band for this long, in the far output's stream, lines it up again.
    static constexpr double kStraySeconds = 1.0;
    // Inside the band this long, the controller's integral is the two clocks' offset.
    static constexpr double kSettledSeconds = 10.0;
    // A distance that runs this far ahead of the controller's filtered one, in ms, has stepped
    // (a callback lost on one side), not drifted: the clocks and the controller's correction,
    // 1000 ppm each at most, move it by under 2 ms a second, and the readings' mean follows
    // that within a fifth of a second where the filter takes a second.
    static constexpr double kStepMs = 1.5;
    // A step that leaves the distance further than this from the target, for kStraySeconds
    // after every reading came after it, lines the halves up again as a stray past the band
    // does: one lost callback of 480 frames steps it by 10 ms, which the proportional part
    // alone takes half a minute to win back. Smaller steps are won back that way; above
    // kStepMs, so that readings that wander by about that much under Wine start nothing.
    static constexpr double kRelineMs = 2.0;
    // Without a learned offset, both sound cards' rates are measured against the steady clock
    // over this long, and the integral starts from what they say; the far half waits for it
    // (kMeasureWaits times this long at most: a measurement set aside is made again, and a
    // shared-mode stream under Wine spends its first two seconds filling its buffer). Longer
    // with coarse periods, to see kMeasureCallbacks of the coarser side: the measurement's
    // error grows with the period and falls with the square of the time (fewer callbacks to
    // find the least late one among, over a shorter span).
    static constexpr double kMeasureSeconds = 3.0;
    static constexpr double kMeasureWaits = 3.0;
    static constexpr double kMeasureCallbacks = 150.0;

    // A fit of the clocks' offset and how sure it is, in one word that threads can pass on
    // whole; never 0 for a fit (its doubt is above 0).
    static std::uint64_t packFit(double offset, double doubt);
    static void unpackFit(std::uint64_t packed, double& offset, double& doubt);
    // The same two clocks' offset as a far half that joins them the other way round sees it:
    // its factor is the inverse of this one's.
    static double reversedOffset(double offset) { return 1.0 - 1.0 / (1.0 - offset); }

    // Build time (allocates). valid() is false when the converter cannot be made; error()
    // then holds libsamplerate's code. learned: the clocks' offset an earlier far half
    // between the same two sound cards learned (learnedOffset), if any.
    FarHalf(const FarHalfPlan& plan, std::uint32_t delayFrames, Clock clock, void* clockContext,
            std::optional<double> learned = std::nullopt);
    ~FarHalf();
    FarHalf(const FarHalf&) = delete;
    FarHalf& operator=(const FarHalf&) = delete;

    bool valid() const { return converter_ != nullptr; }
    int error() const { return error_; }

    // Any thread: a fit another far half between the same two sound cards took of their
    // clocks' offset (as this one sees it, see reversedOffset), weighed on the far output's
    // thread as its own fits are, once this one's clocks are measured: a far half that has
    // not yet fitted (a busy machine keeps starting it again, a shared-mode engine bends its
    // stretches) need not play by the measurement from its callbacks' times meanwhile. Only
    // the latest one not yet weighed waits.
    void shareFit(double offset, double doubt) { sharedFit_.store(packFit(offset, doubt), std::memory_order_relaxed); }

    // Primary output's thread: the member's next frames, and the time they stand for.
    void push(const float* mono, std::uint32_t frames, std::int64_t nowNs);

    // Far output's thread: the next frames (at most kMaxChunkFrames) of the far half, delayed;
    // valid until the next call. True when every frame carried the signal (started before this
    // chunk and no underrun in it); silence otherwise.
    bool render(std::uint32_t frames, const float*& out);

    const FarHalfPlan& plan() const { return plan_; }
    std::uint32_t delayFrames() const { return delay_.lengthFrames(); }
    const Figures& figures() const { return figures_; }
    Figures& figures() { return figures_; }
    // Far output's thread, or once it has stopped.
    const DriftController& controller() const { return controller_; }
    // The offset between the clocks measured from both sides' callbacks; false until measured.
    bool measuredOffset(double& integral) const;
    bool started() const { return started_; }
    // Far output's thread: a step inside the band is being won back, with the integral held.
    bool holdingForStep() const { return stepped_; }
    // The controller's integral once it has held the distance inside the band for
    // kSettledSeconds: the two clocks' offset, for the next far half between these sound cards.
    bool learnedOffset(double& integral) const;

private:
    // The last chunks' readings of the distance: while unstarted, each less what the FIFO
    // gained since priming began; while playing, as read. Either way they differ only by the
    // callbacks' lateness, which their mean averages as the controller's filter does.
    static constexpr std::size_t kRecentChunks = 32;
    static constexpr std::size_t kMinRecentChunks = 4;
    // How late a push may come before the primary counts as held up.
    static constexpr double kLateSeconds = 0.005;
    // How long the level streams on past the primary's last block: a push due later than that
    // is a stall or a stream that moved on, and the FIFO is read as it stands meanwhile.
    static constexpr auto kPushGraceNs = static_cast<std::int64_t>(DueClock::kShiftSeconds * 1e9);

    // A device's rate in frames per second of the steady clock, over the plan's measureSeconds.
    // A callback comes late, never early, so in the first and in the last third of that time
    // the callback least late against the device's own clock is the one nearest it: the rate
    // is the slope between those two. Against the nominal rate, a clock 900 ppm off drifts by
    // more than the callbacks' jitter across a third, and the least late would be the one at
    // its edge: each third keeps the least late of each of its bins against the nominal rate,
    // and the two are then picked from those against the rate measured, twice over. The bins'
    // pairs, one of each third, also give a rate each: where those disagree, the measurement
    // is set aside and made again. One thread each.
    class RateMeter {
    public:
        RateMeter(double nominalHz, double seconds) : nominalHz_(nominalHz), seconds_(seconds) {}
        // True once, when the measurement is complete.
        bool add(std::int64_t nowNs, std::uint32_t frames);
        double rateHz() const { return rateHz_; }
        // How many measurements were set aside and begun again.
        std::uint32_t restarts() const { return restarts_; }

    private:
        struct Point {
            double seconds = 0.0;
            double frames = 0.0;
            bool set = false;
        };
        double nominalHz_;
        double seconds_;
        std::int64_t firstNs_ = 0;
        bool begun_ = false;
        double frames_ = 0.0;
        double lastSeconds_ = -1.0;  // the last callback's, -1 before the first
        double lastFrames_ = 0.0;
        static constexpr std::size_t kBins = 8;
        Point earliest_[2][kBins];
        // The least late point of a third against rateHz, passing over early ones (see
        // DueClock::onTimeFloor).
        const Point& earliestAt(std::size_t third, double rateHz) const;
        double rateHz_ = 0.0;
        std::uint32_t restarts_ = 0;
        void restart();
        // How far the middle half of the bins' own rates may spread, and the rate lie off the
        // nominal one, for a measurement to stand: a stream filling its buffer spreads them by
        // tens of thousands of ppm, callbacks up to 1.5 ms late with 2048-frame periods by some
        // 100. The least late points of all are closer than the bins' median (to some 10 ppm
        // against 40); they are taken unless they lie further from it than twice the bins'
        // spread, or kAgree.
        static constexpr double kMaxSpread = 500e-6;
        static constexpr double kMaxOff = 2000e-6;
        static constexpr double kAgree = 150e-6;
    };

    // Once it plays, the far half's own readings tell the clocks' offset far more closely than
    // the callbacks' times did: the primary frames it took per far frame, less the distance
    // gained, fitted by least squares over a stretch inside the band. A fit is taken only when
    // its readings lie close enough to their line and the fits of its two halves agree (a
    // hold-up in the stretch bends it); how far it moves the integral depends on its error.
    struct OffsetFit {
        double n = 0, sv = 0, su = 0, svv = 0, svu = 0, suu = 0;
        void add(double v, double u);
        void merge(const OffsetFit& other);
        void remove(const OffsetFit& other);  // readings merged into it before
        // About their means.
        double sxx() const { return n > 0 ? svv - sv * sv / n : 0.0; }
        double sxy() const { return n > 0 ? svu - sv * su / n : 0.0; }
        double syy() const { return n > 0 ? suu - su * su / n : 0.0; }
        double slope() const;       // 0 without two readings apart
        double slopeError() const;  // the slope's standard error
    };
    // The first stretch is short: a shared-mode engine's first callbacks can put the measured
    // offset some hundreds of ppm off, which the halves must not drift apart by for long.
    // Each after it is twice as long up to kFitSeconds, for a fit to a few ppm; they go on
    // for as long as it plays, so that the integral follows the clocks as they warm up.
    static constexpr double kFitFromSeconds = 0.5;  // after a start
    static constexpr double kFirstFitSeconds = 5.0;
    static constexpr double kFitSeconds = 20.0;
    // How unsure a fit may be and still be taken: under Wine, where the streams do not keep
    // steady rates against the clock, twenty seconds fit to some 30 to 100 ppm, five to more.
    static constexpr double kFitMaxDoubt = 300e-6;
    // How far the clocks' offset may have moved between two fits (they warm up), and how sure
    // an offset learned by an earlier far half is.
    static constexpr double kOffsetWander = 0.5e-6;
    static constexpr double kLearnedDoubt = 2e-6;
    // How many times their combined doubt two offsets may differ and still agree.
    static constexpr double kFitsAgree = 5.0;
    // A stream that moves on (a hold-up in one of them) steps the readings: a line fitted
    // across the step is tilted by several times the error its scatter suggests (a 2.7 ms
    // step in 20 s: 200 ppm, said to be sure to 26). The stretch's readings are kept as the
    // means of kFitPoints equal parts, and where a line with one step between two of them
    // fits those far better than one without, that line's slope is the fit. How much better:
    // the residual's fall against its scatter (an F ratio): a lost 128-frame callback makes
    // some 1000, a step looked for in every place of a stretch with callbacks up to 1.5 ms
    // late finds at most 60.
    static constexpr std::size_t kFitPoints = 20;
    static constexpr double kStepRatio = 200.0;
    struct FitPoint {
        double n = 0, v = 0, u = 0;  // readings and their sums
    };
    struct SteppedFit {
        double slope = 0.0;        // 0: no step fits the points markedly better
        double errorFactor = 1.0;  // its error against the line's without a step
    };
    SteppedFit steppedFit() const;
    // farFrames: the far output's frames before this chunk; fill: the distance read for it.
    void fitOffset(std::uint32_t frames, double farFrames, double fill);
    // Weighs a fit (its own stream's, or shared) against those before it, and moves the
    // integral by what they say together.
    void takeFit(double fitted, double doubt, bool own);
    void resetStretch();
    void resetFit();  // the stretch and the run
    void resetRun();

    static long pull(void* data, float** samples);
    // The distance between the halves at atNs, less what the converter holds; clockNs is the
    // clock's reading.
    double level(std::int64_t atNs, std::int64_t clockNs) const;
    // Far output's thread, while unstarted: silence, and true once it starts.
    bool prime(std::int64_t now, std::int64_t clockNs, std::uint32_t frames);
    // Starts at the distance aimed at, for that cause.
    void trim(double dropFrames, StartCause cause);
    void silence(std::uint32_t frames);
    void startFilterAfresh();
    double held() const { return static_cast<double>(pulledFrames_) - consumedFrames_; }
    // The distance the controller holds at the target, from the one read.
    double steered(double fill) const;

    FarHalfPlan plan_;
    Clock clock_;
    void* clockContext_;
    FrameFifo fifo_;
    struct ConverterDeleter {
        void operator()(SRC_STATE_tag* state) const;
    };
    std::unique_ptr<SRC_STATE_tag, ConverterDeleter> converter_;
    int error_ = 0;
    DriftController controller_;
    DelayLine delay_;

    // The far output's thread only.
    bool started_ = false;
    bool underflow_ = false;                    // set by the pull, seen after the converter returns
    StartCause nextCause_ = StartCause::First;  // of the next start from priming
    std::int64_t lastTimeNs_ = 0;
    std::int64_t lastClockNs_ = 0;  // the clock when the last chunk was stamped
    std::int64_t lastChunkNs_ = 0;  // how long the last chunk plays at the far rate
    // What the converter took from the FIFO and what its output has used of that since the
    // last start, in FIFO frames. Their difference is the input it holds: the pull blocks'
    // remainder plus its filter's look-ahead, which the far half plays that much later.
    std::uint64_t pulledFrames_ = 0;
    double consumedFrames_ = 0.0;
    // reading: the distance read for a chunk; steady: the same less what the primary's pushes
    // (at the rate the integral gives) and the far half's own consumption moved it by up to
    // that chunk, which readings taken over a while then share.
    void remember(double reading, double steady);
    static double trimmedMean(const double* values, std::size_t readings);
    double recentMean() const { return trimmedMean(recent_, recentCount_); }
    // A chunk's reading of the distance, or the recent readings' mean (recentMean, once there
    // are kMinRecentChunks) where it lies further than a step from it.
    double heard(double reading, double mean) const;

    double recent_[kRecentChunks] = {};
    double recentSteady_[kRecentChunks] = {};
    std::size_t recentCount_ = 0;
    double primingSeconds_ = 0.0;  // the far stream's time since priming began
    double straySeconds_ = 0.0;    // outside the band, in a row
    double settledSeconds_ = 0.0;  // inside the band, in a row
    // A step inside the band is won back by the controller's proportional part alone: learned,
    // a 10 ms one would wind the integral up by some 200 ppm, which then drifts the halves
    // apart the other way for minutes. Held from the step until the filtered distance is back
    // within kStepSettledMs of where it was before it, or for kStepHoldSeconds at most; the
    // fits of the clocks' offset go on meanwhile.
    static constexpr double kStepSettledMs = 0.25;
    static constexpr double kStepHoldSeconds = 60.0;
    // A step is won back at the proportional part's pace, an e-fold per eFoldSeconds. Where
    // the clocks moved meanwhile (a stream still settling, a card warming up), the distance
    // instead stops short of where it was before the step, or runs on away from it, and holding
    // the integral would keep the halves apart by what they moved until kStepHoldSeconds. So
    // once the readings all came after the step, the hold lets go when, over a quarter of an
    // e-fold (kStepMinCheckSeconds at least), the distance came back by less than half of what
    // the proportional part alone wins back of a step.
    static constexpr double kStepCheckFraction = 0.25;
    static constexpr double kStepMinCheckSeconds = 2.0;
    static constexpr double kStepProgress = 0.5;
    bool stepped_ = false;
    double stepBase_ = 0.0;  // the filtered distance from the target when it came
    double steppedSeconds_ = 0.0;
    std::size_t stepChunks_ = 0;     // since the step
    double stepCheckSeconds_ = 0.0;  // since the last check
    double stepCheckLeft_ = -1.0;    // how far the distance read was from stepBase_ then
    // Far output's thread, playing: whether the integral holds for a step inside the band.
    bool holdForStep(double mean, double chunkSeconds);
    // The controller's proportional part wins a distance back at one e-fold per target over its
    // gain: 46 s with 2048-frame periods. Two things leave the halves some frames apart that
    // the distance read tells well before then:
    //  - A start trims the distance to the target as both due clocks read it then. A rebuild's
    //    far half starts within a second of its outputs, when each due clock has seen only some
    //    of its window's callbacks (with 2048-frame periods, 23, whose least late is some
    //    0.06 ms late), and lands a few frames off.
    //  - Until the fits have found the clocks' offset, the halves drift apart by what the
    //    integral is off: 2.2 frames for each ppm with 2048-frame periods, held there.
    // So once the due clocks have a window behind them after a start, and after each fit that
    // moves the integral by kRealignAfterFit or more, the distance read then is won back at
    // once: the converter runs kRealignRate faster or slower until it has moved the distance by
    // that much. Not after every fit: a reading is still off by the two least late callbacks'
    // lateness (a frame or so), which the controller averages out over many windows and which
    // realigning on every fit would only chase. Nor after a fit less sure than
    // kRealignFitDoubt: its readings lie that far from their line (under Wine, whose streams'
    // fits are sure to 30 to 100 ppm, realigning on each fit that moved the integral left the
    // halves up to 1.7 ms apart).
    static constexpr double kRealignRate = 500e-6;
    static constexpr double kRealignMinFrames = 1.0;
    static constexpr double kRealignAfterFit = 1e-6;
    static constexpr double kRealignFitDoubt = 10e-6;
    // Far frames of silence still owed after it was found early: see render.
    double gapFrames_ = 0.0;
    bool realignDue_ = false;
    double realignFrames_ = 0.0;  // how far the distance is still to move
    // Far output's thread, playing inside the band: whether a realignment starts; moved: what
    // the primary and the far half's consumption moved the distance by up to this chunk.
    void realign(double moved);
    RateMeter farMeter_{plan_.farRateHz, plan_.measureSeconds};
    bool seeded_ = false;  // the integral started from a learned or measured offset
    double unseededSeconds_ = 0.0;
    OffsetFit fitHalves_[2];
    FitPoint fitPoints_[kFitPoints];
    std::array<double, 2> fitOrigin_{};  // the stretch's first reading
    double fitSeconds_ = 0.0;            // since the last start or fit, inside the band
    std::uint32_t fitStretches_ = 0;     // fitted, taken or not
    // The stretches taken in a row since a start, a stray, a step or a disagreement, and the
    // estimate before the first of them; a run spans kRunSeconds at most, as the clocks warm up.
    static constexpr double kRunSeconds = 60.0;
    OffsetFit run_;
    OffsetFit runStretch_;  // this stretch's readings, from the run's origin
    std::array<double, 2> runOrigin_{};
    double runSeconds_ = 0.0;
    double runDoubt() const;
    // Two offsets agree when they lie within kFitsAgree times their combined doubt.
    static bool fitsAgree(double a, double aDoubt, double b, double bDoubt);
    std::array<double, 2> beforeRun_{};  // offsetEstimate_ and offsetDoubt_
    // What the fits taken so far (and a learned offset) say the clocks' offset is, and how sure.
    double offsetEstimate_ = 0.0;
    double offsetDoubt_ = std::numeric_limits<double>::infinity();
    bool contradicted_ = false;              // the last fit contradicted it and was set aside
    std::array<double, 2> contradiction_{};  // that fit and its doubt
    double farFrames_ = 0.0;                 // all the far output has taken, silence included

    DueClock farDue_{plan_.farRateHz, false, plan_.dueWindowSeconds};
    // The same, at the far stream's measured rate for good, for the fits: a rate set anew moves
    // the due times read through a window by up to the window times the change (150 us for
    // 35 ppm over 4.3 s), which would step the readings of a run of stretches between them.
    DueClock fitDue_{plan_.farRateHz, false, plan_.dueWindowSeconds};

    // The primary output's thread only.
    RateMeter primaryMeter_{plan_.primaryRateHz, plan_.measureSeconds};
    DueClock primaryDue_{plan_.primaryRateHz, false, plan_.dueWindowSeconds};
    double primaryFrames_ = 0.0;
    std::vector<float> pullBuffer_;
    std::vector<float> work_;

    Figures figures_;
    std::atomic<std::uint64_t> sharedFit_{0};  // see shareFit; 0: none waiting
};

}  // namespace core
