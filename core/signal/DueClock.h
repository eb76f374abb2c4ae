#pragma once

// When a stream's chunks were due, from when its callbacks came. A callback comes late, never
// early, and by however much the thread was kept waiting: reading the other half's FIFO at
// the callback's time is off by that lateness, and the mean lateness of the two sides'
// callbacks differs from one sound card to the next (0.78 ms against 0 is 37 frames at
// 48 kHz). The stream's frames are due at its rate from one fixed point, so the least late
// of the recent callbacks, moved on by the frames since at that rate, tells when the chunk
// was due to within the lateness of that least late one.
//
// One thread (the stream's own); plain value, no allocation.

#include <cstddef>
#include <cstdint>

namespace core {

class DueClock {
public:
    // How far back the least late callback is looked for: long enough to hold one nearly on
    // time, short enough that a rate a few ppm off skews it by a fraction of a frame. Until
    // the rate is measured it may be 1000 ppm off the nominal one, which would skew a second
    // by a millisecond: a quarter of one then.
    static constexpr double kWindowSeconds = 1.0;
    static constexpr double kNominalWindowSeconds = 0.25;
    // The window holds this many callbacks at least: the least late of a second's 23 callbacks
    // of 2048 frames is some 0.06 ms late and wanders by as much from one window to the next,
    // which held the halves of a joined card several frames apart for minutes; of a hundred,
    // about a quarter of that. Longer windows are skewed more by a rate off by a few ppm, so
    // only coarse periods get one.
    static constexpr double kWindowCallbacks = 100.0;
    static constexpr double kMaxWindowSeconds = 8.0;
    // The window for a stream whose callbacks come every periodSeconds.
    static double windowFor(double periodSeconds);
    // A callback this much later than its predecessors say it was due is a thread that stalled
    // or a stream that has moved on (its callbacks lost to a hold-up, its sound card's buffer
    // refilled late). A stall moves nothing: the callbacks due during it come in a burst after
    // it, back on the schedule within as long as the stall lasted. A stream that moved on stays
    // late: once its callbacks have come later than this for as long as they are late, and this
    // long more, the schedule starts afresh from the least late of them.
    static constexpr double kShiftSeconds = 0.010;
    // The least late of this many callbacks 0 to 1.5 ms late is some 0.09 ms late; the start's
    // readings that follow find it closer still.
    static constexpr std::uint32_t kSettleCalls = 16;

    // Of the least late callbacks of a stream's bins (their lateness, reordered), the earliest
    // that is on time: the lower quartile, less kEarlySeconds. Under Wine a callback now and then
    // comes 0.6 to 1.2 ms early, and taken as the least late one it would put every due time
    // read over a window's length that much early; callbacks that are only ever late leave
    // the lower quartile within a fraction of a millisecond of the least late.
    static constexpr double kEarlySeconds = 0.0003;
    static double onTimeFloor(double* late, std::size_t count);
    static constexpr std::size_t kFloorBins = 4;  // needed to tell it

    // known: the rate is known to within a few ppm, or off by as much as the other stream's
    // (their skews then cancel), so that the longer window may be used from the start.
    // windowSeconds: see windowFor.
    explicit DueClock(double rateHz, bool known = false, double windowSeconds = kWindowSeconds);

    // nowNs: when this chunk's callback came (a chunk of a burst stamped where the previous
    // one ends); frames: the stream's frames before this chunk. Returns when the chunk was
    // due, at most nowNs.
    std::int64_t due(std::int64_t nowNs, double frames);

    // The stream's rate, once it is measured: the callbacks kept are weighed at it, over the
    // longer window.
    void setRate(double rateHz);
    double rateHz() const { return rateHz_; }
    // True once it has had kSettleCalls callbacks, or a window of them, since the first call:
    // the due times of a stream just begun are as late as the least late of its few callbacks.
    // Starting afresh does not undo it: a stream whose callbacks now and then come later than
    // that (the null backend polls every 10 ms) would otherwise be kept from ever settling.
    bool settled() const {
        return begun_ && (calls_ >= kSettleCalls || bin_ >= static_cast<std::int64_t>(windowBins_));
    }

private:
    static constexpr double kBinSeconds = kWindowSeconds / 8;
    static constexpr auto kBins = static_cast<std::size_t>(kMaxWindowSeconds / kBinSeconds);
    // A callback's time and the stream's frames before it, from the origin.
    struct Point {
        double seconds = 0.0;
        double frames = 0.0;
        bool set = false;
    };
    void restart(std::int64_t nowNs, double frames);
    // How late a callback came, give or take a constant.
    double lateness(const Point& point) const;
    // The least late over the window (infinite when empty), passing over early ones (see
    // onTimeFloor).
    double earliest() const;

    double rateHz_;
    static constexpr std::size_t kNominalBins = static_cast<std::size_t>(kNominalWindowSeconds / kBinSeconds);
    static_assert(kNominalBins >= 1);
    std::size_t knownBins_;  // the window once the rate is known
    std::size_t windowBins_;
    bool begun_ = false;
    std::int64_t originNs_ = 0;
    double originFrames_ = 0.0;
    std::int64_t bin_ = 0;  // the newest bin's number since the origin
    // Callbacks later than kShiftSeconds in a row: since when, and the least late of them.
    bool shifting_ = false;
    double shiftFromSeconds_ = 0.0;
    std::int64_t shiftNs_ = 0;
    double shiftFrames_ = 0.0;
    double shiftLate_ = 0.0;
    std::uint32_t calls_ = 0;  // since the first call, up to kSettleCalls
    Point points_[kBins];      // the least late callback of each bin
};

}  // namespace core
