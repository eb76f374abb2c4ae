#include "core/signal/FarHalf.h"

#include <samplerate.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace core {

std::int64_t chunkTimeNs(std::int64_t nowNs, std::int64_t lastNs, std::int64_t lastClockNs, std::int64_t lastChunkNs) {
    if (lastNs == 0) return nowNs;
    return nowNs - lastClockNs < lastChunkNs / 8 ? std::max(nowNs, lastNs + lastChunkNs) : nowNs;
}

FarHalfPlan planFarHalf(double primaryRateHz, std::uint32_t primaryPeriodFrames, std::uint32_t primaryLatencyFrames,
                        double farRateHz, std::uint32_t farPeriodFrames, std::uint32_t farLatencyFrames) {
    FarHalfPlan plan;
    plan.primaryRateHz = primaryRateHz;
    plan.farRateHz = farRateHz;
    const double farPeriodAtPrimary = primaryRateHz * farPeriodFrames / (farRateHz < 2.0 ? 1.0 : farRateHz);
    // Three periods of whichever side is coarser, plus slack for the converter's pulls.
    plan.fifoTargetFrames =
        std::floor(std::max(farPeriodAtPrimary, static_cast<double>(primaryPeriodFrames)) * 3.0 + 512.0);
    plan.fifoCapacityFrames = static_cast<std::uint32_t>(std::ceil(4.0 * plan.fifoTargetFrames + 4096.0));
    plan.baseRatio = farRateHz / primaryRateHz;
    plan.marginFrames = 64.0 / std::min(plan.baseRatio, 1.0) + 64.0;
    plan.bandFrames = std::max(plan.marginFrames, plan.fifoTargetFrames / 4.0);
    // Whichever half reaches the air sooner waits for the other: the far half's extra path is
    // the FIFO it is held at plus its own output's latency, against the primary's latency.
    const double fifoMs = plan.fifoTargetFrames * 1000.0 / primaryRateHz;
    const double farLatencyMs = farLatencyFrames * 1000.0 / farRateHz;
    const double primaryLatencyMs = primaryLatencyFrames * 1000.0 / primaryRateHz;
    plan.mismatchMs = fifoMs + farLatencyMs - primaryLatencyMs;
    plan.farLatencyFrames = farLatencyFrames;
    plan.measureSeconds =
        std::max(FarHalf::kMeasureSeconds, FarHalf::kMeasureCallbacks *
                                               std::max(farPeriodAtPrimary, static_cast<double>(primaryPeriodFrames)) /
                                               primaryRateHz);
    plan.dueWindowSeconds =
        DueClock::windowFor(std::max(farPeriodAtPrimary, static_cast<double>(primaryPeriodFrames)) / primaryRateHz);
    return plan;
}

void FarHalf::ConverterDeleter::operator()(SRC_STATE_tag* state) const {
    src_delete(state);
}

FarHalf::FarHalf(const FarHalfPlan& plan, std::uint32_t delayFrames, Clock clock, void* clockContext,
                 std::optional<double> learned)
    : plan_(plan),
      clock_(clock),
      clockContext_(clockContext),
      fifo_(plan.fifoCapacityFrames),
      controller_(std::max(1.0, plan.fifoTargetFrames)),
      delay_(delayFrames),
      pullBuffer_(kPullFrames),
      work_(kMaxChunkFrames) {
    converter_.reset(src_callback_new(pull, SRC_SINC_FASTEST, 1, &error_, this));
    if (learned) {
        controller_.seed(*learned);
        seeded_ = true;
        offsetEstimate_ = controller_.integral();
        offsetDoubt_ = kLearnedDoubt;
        // Steady, the far sound card plays 1 - integral far frames per nominal one for each
        // primary frame. The primary's own clock is as far off its nominal rate as the far one
        // is off this, and their due times are then skewed alike: the difference between them,
        // which is all that is read, is not.
        farDue_ = DueClock(plan_.farRateHz * (1.0 - controller_.integral()), true, plan_.dueWindowSeconds);
        fitDue_ = farDue_;
        primaryDue_ = DueClock(plan_.primaryRateHz, true, plan_.dueWindowSeconds);
    }
}

