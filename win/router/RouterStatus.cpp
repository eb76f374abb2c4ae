// The router's status snapshot: everything the window shows.

#include "win/router/Router.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "win/base/Log.h"

namespace win {

// --- status snapshot ------------------------------------------------------------------------

// UI thread.
StatusSnapshot Router::statusSnapshot() {
    const std::lock_guard guard(lock_);
    StatusSnapshot snapshot;
    snapshot.buildCount = buildCount_;

    std::vector<DeviceInfo> devices = devices_;
    for (const core::DeviceSettings& configured : settings_.devices) {
        if (findDevice(configured.key) != nullptr) continue;
        DeviceInfo placeholder;
        placeholder.key = configured.key;
        placeholder.name = configured.name;
        placeholder.family = core::familyOfKey(configured.key);
        devices.push_back(std::move(placeholder));
    }

    snapshot.devices.reserve(devices.size());
    for (DeviceInfo& info : devices) {
        DeviceStatus status;
        const core::DeviceSettings* configured = settings_.findDevice(info.key);
        if (configured != nullptr) status.configured = *configured;
        const OutputNode* node = findOutput(info.key);
        if (node != nullptr) {
            status.state = node->state;
            status.problem = node->problem;
            status.channels = node->channels;
            if (node->state == DeviceState::Open) {
                status.description = node->output->describe();
                status.rate = node->output->sampleRate();
                status.period = node->output->periodFrames();
                status.latency = node->output->latencyFrames();
                status.peaks.resize(node->channels);
                status.tones.resize(node->channels);
                for (std::uint32_t c = 0; c < node->channels; ++c) {
                    status.peaks[c] = node->peaks[c].exchange(0.0f, std::memory_order_relaxed);
                    status.tones[c] = node->tones[c].load(std::memory_order_relaxed);
                }
            }
        } else {
            status.state = configured != nullptr && configured->enabled ? DeviceState::Missing : DeviceState::Off;
        }
        if (status.channels == 0) status.channels = info.channels;
        status.info = std::move(info);
        snapshot.devices.push_back(std::move(status));
    }

    snapshot.cards.reserve(settings_.cards.size());
    for (const core::CardSettings& settings : settings_.cards) {
        CardStatus status;
        status.id = settings.id;
        status.name = settings.name;
        if (const CardNode* card = findCardNode(settings.id)) {
            status.live = card->live;
            status.problem = card->problem;
            for (const core::RenderFarLink* link : card->farLinks) {
                const core::FarHalf::Figures& figures = link->half->figures();
                status.farDropFrames += figures.underrunFrames.load(std::memory_order_relaxed) +
                                        figures.overflowFrames.load(std::memory_order_relaxed);
                const std::uint32_t starts = figures.starts.load(std::memory_order_relaxed);
                status.farStarts += starts;
                if (starts > 0) status.farDriftPpm = (figures.factor.load(std::memory_order_relaxed) - 1.0) * 1000000.0;
            }
        }
        const RingSlot* slot = findSlot(settings.id);
        if (slot != nullptr && slot->owner) {
            const CardRing& ring = *slot->owner;
            status.playing = true;
            status.player = ring.clientName;
            // The player moves writePos at any moment: read each position once, and never
            // show more than the ring holds.
            const std::uint64_t written = ring.header->writePos.load(std::memory_order_acquire);
            const std::uint64_t read = ring.header->readPos.load(std::memory_order_acquire);
            status.fill =
                written < read
                    ? 0
                    : static_cast<std::uint32_t>(std::min<std::uint64_t>(written - read, ring.capacityFrames));
            status.target = ring.targetFrames;
            status.underrunFrames = ring.header->underrunFrames.load(std::memory_order_relaxed);
        }
        snapshot.cards.push_back(std::move(status));
    }
    return snapshot;
}

}  // namespace win
