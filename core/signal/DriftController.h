#pragma once

// Steers the far half of a joined card: from the FIFO fill the far output's thread sees, it
// makes the factor that multiplies the far converter's base ratio, so that the far sound
// card consumes exactly what the primary one produces although their clocks differ.
//
// Far output's thread only (no locks, no allocation); a plain value, copied freely.

#include <cstdint>

namespace core {

class DriftController {
public:
    // Largest correction either way: 1000 ppm covers any real pair of sound-card clocks.
    static constexpr double kDefaultLimit = 0.001;

    DriftController() = default;
    // targetFrames is the fill to hold (raised to 1 when below); limit the largest
    // correction (its absolute value is used).
    explicit DriftController(double targetFrames, double limit = kDefaultLimit);

    // Forgets the filtered fill so that the next update primes on its fill; the integral
    // stays, since the clocks' offset has not changed across an underrun.
    void reset();

    // Starts the integral at a clocks' offset learned before (clamped to the limit), so that a
    // new far half need not find it again.
    void seed(double integral);

    // fillFrames: the FIFO fill now; dtSeconds: time since the previous update (clamped to
    // [0, 0.5]). Returns the factor 1 + correction, |correction| <= limit. With learn false
    // the integral holds: a fill thrown off by a hold-up says nothing about the clocks.
    double update(double fillFrames, double dtSeconds, bool learn = true);

    double factor() const { return factor_; }
    double targetFrames() const { return target_; }
    double limit() const { return limit_; }
    double integral() const { return integral_; }
    double filteredFrames() const { return filtered_; }
    bool primed() const { return primed_; }
    // How long the proportional part alone takes to win a distance back by one e-fold, at
    // the primary's rate: the fill moves by the correction times that rate each second.
    double eFoldSeconds(double rateHz) const;

private:
    double target_ = 1.0;
    double limit_ = kDefaultLimit;
    double integral_ = 0.0;
    double filtered_ = 0.0;
    bool primed_ = false;
    double factor_ = 1.0;
};

}  // namespace core