bool FarHalf::RateMeter::add(std::int64_t nowNs, std::uint32_t frames) {
    if (rateHz_ > 0.0) return false;
    if (!begun_) {
        firstNs_ = nowNs;
        begun_ = true;
    }
    const double seconds = static_cast<double>(nowNs - firstNs_) * 1e-9;
    const double before = frames_;
    frames_ += frames;
    // A callback that follows the last one sooner than half that one's length is the device
    // filling its buffer or catching up after a hold-up: early against the clock, not on it.
    const bool paced = lastSeconds_ < 0.0 || seconds - lastSeconds_ >= 0.5 * lastFrames_ / nominalHz_;
    lastSeconds_ = seconds;
    lastFrames_ = frames;
    if (seconds < seconds_) {
        // The first and the last third: the two points lie at least a third apart.
        if (!paced || (seconds >= seconds_ / 3 && seconds < seconds_ * 2 / 3)) return false;
        const std::size_t third = seconds < seconds_ / 3 ? 0 : 1;
        const double intoThird = (seconds - (third == 0 ? 0.0 : seconds_ * 2 / 3)) / (seconds_ / 3);
        Point& earliest = earliest_[third][std::min(static_cast<std::size_t>(intoThird * kBins), kBins - 1)];
        // How late this callback is against the nominal rate, give or take a constant.
        const double lateSeconds = seconds - before / nominalHz_;
        if (!earliest.set || lateSeconds < earliest.seconds - earliest.frames / nominalHz_)
            earliest = Point{seconds, before, true};
        return false;
    }
    // The rate each bin's pair of least late points gives on its own: under Wine a stream's
    // callbacks are not only ever late (its first seconds run fast while its buffer fills, and
    // now and then one comes some milliseconds early), and one such point, taken as the least
    // late of its third, would tilt the rate by hundreds of ppm.
    double slopes[kBins];
    std::size_t count = 0;
    for (std::size_t bin = 0; bin < kBins; ++bin) {
        const Point& first = earliest_[0][bin];
        const Point& last = earliest_[1][bin];
        if (first.set && last.set && last.seconds > first.seconds)
            slopes[count++] = (last.frames - first.frames) / (last.seconds - first.seconds);
    }
    std::sort(slopes, slopes + count);
    const double median = count == 0 ? 0.0 : (slopes[(count - 1) / 2] + slopes[count / 2]) / 2.0;
    const double spread = count == 0 ? 0.0 : slopes[count - 1 - count / 4] - slopes[count / 4];
    // Bins that disagree (a stream still filling its buffer) or a rate no sound card runs at
    // say nothing of the clock: measure again from here.
    if (count < kBins / 2 || spread > kMaxSpread * nominalHz_ ||
        std::fabs(median - nominalHz_) > kMaxOff * nominalHz_) {
        restart();
        return false;
    }
    // The least late points of each third, picked against the bins' rate and then against
    // the rate they give, twice over: against the nominal rate, a clock 900 ppm off would
    // tilt each third by a millisecond.
    double rateHz = median;
    for (int pass = 0; pass < 3; ++pass) {
        const Point& first = earliestAt(0, rateHz);
        const Point& last = earliestAt(1, rateHz);
        rateHz = (last.frames - first.frames) / (last.seconds - first.seconds);
    }
    // They are the closest where the bins agree; where the bins do not bear them out, the
    // bins' median is the rate.
    if (!(std::fabs(rateHz - median) <= std::max(2.0 * spread, kAgree * nominalHz_))) rateHz = median;
    rateHz_ = rateHz;
    return true;
}

void FarHalf::RateMeter::restart() {
    const std::uint32_t restarts = restarts_ + 1;
    *this = RateMeter(nominalHz_, seconds_);
    restarts_ = restarts;
}

const FarHalf::RateMeter::Point& FarHalf::RateMeter::earliestAt(std::size_t third, double rateHz) const {
    auto lateness = [rateHz](const Point& point) { return point.seconds - point.frames / rateHz; };
    double late[kBins];
    std::size_t count = 0;
    for (const Point& point : earliest_[third]) {
        if (point.set) late[count++] = lateness(point);
    }
    const double floor = count == 0 ? 0.0 : DueClock::onTimeFloor(late, count);
    const Point* best = nullptr;
    for (const Point& point : earliest_[third]) {
        if (point.set && lateness(point) >= floor && (!best || lateness(point) < lateness(*best))) best = &point;
    }
    return best ? *best : earliest_[third][0];
}

void FarHalf::OffsetFit::add(double v, double u) {
    n += 1;
    sv += v;
    su += u;
    svv += v * v;
    svu += v * u;
    suu += u * u;
}

void FarHalf::OffsetFit::merge(const OffsetFit& other) {
    n += other.n;
    sv += other.sv;
    su += other.su;
    svv += other.svv;
    svu += other.svu;
    suu += other.suu;
}

void FarHalf::OffsetFit::remove(const OffsetFit& other) {
    n -= other.n;
    sv -= other.sv;
    su -= other.su;
    svv -= other.svv;
    svu -= other.svu;
    suu -= other.suu;
}

double FarHalf::OffsetFit::slope() const {
    return n >= 2 && sxx() > 0 ? sxy() / sxx() : 0.0;
}

double FarHalf::OffsetFit::slopeError() const {
    if (n < 3 || sxx() <= 0) return std::numeric_limits<double>::infinity();
    const double residual = std::max(0.0, syy() - sxy() * sxy() / sxx());
    return std::sqrt(residual / (n - 2) / sxx());
}

