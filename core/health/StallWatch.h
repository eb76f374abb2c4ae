#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace core {

// Notices an open output whose render callbacks stopped coming although nothing reported a
// stop: a hung driver, or under Wine an endpoint whose sound card was unplugged, whose thread
// then waits for ever. An output counts as stalled once its callback count has stood still for
// the device's grace, counted from the last health run that saw it move, or from its open while
// it has not called back yet (a slow-starting device is not torn down at once).
//
// A rebuild for a stall glitches every other sound card, so a device that stalls again and
// again must not cause a rebuild every 2 s: its grace doubles with each stall (2, 4, 8, ... s,
// at most 60 s) and drops back to 2 s once it has called back for a minute without a gap of
// 2 s. A stop the output reports itself is not a stall and leaves the grace alone.
//
// One thread at a time (the router's health monitor and build, under its lock); times are
// milliseconds of a steady clock (GetTickCount64 in the router), passed in so that the rule can
// be checked without waiting for it.
class StallWatch {
public:
    static constexpr std::uint64_t kFirstGraceMs = 2000;
    static constexpr std::uint64_t kLongestGraceMs = 60000;
    static constexpr std::uint64_t kSteadyRunMs = 60000;

    // The device's output was just opened (and started): its count starts at 0 and its grace
    // from now.
    void opened(std::string_view key, std::uint64_t nowMs);

    // Once per health run, before any stalled(). When the monitor itself did not run for a
    // first grace (the machine slept, the window thread was held up), nobody watched the
    // outputs meanwhile: their standstill counts from now, so waking up is not taken for a stall.
    void watching(std::uint64_t nowMs);

    // True when the output's count has stood still for the device's grace; that stall then
    // doubles the grace the device gets after the rebuild that follows.
    bool stalled(std::string_view key, std::uint64_t callbackCount, std::uint64_t nowMs);

    // The standstill the device's output is allowed now.
    std::uint64_t graceMs(std::string_view key) const;

    // Drops the devices that are no longer in the graph (disabled or removed from the settings).
    void forgetAllBut(const std::set<std::string, std::less<>>& keys);

private:
    struct Device {
        std::uint64_t lastCount = 0;
        std::uint64_t lastChangeMs = 0;    // when a health run last saw the count move, or the open
        bool running = false;              // has called back, without a gap of a first grace, ...
        std::uint64_t runningSinceMs = 0;  // ... since then
        std::uint32_t stalls = 0;          // in a row; the grace is kFirstGraceMs << stalls, capped
    };
    static std::uint64_t graceOf(const Device& device);

    std::map<std::string, Device, std::less<>> devices_;
    bool watched_ = false;
    std::uint64_t lastWatchMs_ = 0;
};

}  // namespace core
