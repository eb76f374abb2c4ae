#include "core/health/StallWatch.h"

#include <algorithm>

namespace core {

std::uint64_t StallWatch::graceOf(const Device& device) {
    return std::min(kFirstGraceMs << device.stalls, kLongestGraceMs);
}

void StallWatch::opened(std::string_view key, std::uint64_t nowMs) {
    auto it = devices_.find(key);
    if (it == devices_.end()) it = devices_.emplace(std::string(key), Device{}).first;
    Device& device = it->second;
    device.lastCount = 0;
    device.lastChangeMs = nowMs;
    device.running = false;
}

void StallWatch::watching(std::uint64_t nowMs) {
    if (watched_ && nowMs - lastWatchMs_ >= kFirstGraceMs) {
        for (auto& [key, device] : devices_) device.lastChangeMs = nowMs;
    }
    watched_ = true;
    lastWatchMs_ = nowMs;
}

bool StallWatch::stalled(std::string_view key, std::uint64_t callbackCount, std::uint64_t nowMs) {
    auto it = devices_.find(key);
    if (it == devices_.end()) {
        // Not seen opened: watch it from now on.
        opened(key, nowMs);
        it = devices_.find(key);
    }
    Device& device = it->second;
    if (callbackCount != device.lastCount) {
        if (!device.running || nowMs - device.lastChangeMs >= kFirstGraceMs) {
            device.running = true;
            device.runningSinceMs = nowMs;
        }
        device.lastCount = callbackCount;
        device.lastChangeMs = nowMs;
        if (nowMs - device.runningSinceMs >= kSteadyRunMs) device.stalls = 0;
        return false;
    }
    if (nowMs - device.lastChangeMs < graceOf(device)) return false;
    if (graceOf(device) < kLongestGraceMs) ++device.stalls;
    // Should no rebuild follow, the next stall needs a whole new grace.
    device.lastChangeMs = nowMs;
    device.running = false;
    return true;
}

std::uint64_t StallWatch::graceMs(std::string_view key) const {
    const auto it = devices_.find(key);
    return it != devices_.end() ? graceOf(it->second) : kFirstGraceMs;
}

void StallWatch::forgetAllBut(const std::set<std::string, std::less<>>& keys) {
    std::erase_if(devices_, [&keys](const auto& entry) { return !keys.contains(entry.first); });
}

}  // namespace core