FarHalf::SteppedFit FarHalf::steppedFit() const {
    // Running sums over the points, by how many of them lie before a step: the sums of the
    // part before it are prefix[k], of the part after it the total less those.
    OffsetFit prefix[kFitPoints + 1];
    std::size_t count = 0;
    for (const FitPoint& point : fitPoints_) {
        if (point.n == 0) continue;
        prefix[count + 1] = prefix[count];
        prefix[count + 1].add(point.v / point.n, point.u / point.n);
        ++count;
    }
    if (count < 5) return {};
    // A step between two points, or inside one (which then lies on neither line, and is left
    // out of both fits): whichever fits the rest far better than one line does.
    const OffsetFit& all = prefix[count];
    double bestRatio = 0.0;
    SteppedFit fit;
    for (std::size_t k = 2; k + 2 <= count; ++k) {
        for (const std::size_t inside : {std::size_t{0}, std::size_t{1}}) {
            if (inside == 1 && k + 3 > count) continue;
            const OffsetFit& before = prefix[k];
            OffsetFit after = all;
            after.remove(prefix[k + inside]);
            OffsetFit rest = before;
            rest.merge(after);
            if (!(rest.sxx() > 0)) continue;
            const double unstepped = rest.syy() - rest.sxy() * rest.sxy() / rest.sxx();
            const double sxx = before.sxx() + after.sxx();
            const double sxy = before.sxy() + after.sxy();
            if (!(sxx > 0)) continue;
            const double residual = std::max(before.syy() + after.syy() - sxy * sxy / sxx, 0.0);
            const double ratio = (unstepped - residual) / (residual / (rest.n - 3.0));
            if (ratio > bestRatio) {
                bestRatio = ratio;
                fit = {sxy / sxx, std::sqrt(rest.sxx() / sxx)};
            }
        }
    }
    return bestRatio > kStepRatio ? fit : SteppedFit{};
}

void FarHalf::resetStretch() {
    fitHalves_[0] = OffsetFit{};
    fitHalves_[1] = OffsetFit{};
    for (FitPoint& point : fitPoints_) point = FitPoint{};
    fitSeconds_ = 0.0;
    runStretch_ = OffsetFit{};
}

void FarHalf::resetFit() {
    resetStretch();
    resetRun();
}

void FarHalf::resetRun() {
    run_ = OffsetFit{};
    runSeconds_ = 0.0;
}

// Far output's thread, for each chunk it plays inside the band, before the chunk is made.
void FarHalf::fitOffset(std::uint32_t frames, double farFrames, double fill) {
    // Both sides' rates measured: the integral holds their offset, which a fit then corrects.
    const bool measured = farMeter_.rateHz() > 0.0 && figures_.primaryRateHz.load(std::memory_order_relaxed) > 0.0;
    if (!measured) return;
    fitSeconds_ += frames / plan_.farRateHz;
    if (fitSeconds_ < kFitFromSeconds) return;
    // 5, 10, 20, 20... seconds: a stretch too short to fit closely is followed by a longer one.
    const double span =
        std::min(kFitSeconds, kFirstFitSeconds * static_cast<double>(1u << std::min(fitStretches_, 4u)));
    // The primary's frames that have reached the far output, against the far output's frames,
    // both from the stretch's first reading on, so that the sums keep their precision.
    const double u = fill + consumedFrames_;
    if (fitHalves_[0].n == 0) fitOrigin_ = {farFrames, u};
    const double v = farFrames - fitOrigin_[0];
    fitHalves_[fitSeconds_ < kFitFromSeconds + span / 2 ? 0 : 1].add(v, u - fitOrigin_[1]);
    FitPoint& point = fitPoints_[std::min(kFitPoints - 1, static_cast<std::size_t>((fitSeconds_ - kFitFromSeconds) /
                                                                                   span * kFitPoints))];
    point.n += 1;
    point.v += v;
    point.u += u - fitOrigin_[1];
    if (run_.n == 0 && runStretch_.n == 0) runOrigin_ = {farFrames, u};
    runStretch_.add(farFrames - runOrigin_[0], u - runOrigin_[1]);
    if (fitSeconds_ < kFitFromSeconds + span) return;
    const SteppedFit stepped = steppedFit();
    OffsetFit whole = fitHalves_[0];
    whole.merge(fitHalves_[1]);
    const double slopes[3] = {fitHalves_[0].slope(), fitHalves_[1].slope(), whole.slope()};
    // Readings less than a window apart share the least late callbacks their due times were
    // read from: the stretch holds some span / window independent ones, not n.
    const double error = whole.slopeError() * std::sqrt(whole.n * plan_.dueWindowSeconds / span);
    const OffsetFit stretch = runStretch_;
    resetStretch();
    ++fitStretches_;
    if (slopes[0] <= 0.0 || slopes[1] <= 0.0 || slopes[2] <= 0.0) return resetFit();
    // Steady, the factor turns one primary frame into 1 / slope far frames; the slope's error
    // is near enough the offset's.
    auto offset = [&](double slope) { return 1.0 - 1.0 / (slope * plan_.baseRatio); };
    // The halves have some 2.8 times the whole's error each, so their difference some four
    // times it. A split beyond that is a stretch that bent: the stream's rate moved, or a
    // hold-up the band let pass, and the fit is only as sure as a quarter of the split.
    double fitted = offset(slopes[2]);
    const double split = std::fabs(offset(slopes[0]) - offset(slopes[1]));
    double doubt = std::max(error, split / 4.0);
    if (stepped.slope > 0.0) {
        // The line with the step fits the stretch: its slope, as sure as the readings' spread
        // about each part's own line allows (which bends the halves apart by the step).
        fitted = offset(stepped.slope);
        doubt = error * stepped.errorFactor;
    }
    if (!(doubt <= kFitMaxDoubt)) return resetFit();  // again
    figures_.streamFit.store(packFit(fitted, doubt), std::memory_order_relaxed);

    // The stretches fitted in a row, on one line: the readings' error is the least late
    // callbacks' wander, a few hundredths of a millisecond whatever the stretch's length, so a
    // line across all of them is that many times surer than each stretch alone. A stretch with
    // a step, or that disagrees with the run before it (the clocks moved), begins a new run.
    const bool joins = run_.n > 0 && stepped.slope <= 0.0 && runSeconds_ + span <= kRunSeconds;
    if (!joins || !fitsAgree(fitted, doubt, offset(run_.slope()), runDoubt())) {
        // From the stretch's own origin, so that the sums keep their precision however long
        // it plays.
        run_ = stepped.slope > 0.0 ? OffsetFit{} : whole;
        runOrigin_ = fitOrigin_;
        runSeconds_ = stepped.slope > 0.0 ? 0.0 : span;
        beforeRun_ = {offsetEstimate_, offsetDoubt_};
        takeFit(fitted, doubt, true);
        return;
    }
    run_.merge(stretch);
    runSeconds_ += span;
    // What the run's own stretches said so far gives way to the run's line; stretches in a row
    // that agree with each other but not with what was known before are taken on their own (a
    // learned offset from clocks that have since changed).
    const double runFitted = offset(run_.slope());
    offsetEstimate_ = beforeRun_[0];
    offsetDoubt_ = beforeRun_[1];
    contradicted_ = false;
    if (!fitsAgree(runFitted, runDoubt(), offsetEstimate_, offsetDoubt_))
        offsetDoubt_ = std::numeric_limits<double>::infinity();
    takeFit(runFitted, runDoubt(), true);
}

