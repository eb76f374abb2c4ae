// The router's health monitor, run from the window's timer.

#include "win/router/Router.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "win/base/Log.h"

namespace win {

namespace {

constexpr std::uint64_t kRescanIntervalMs = 3000;  // a missing sound card is looked for this often
constexpr std::uint64_t kRetryIntervalMs = 5000;   // a failed one is tried this often

// Under the router lock: a far half's last start, with why it came when it came again (of the
// last one, when several came since the last check).
void logFarStart(const FarLink& link) {
    const core::FarHalf::Figures& figures = link.half->figures();
    const char* card = link.card->id.c_str();
    const char* farName = link.farOutput->info.name.c_str();
    using Cause = core::FarHalf::StartCause;
    switch (static_cast<Cause>(figures.startCause.load(std::memory_order_relaxed))) {
    case Cause::RanDry:
        logLine("card %s: far half on %s ran dry: its card's sound card sent nothing for longer than it holds", card,
                farName);
        break;
    case Cause::Late: logLine("card %s: far half on %s played late for a second", card, farName); break;
    case Cause::Early: logLine("card %s: far half on %s played early for a second", card, farName); break;
    case Cause::First: break;
    }
    const std::uint32_t trimmed = figures.trimmedFrames.load(std::memory_order_relaxed);
    logLine("card %s: far half on %s started; trimmed %u frames (%.1f ms) to line up with the near half", card, farName,
            trimmed, trimmed * 1000.0 / link.card->primaryRate);
}

}  // namespace

// --- health monitor -------------------------------------------------------------------------

// Under the router lock. Far halves that join the same two sound cards, either way round,
// measure the one pair of clocks: each fit one takes of its own stream is weighed by the
// others too, so that one that has not fitted yet (started again and again on a busy machine,
// or its stretches bent by a shared-mode engine) plays by a fit rather than by the first
// measurement from its callbacks' times.
void Router::shareFits() {
    for (const auto& link : graph_->farLinks) {
        const std::uint64_t packed = link->half->figures().streamFit.load(std::memory_order_relaxed);
        if (packed == 0 || packed == link->sharedStreamFit) continue;
        link->sharedStreamFit = packed;
        double offset = 0.0;
        double doubt = 0.0;
        core::FarHalf::unpackFit(packed, offset, doubt);
        for (const auto& other : graph_->farLinks) {
            if (other->card->primary == link->card->primary && other->farOutput == link->farOutput) {
                if (other != link) other->half->shareFit(offset, doubt);
            } else if (other->card->primary == link->farOutput && other->farOutput == link->card->primary) {
                other->half->shareFit(core::FarHalf::reversedOffset(offset), doubt);
            }
        }
    }
}

// UI thread, every 500 ms. At most one rebuild per call, and the call ends with it.
void Router::checkHealth() noexcept {
    // Called from a window procedure and a timer: nothing may leave it. The cards of a graph
    // already in force play on whatever failed here.
    try {
        runHealthCheck();
    } catch (const std::exception& failure) {
        logLine("health check failed: %s", failure.what());
    } catch (...) {
        logLine("health check failed");
    }
}

void Router::runHealthCheck() {
    std::unique_lock guard(lock_);

    for (auto& [id, slot] : ringSlots_) {
        const CardRing* ring = slot->owner.get();
        if (ring != nullptr && ring->header->closeReason.load(std::memory_order_acquire) ==
                                   static_cast<std::uint32_t>(core::RingCloseReason::ByPlayer)) {
            closeRing(*slot, core::RingCloseReason::ByPlayer);
        }
    }
    if (!graph_) {
        if (buildOwed_) {
            logLine("building the cards again after a failed build");
            build();
        }
        return;
    }

    shareFits();
    for (const auto& link : graph_->farLinks) {
        const core::FarHalf::Figures& figures = link->half->figures();
        // A fit every 20 s for as long as the card plays: told when it moved the offset.
        const std::uint32_t fits = figures.fits.load(std::memory_order_relaxed);
        const std::uint32_t shared = figures.sharedFits.load(std::memory_order_relaxed);
        const double fitted = figures.fittedOffset.load(std::memory_order_relaxed);
        const bool moved = std::fabs(fitted - link->reportedOffset) >= 5e-6;
        const double doubtPpm = figures.offsetDoubt.load(std::memory_order_relaxed) * 1e6;
        if (fits != link->reportedFits && (fits <= 2 || moved)) {
            link->reportedFits = fits;
            link->reportedOffset = fitted;
            logLine("card %s: far half on %s: the clocks' offset fitted from its own stream, %+.1f ppm (sure to %.1f)",
                    link->card->id.c_str(), link->farOutput->info.name.c_str(), fitted * 1e6, doubtPpm);
        }
        if (shared != link->reportedSharedFits && (shared <= 2 || moved)) {
            link->reportedSharedFits = shared;
            link->reportedOffset = fitted;
            logLine(
                "card %s: far half on %s: the clocks' offset from another far half on the same two sound cards, "
                "%+.1f ppm (sure to %.1f)",
                link->card->id.c_str(), link->farOutput->info.name.c_str(), fitted * 1e6, doubtPpm);
        }
        // Told once: under Wine the first measurement is often set aside (the streams fill
        // their buffers first), which puts the start seconds later.
        if (!link->reportedMeasured && figures.measured.load(std::memory_order_acquire) != 0) {
            link->reportedMeasured = true;
            logLine(
                "card %s: far half on %s: the clocks measured %+.1f ppm apart from their callbacks' times, %u "
                "measurement(s) set aside",
                link->card->id.c_str(), link->farOutput->info.name.c_str(),
                figures.measuredOffset.load(std::memory_order_relaxed) * 1e6,
                figures.measurementsSetAside.load(std::memory_order_relaxed));
        }
        const std::uint32_t starts = figures.starts.load(std::memory_order_acquire);
        if (starts != link->reportedStarts) {
            link->reportedStarts = starts;
            logFarStart(*link);
        }
        // A start, and a fit that moved the offset, leave the halves some frames apart, which
        // the far half reads once it can and wins back at once: told with what it read.
        const std::uint32_t realigns = figures.realigns.load(std::memory_order_acquire);
        if (realigns != link->reportedRealigns) {
            link->reportedRealigns = realigns;
            const double ms =
                figures.realignedFrames.load(std::memory_order_relaxed) * 1000.0 / link->card->primaryRate;
            logLine("card %s: far half on %s read %.2f ms %s; winning that back at once", link->card->id.c_str(),
                    link->farOutput->info.name.c_str(), std::fabs(ms), ms > 0 ? "late" : "early");
        }
    }

    // An output that stalled is as good as stopped, and the user sees the same line.
    const std::uint64_t now = GetTickCount64();
    stallWatch_.watching(now);
    bool stopped = false;
    for (const auto& node : graph_->outputs) {
        if (node->state != DeviceState::Open) continue;
        if (node->output->stoppedUnexpectedly() ||
            stallWatch_.stalled(node->info.key, node->callbackCount.load(std::memory_order_relaxed), now)) {
            logLine("%s stopped unexpectedly; rebuilding", node->info.key.c_str());
            stopped = true;
        }
    }
    if (stopped) {
        build();
        return;
    }

    auto anyNode = [&](auto wanted) {
        return std::any_of(graph_->outputs.begin(), graph_->outputs.end(),
                           [&](const auto& node) { return wanted(node->state); });
    };
    if (now - lastScanTick_ > kRescanIntervalMs - 1 &&
        anyNode([](DeviceState state) { return state != DeviceState::Open; })) {
        // The scan talks to Windows; control requests and the window may go on meanwhile.
        guard.unlock();
        rescan();
        guard.lock();
        if (!graph_) return;
        const bool back = std::any_of(graph_->outputs.begin(), graph_->outputs.end(), [&](const auto& node) {
            return node->state == DeviceState::Missing && findDevice(node->info.key) != nullptr;
        });
        if (back) {
            build();
            return;
        }
    }

    if (now - lastRetryTick_ < kRetryIntervalMs) return;
    lastRetryTick_ = now;
    for (const auto& node : graph_->outputs) {
        if (node->state != DeviceState::Failed || !reopensNow(*node)) continue;
        logLine("%s opens again; rebuilding", node->info.key.c_str());
        build();
        return;
    }
}

// Under the router lock. A trial of a failed output's sound card: opened and started (playing
// silence), closed and destroyed again at once; nothing is logged when it fails. A card that
// opens but will not start fails the trial too: rebuilding for it would stop every other
// output for nothing.
bool Router::reopensNow(const OutputNode& node) {
    const DeviceInfo* info = findDevice(node.info.key);
    if (info == nullptr) return false;
    std::unique_ptr<Output> trial = info->family == DeviceFamily::Asio ? makeAsioOutput() : makeMiniaudioOutput();
    std::string error;
    bool works = false;
    if (!(options_.holdCheck && options_.holdCheck(*info))) {
        // The buffer arrives silent, and stays so.
        const RenderFunction silence = [](void*, float*, std::uint32_t, std::uint32_t) {};
        works = trial->open(*info, node.config, silence, nullptr, error) && trial->start(error);
    }
    trial->close();
    return works;
}

}  // namespace win