bool FarHalf::fitsAgree(double a, double aDoubt, double b, double bDoubt) {
    return std::fabs(a - b) <= kFitsAgree * std::hypot(aDoubt, bDoubt);
}

double FarHalf::runDoubt() const {
    return run_.slopeError() * std::sqrt(run_.n * plan_.dueWindowSeconds / runSeconds_);
}

// Far output's thread, with the clocks measured.
void FarHalf::takeFit(double fitted, double doubt, bool own) {
    // Each fit is weighed against what the ones before it found, by their doubts, and the
    // clocks may have moved by kOffsetWander since the last. One that contradicts them is
    // set aside: a stretch a shared-mode engine bent says nothing. Two in a row that agree
    // with each other (a learned offset from clocks that have since changed) are taken on
    // their own. The integral moves to the nearest offset within the doubt of that: a loose
    // fit does not undo what close ones found.
    offsetDoubt_ = std::hypot(offsetDoubt_, kOffsetWander);
    auto weigh = [](double& estimate, double& estimateDoubt, double fit, double fitDoubt) {
        const double weight = 1.0 / (estimateDoubt * estimateDoubt);
        const double fitWeight = 1.0 / (fitDoubt * fitDoubt);
        estimate = (estimate * weight + fit * fitWeight) / (weight + fitWeight);
        estimateDoubt = 1.0 / std::sqrt(weight + fitWeight);
    };
    if (std::isinf(offsetDoubt_)) {
        offsetEstimate_ = fitted;
        offsetDoubt_ = doubt;
    } else if (fitsAgree(fitted, doubt, offsetEstimate_, offsetDoubt_)) {
        weigh(offsetEstimate_, offsetDoubt_, fitted, doubt);
        contradicted_ = false;
    } else if (contradicted_ && fitsAgree(fitted, doubt, contradiction_[0], contradiction_[1])) {
        offsetEstimate_ = contradiction_[0];
        offsetDoubt_ = contradiction_[1];
        weigh(offsetEstimate_, offsetDoubt_, fitted, doubt);
        contradicted_ = false;
    } else {
        contradicted_ = true;
        contradiction_ = {fitted, doubt};
        return;
    }
    const double integralBefore = controller_.integral();
    controller_.seed(
        std::clamp(controller_.integral(), offsetEstimate_ - offsetDoubt_, offsetEstimate_ + offsetDoubt_));
    if (doubt <= kRealignFitDoubt && std::fabs(controller_.integral() - integralBefore) >= kRealignAfterFit)
        realignDue_ = true;
    // The far stream's rate as the fits say it runs against the primary's measured one: its
    // due times are then skewed alike with the primary's, and the distance read between them
    // is not skewed at all, where each meter's own error would skew it across the window.
    const double primaryHz = figures_.primaryRateHz.load(std::memory_order_relaxed);
    if (primaryHz > 0.0) farDue_.setRate(primaryHz * plan_.baseRatio * (1.0 - controller_.integral()));
    figures_.fittedOffset.store(static_cast<float>(controller_.integral()), std::memory_order_relaxed);
    figures_.offsetDoubt.store(static_cast<float>(offsetDoubt_), std::memory_order_relaxed);
    (own ? figures_.fits : figures_.sharedFits).fetch_add(1, std::memory_order_relaxed);
}

bool FarHalf::measuredOffset(double& integral) const {
    const double primaryHz = figures_.primaryRateHz.load(std::memory_order_relaxed);
    if (primaryHz <= 0.0 || farMeter_.rateHz() <= 0.0) return false;
    // Steady, the converter turns primaryHz frames into farHz frames a second.
    const double factor = (farMeter_.rateHz() / plan_.farRateHz) / (primaryHz / plan_.primaryRateHz);
    integral = 1.0 - factor;
    return true;
}

void FarHalf::remember(double reading, double steady) {
    recent_[recentCount_ % kRecentChunks] = reading;
    recentSteady_[recentCount_ % kRecentChunks] = steady;
    ++recentCount_;
}

// The mean of the readings less the highest and the lowest eighth: a spike of one late callback
// does not move it, a spread of them does, as it moves the controller's filtered level.
double FarHalf::trimmedMean(const double* values, std::size_t readings) {
    double sorted[kRecentChunks];
    const std::size_t count = std::min(readings, kRecentChunks);
    std::copy(values, values + count, sorted);
    std::sort(sorted, sorted + count);
    const std::size_t cut = count / 8;
    double sum = 0.0;
    for (std::size_t i = cut; i < count - cut; ++i) sum += sorted[i];
    return count > 2 * cut ? sum / static_cast<double>(count - 2 * cut) : 0.0;
}

bool FarHalf::learnedOffset(double& integral) const {
    if (!started_ || settledSeconds_ < kSettledSeconds) return false;
    integral = controller_.integral();
    return true;
}

std::uint64_t FarHalf::packFit(double offset, double doubt) {
    const auto offsetBits = std::bit_cast<std::uint32_t>(static_cast<float>(offset));
    const auto doubtBits = std::bit_cast<std::uint32_t>(std::max(static_cast<float>(doubt), 1e-9f));
    return static_cast<std::uint64_t>(doubtBits) << 32 | offsetBits;
}

void FarHalf::unpackFit(std::uint64_t packed, double& offset, double& doubt) {
    offset = std::bit_cast<float>(static_cast<std::uint32_t>(packed));
    doubt = std::bit_cast<float>(static_cast<std::uint32_t>(packed >> 32));
}

FarHalf::~FarHalf() = default;

// Primary output's thread.
void FarHalf::push(const float* mono, std::uint32_t frames, std::int64_t nowNs) {
    const std::uint32_t stored = fifo_.push(mono, frames, primaryDue_.due(nowNs, primaryFrames_));
    primaryFrames_ += frames;
    figures_.pushedFrames.store(frames, std::memory_order_relaxed);
    const std::uint32_t setAside = primaryMeter_.restarts();
    if (primaryMeter_.add(nowNs, frames)) {
        figures_.primaryRateHz.store(primaryMeter_.rateHz(), std::memory_order_relaxed);
        primaryDue_.setRate(primaryMeter_.rateHz());
    }
    if (primaryMeter_.restarts() != setAside) figures_.measurementsSetAside.fetch_add(1, std::memory_order_relaxed);
    if (stored < frames) figures_.overflowFrames.fetch_add(frames - stored, std::memory_order_relaxed);
}

// Far output's thread. The FIFO's smooth level counts the primary's last block as arrived the
// moment it is pushed, while that block only starts to play then; without the block the level
// is what lies between the two halves at the air, which is what the delays were set for.
//
// Both sides' times are when their chunks were due, not when their callbacks came: each
// callback's lateness would otherwise count as frames, and the halves would be held apart by
// the difference between the two sound cards' mean lateness. A push due but not yet made is
// waited for as long as it can be late without its due clock starting afresh.
//
// A chunk stamped ahead of the clock (the second chunk of one device period, stamped where the
// first one ends) cannot see the pushes the primary makes until then: the FIFO is read at the
// clock, and the primary taken to go on at its rate from there.
double FarHalf::level(std::int64_t atNs, std::int64_t clockNs) const {
    const std::int64_t readNs = std::min(atNs, clockNs);
    return fifo_.fillEstimate(readNs, plan_.primaryRateHz, kPushGraceNs) -
           static_cast<double>(figures_.pushedFrames.load(std::memory_order_relaxed)) +
           static_cast<double>(atNs - readNs) * 1e-9 * plan_.primaryRateHz;
}

// Far output's thread. The delays were matched at the nominal rates, but the far output's
// latency and delay line are frames of its own clock, which run that much shorter on a fast
// sound card (at 900 ppm, 4096 frames of latency arrive 3.7 frames early). The controller's
// integral holds the clocks' offset, and the FIFO holds the difference: a fast far clock
// (integral below 0) gets a fuller FIFO.
double FarHalf::steered(double fill) const {
    const double farPathFrames = plan_.farLatencyFrames + delay_.lengthFrames();
    return fill + farPathFrames / plan_.baseRatio * controller_.integral();
}

// Far output's thread. Drops frames off the FIFO's head; the first chunk after it starts at
// the distance aimed at.
void FarHalf::trim(double dropFrames, StartCause cause) {
    std::uint32_t frames = 0;
    if (dropFrames >= 1.0) {
        frames = dropFrames >= 4294967295.0 ? std::numeric_limits<std::uint32_t>::max()
                                            : static_cast<std::uint32_t>(dropFrames);
    }
    figures_.trimmedFrames.store(fifo_.discard(frames), std::memory_order_relaxed);
    figures_.startCause.store(static_cast<std::uint32_t>(cause), std::memory_order_relaxed);
    figures_.starts.fetch_add(1, std::memory_order_release);
}

// Far output's thread. The delay line runs on, so that what it held before the gap still
// plays in line with the near half.
void FarHalf::silence(std::uint32_t frames) {
    std::fill(work_.begin(), work_.begin() + frames, 0.0f);
    delay_.process(work_.data(), frames);
}

// Far output's thread. One reading of the level is off by however late either callback came;
// the mean of the last few, each moved to now by what the FIFO gained since, is off by their
// mean lateness, as the controller's own filtered level is, so that the start lands where the
// controller will hold it.
bool FarHalf::prime(std::int64_t now, std::int64_t clockNs, std::uint32_t frames) {
    // Readings taken while the primary pushes nothing (held up itself) do not grow as the
    // rule above assumes: priming begins again once it pushes. Judged at the clock: a chunk
    // of a burst, stamped ahead of it, has not missed pushes that are still to come.
    const double pushSeconds = figures_.pushedFrames.load(std::memory_order_relaxed) / plan_.primaryRateHz;
    const std::int64_t lastPushNs = fifo_.lastPushNs();
    if (lastPushNs == 0 ||
        static_cast<double>(std::min(now, clockNs) - lastPushNs) * 1e-9 > 2.0 * pushSeconds + kLateSeconds) {
        recentCount_ = 0;
        primingSeconds_ = 0.0;
        return false;
    }
    double levelRead = level(now, clockNs);
    // A far half waiting for the clocks' measurement, or for enough readings to start from,
    // keeps the FIFO from overflowing. The readings so far stand for a FIFO that many frames
    // fuller: they stay, moved down.
    const double startAt = plan_.fifoTargetFrames + plan_.marginFrames;
    if (levelRead > startAt + 2.0 * kMaxChunkFrames) {
        const std::uint32_t dropped = fifo_.discard(static_cast<std::uint32_t>(levelRead - startAt));
        for (double& reading : recent_) reading -= dropped;
        levelRead -= dropped;
    }
    // The first readings of a far output's due times are as late as the least late of its few
    // callbacks so far: they count once it has had enough of them.
    if (!farDue_.settled()) return false;
    // At the rates measured, or known from the clocks' offset: at 900 ppm, the nominal ones
    // would move the first of kPrimeChunks readings of 10 ms by 13 frames.
    const double primaryHz = figures_.primaryRateHz.load(std::memory_order_relaxed);
    const double gained = (primaryHz > 0.0 ? primaryHz : plan_.primaryRateHz) * primingSeconds_;
    remember(levelRead - gained, levelRead - gained);
    primingSeconds_ += frames / farDue_.rateHz();
    if (recentCount_ < kPrimeChunks) return false;
    const double levelNow = recentMean() + gained;
    // Silent until the FIFO holds enough to ride out both sides' block sizes.
    if (levelNow < startAt) return false;
    // A far half between two sound cards never joined before first measures their clocks, so
    // that it starts in step rather than drifting apart while the integral finds the offset.
    if (!seeded_ && unseededSeconds_ < kMeasureWaits * plan_.measureSeconds) return false;

    started_ = true;
    resetFit();
    recentCount_ = 0;
    primingSeconds_ = 0.0;
    straySeconds_ = 0.0;
    settledSeconds_ = 0.0;
    controller_.reset();
    // Whatever the converter kept from before is stale: it starts empty, after the trim, so
    // that it splices nothing old in front; its hold is then counted exactly.
    src_reset(converter_.get());
    pulledFrames_ = 0;
    consumedFrames_ = 0.0;
    realignDue_ = true;
    realignFrames_ = 0.0;
    gapFrames_ = 0.0;
    trim(levelNow - plan_.fifoTargetFrames, nextCause_);
    return true;
}

// Far output's thread, playing; mean: the recent readings' mean, with this chunk's.
bool FarHalf::holdForStep(double mean, double chunkSeconds) {
    if (recentCount_ < kRecentChunks || !controller_.primed()) return stepped_ = false;
    const double stepFrames = kStepMs * plan_.primaryRateHz / 1000.0;
    // The distance read and the filtered one, from the target.
    const double reading = steered(mean) - controller_.targetFrames();
    const double error = controller_.filteredFrames() - controller_.targetFrames();
    const double ahead = reading - error;
    if (!stepped_) {
        if (std::fabs(ahead) <= stepFrames) return false;
        stepped_ = true;
        stepBase_ = error;
        steppedSeconds_ = 0.0;
        stepChunks_ = 0;
        stepCheckLeft_ = -1.0;
        return true;
    }
    steppedSeconds_ += chunkSeconds;
    // Back once the filter has caught up with the readings and the controller has won the step
    // back; a distance that stays where the step left it is the clocks after all.
    bool release = (std::fabs(ahead) <= stepFrames / 2 &&
                    std::fabs(error - stepBase_) <= kStepSettledMs * plan_.primaryRateHz / 1000.0) ||
                   steppedSeconds_ >= kStepHoldSeconds;
    // Whether it is coming back, judged from the readings (the filter lags them by a second)
    // once all of them were read after the step.
    const double left = std::fabs(reading - stepBase_);
    if (!release && ++stepChunks_ >= kRecentChunks) {
        const double eFold = controller_.eFoldSeconds(plan_.primaryRateHz);
        if (stepCheckLeft_ < 0.0) {
            stepCheckLeft_ = left;
            stepCheckSeconds_ = 0.0;
        } else if ((stepCheckSeconds_ += chunkSeconds) >= std::max(kStepMinCheckSeconds, kStepCheckFraction * eFold)) {
            const double due = stepCheckLeft_ * (1.0 - std::exp(-stepCheckSeconds_ / eFold));
            release = stepCheckLeft_ - left < kStepProgress * due;
            // Readings that neither came back nor stayed (under Wine, the streams settling
            // after a stall) do not tell where the air is: no realignment on them.
            if (release) realignDue_ = false;
            stepCheckLeft_ = left;
            stepCheckSeconds_ = 0.0;
        }
    }
    if (release) stepped_ = false;
    return stepped_;
}

// Far output's thread, once it has been lined up again: the controller's filter and the
// readings begin anew from where the distance is now, and what is left is won back once the
// readings are in.
void FarHalf::startFilterAfresh() {
    controller_.reset();
    recentCount_ = 0;
    realignDue_ = true;
    realignFrames_ = 0.0;
}

// Far output's thread. A stalled thread's few chunks read the distance tens of milliseconds
// off (the primary's pushes missing, or come in a burst): a chunk's reading further than a step
// from the recent readings' mean goes to the controller's filter and to the fits as that mean.
// Taken whole, they threw the filter some 90 frames off for a second, which then read as a
// step, and bent the fits; kept to a step from the mean, a primary that stalls often (each
// stall reads early) still held the halves some frames apart. A real step moves the mean
// within a few chunks, and its readings are taken once the mean has followed.
double FarHalf::heard(double reading, double mean) const {
    if (recentCount_ < kMinRecentChunks) return reading;
    const double most = kStepMs * plan_.primaryRateHz / 1000.0;
    return std::fabs(reading - mean) > most ? mean : reading;
}

// Far output's thread, playing inside the band with no step held. The recent readings, each
// taken to now, tell where the distance is; the due clocks read it closely only once they have
// a window of callbacks behind them.
void FarHalf::realign(double moved) {
    if (!realignDue_ || realignFrames_ != 0.0 || recentCount_ < kRecentChunks || !controller_.primed()) return;
    if (farFrames_ / plan_.farRateHz < plan_.dueWindowSeconds) return;
    realignDue_ = false;
    const double off = steered(trimmedMean(recentSteady_, recentCount_) + moved) - controller_.targetFrames();
    if (std::fabs(off) <= kRealignMinFrames) return;
    realignFrames_ = -off;
    figures_.realignedFrames.store(static_cast<float>(off), std::memory_order_relaxed);
    figures_.realigns.fetch_add(1, std::memory_order_release);
}

// Far output's thread.
bool FarHalf::render(std::uint32_t frames, const float*& out) {
    figures_.settled.store(started_ && settledSeconds_ >= kSettledSeconds ? 1 : 0, std::memory_order_relaxed);
    frames = std::min(frames, kMaxChunkFrames);
    float* work = work_.data();
    out = work;
    // Also kept while unstarted: a start inside a burst must measure at its own place in it.
    const std::int64_t clockNs = clock_(clockContext_);
    const std::int64_t now = chunkTimeNs(clockNs, lastTimeNs_, lastClockNs_, lastChunkNs_);
    const std::int64_t previousNs = lastTimeNs_;
    lastTimeNs_ = now;
    lastClockNs_ = clockNs;
    lastChunkNs_ = static_cast<std::int64_t>(frames * 1e9 / plan_.farRateHz);

    // The frame that plays next lies behind the FIFO's head by what the converter holds, so
    // the distance between the halves is the FIFO's level plus that.
    double fill = plan_.fifoTargetFrames;
    double mean = fill;  // of the recent readings, once there are kMinRecentChunks
    double dtSeconds = 0.0;
    bool learn = true;
    const std::uint32_t setAside = farMeter_.restarts();
    if (farMeter_.add(now, frames)) {
        farDue_.setRate(farMeter_.rateHz());
        fitDue_.setRate(farMeter_.rateHz());
    }
    if (farMeter_.restarts() != setAside) figures_.measurementsSetAside.fetch_add(1, std::memory_order_relaxed);
    const double farFrames = farFrames_;
    farFrames_ += frames;
    const std::int64_t due = farDue_.due(now, farFrames);
    const std::int64_t fitDue = fitDue_.due(now, farFrames);
    double measured = 0.0;
    if (!seeded_ && measuredOffset(measured)) {
        controller_.seed(measured);
        seeded_ = true;
        figures_.measuredOffset.store(static_cast<float>(measured), std::memory_order_relaxed);
        figures_.measured.store(1, std::memory_order_release);
        // The readings so far were timed at the nominal rates.
        recentCount_ = 0;
        primingSeconds_ = 0.0;
        // Measured only after it started: what it drifted by meanwhile is won back at once.
        realignDue_ = realignDue_ || started_;
    }
    if (!seeded_) unseededSeconds_ += frames / plan_.farRateHz;
    if (seeded_ && sharedFit_.load(std::memory_order_relaxed) != 0) {
        double offset = 0.0;
        double doubt = 0.0;
        unpackFit(sharedFit_.exchange(0, std::memory_order_relaxed), offset, doubt);
        takeFit(offset, doubt, false);
        resetRun();  // what its stretches said is in the estimate now
    }
    if (!started_) {
        if (!prime(due, clockNs, frames)) {
            silence(frames);
            return false;
        }
    } else {
        fill = level(due, clockNs) + held();
        dtSeconds = static_cast<double>(now - previousNs) * 1e-9;
        const double moved = farFrames / (plan_.baseRatio * (1.0 - controller_.integral())) - consumedFrames_;
        remember(fill, fill - moved);
        // A distance outside the band is a hold-up on one side, not the clocks: the integral
        // holds, and after kStraySeconds the halves are lined up again.
        if (recentCount_ >= kMinRecentChunks) mean = recentMean();
        const double stray = mean - plan_.fifoTargetFrames;
        const double chunkSeconds = frames / plan_.farRateHz;
        const bool outside = std::fabs(stray) > plan_.bandFrames;
        if (outside) {
            learn = false;
            settledSeconds_ = 0.0;
        } else {
            settledSeconds_ += chunkSeconds;
        }
        if (learn) fitOffset(frames, farFrames, heard(level(fitDue, clockNs) + held(), mean));
        else resetFit();
        if (holdForStep(mean, chunkSeconds)) learn = false;
        // A step that every reading since has stayed at is real (see kRelineMs).
        const bool steppedAway =
            stepped_ && stepChunks_ >= kRecentChunks && std::fabs(stray) > kRelineMs * plan_.primaryRateHz / 1000.0;
        straySeconds_ = outside || steppedAway ? straySeconds_ + chunkSeconds : 0.0;
        if (learn) realign(moved);
        if (straySeconds_ >= kStraySeconds) {
            straySeconds_ = 0.0;
            resetFit();  // its stretch spans the step
            // All the while it strayed, the controller's proportional part ran the converter at
            // its limit, which moves the distance by 48 frames a second: the readings' mean lags
            // what it is now by half their span (16 frames with 2048-frame periods), unless each
            // is first taken to now by what moved it since.
            const double off = trimmedMean(recentSteady_, recentCount_) + moved - plan_.fifoTargetFrames;
            if (stray > 0.0) {
                // Late: what lies beyond the target goes, and the filter starts afresh.
                trim(off, StartCause::Late);
                startFilterAfresh();
                fill -= off;
            } else {
                // Early: silent for what it lacks, while the primary fills that much in; then the
                // filter starts afresh. Primed again instead, it would be silent for the many
                // chunks a start reads first.
                gapFrames_ = std::max(-off * plan_.baseRatio, 1.0);
                trim(0.0, StartCause::Early);
                recentCount_ = 0;
                realignFrames_ = 0.0;
            }
        }
    }
    // Far frames of silence owed this chunk; while any are, the distance grows by them and the
    // integral holds. Once they are played, the filter starts afresh from where they left it.
    std::uint32_t gap = 0;
    if (gapFrames_ > 0.0) {
        gap = static_cast<std::uint32_t>(std::min<double>(frames, std::round(gapFrames_)));
        gapFrames_ -= gap;
        if (gapFrames_ < 0.5) gapFrames_ = 0.0;
        learn = false;
    }
    const double steering = controller_.update(steered(heard(fill, mean)), dtSeconds, learn);
    double factor = steering;
    if (realignFrames_ != 0.0) {
        // The input this chunk takes at the controller's factor, and what it takes to move the
        // distance by what is left, at kRealignRate at most.
        const double input = frames / (steering * plan_.baseRatio);
        const double move = std::clamp(realignFrames_, -input * kRealignRate, input * kRealignRate);
        const double limit = controller_.limit();
        factor = std::clamp(frames / plan_.baseRatio / (input - move), 1.0 - limit, 1.0 + limit);
    }
    figures_.factor.store(static_cast<float>(factor), std::memory_order_relaxed);

    // The ratio holds for the whole chunk (libsamplerate would otherwise glide to it across
    // the chunk), so that got / ratio is exactly the input the chunk used.
    const double ratio = factor * plan_.baseRatio;
    src_set_ratio(converter_.get(), ratio);
    std::fill(work, work + gap, 0.0f);
    const long read = gap < frames ? src_callback_read(converter_.get(), ratio, frames - gap, work + gap) : 0;
    const std::uint32_t got = read > 0 ? static_cast<std::uint32_t>(std::min<long>(read, frames - gap)) : 0;
    std::fill(work + gap + got, work + frames, 0.0f);
    consumedFrames_ += got / ratio;
    if (gap > 0 && gapFrames_ == 0.0) startFilterAfresh();
    if (realignFrames_ != 0.0) {
        const double left = realignFrames_ - (got / (steering * plan_.baseRatio) - got / ratio);
        realignFrames_ = left * realignFrames_ > 0.0 && std::fabs(left) > 0.01 ? left : 0.0;
    }
    bool carried = gap == 0 && got == frames;

    if (underflow_) {
        // Prime again from the next chunk on.
        started_ = false;
        realignFrames_ = 0.0;
        nextCause_ = StartCause::RanDry;
        underflow_ = false;
        recentCount_ = 0;
        carried = false;
    }

    delay_.process(work, frames);
    return carried;
}

// Inside src_callback_read on the far output's thread.
long FarHalf::pull(void* data, float** samples) {
    auto& half = *static_cast<FarHalf*>(data);
    float* buffer = half.pullBuffer_.data();
    const std::uint32_t got = half.fifo_.pop(buffer, kPullFrames);
    half.pulledFrames_ += kPullFrames;
    if (got < kPullFrames) {
        std::fill(buffer + got, buffer + kPullFrames, 0.0f);
        half.figures_.underrunFrames.fetch_add(kPullFrames - got, std::memory_order_relaxed);
        half.underflow_ = true;
    }
    *samples = buffer;
    return kPullFrames;
}

}  // namespace core
