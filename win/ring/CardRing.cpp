#include "win/ring/CardRing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "core/ring/RingRead.h"
#include "win/base/Log.h"
#include "win/base/Text.h"

namespace win {

namespace {

// Under the router lock. Render calls take microseconds, so this normally returns after a
// few yields; it never gives up, because unmapping under a reader would fault in the
// render thread. Sleeping after a while keeps a pre-empted reader from being starved by us.
void waitForReaders(const RingSlot& slot) {
    for (unsigned spins = 0; slot.readersInside.load(std::memory_order_seq_cst) != 0; ++spins) {
        if (spins < 2000) SwitchToThread();
        else Sleep(1);
    }
}

}  // namespace

RingSlot::~RingSlot() {
    if (owner) closeRing(*this, core::RingCloseReason::ByQova);
}

std::string createRing(RingSlot& slot, const RingRequest& request, CreatedRing& result) {
    const core::RingSizing sizing = core::ringSizing(request.periodFrames);
    const std::uint64_t sectionBytes = core::ringSectionBytes(sizing.capacityFrames);
    const std::string cardId(request.cardId);
    const std::string clientName(request.clientName);
    std::string mappingName(request.namePrefix);
    mappingName +=
        "-" + std::to_string(GetCurrentProcessId()) + "-" + cardId + "-" + std::to_string(request.ringNumber);
    const std::string eventName = mappingName + core::kRingEventSuffix;

    auto ring = std::make_unique<CardRing>();
    // Create functions leave the last error alone on plain success, and report an object
    // that was already there only through it.
    SetLastError(ERROR_SUCCESS);
    ring->mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                           static_cast<DWORD>(sectionBytes >> 32), static_cast<DWORD>(sectionBytes),
                                           toWide(mappingName).c_str()));
    const DWORD mappingError = GetLastError();
    if (!ring->mapping || mappingError == ERROR_ALREADY_EXISTS) {
        logLine("open %s: CreateFileMapping %s", cardId.c_str(), systemErrorText(mappingError).c_str());
        return "internal";
    }
    ring->view.reset(MapViewOfFile(ring->mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(sectionBytes)));
    if (!ring->view) return "internal";
    SetLastError(ERROR_SUCCESS);
    ring->needEvent.reset(CreateEventW(nullptr, FALSE, FALSE, toWide(eventName).c_str()));
    if (!ring->needEvent || GetLastError() == ERROR_ALREADY_EXISTS) return "internal";

    auto* base = static_cast<std::uint8_t*>(ring->view.get());
    std::memset(base, 0, static_cast<std::size_t>(sectionBytes));
    auto* header = new (base) core::RingHeader{};
    std::memcpy(header->magic, core::kRingMagic, sizeof core::kRingMagic);
    header->version = core::kRingVersion;
    header->rate = core::kRingRateHz;
    header->channels = core::kRingChannels;
    header->capacity = sizing.capacityFrames;
    header->target = sizing.targetFrames;
    header->period = request.periodFrames;
    header->dataOffset = core::kRingHeaderBytes;
    // Last, so that a producer which attached early never sees a ring that looks open
    // before its format is in place.
    header->closeReason.store(static_cast<std::uint32_t>(core::RingCloseReason::Open), std::memory_order_release);

    ring->header = header;
    ring->samples = reinterpret_cast<const float*>(base + core::kRingHeaderBytes);
    ring->capacityFrames = sizing.capacityFrames;
    ring->targetFrames = sizing.targetFrames;
    ring->periodFrames = request.periodFrames;
    ring->clientId = request.clientId;
    ring->clientName = clientName;

    result = CreatedRing{mappingName, eventName, sizing.capacityFrames, sizing.targetFrames, request.periodFrames};

    // The caller closes an earlier ring before it asks for a new one; should one still be
    // here, its player must still be told, and the slot can hold only one.
    if (slot.owner) closeRing(slot, core::RingCloseReason::ByQova);
    CardRing* published = ring.get();
    slot.owner = std::move(ring);
    slot.live.exchange(published, std::memory_order_seq_cst);  // pairs with the load in readRing

    logLine("card %s opened by client %llu (%s), target %u, capacity %u", cardId.c_str(),
            static_cast<unsigned long long>(request.clientId), clientName.c_str(), sizing.targetFrames,
            sizing.capacityFrames);
    return {};
}

// Render thread: no locks, no allocation, no logging.
std::uint32_t readRing(RingSlot& slot, float* destination, std::uint32_t frames) {
    // Count in before looking, so that a closer which has not seen us has not cleared `live`
    // yet either (pairs with the exchange and the wait in closeRing).
    slot.readersInside.fetch_add(1, std::memory_order_seq_cst);
    const CardRing* ring = slot.live.load(std::memory_order_seq_cst);
    if (ring == nullptr) {
        std::fill_n(destination, std::size_t{frames} * core::kRingChannels, 0.0f);
        slot.readersInside.fetch_sub(1, std::memory_order_release);
        return 0;
    }
    const bool open = ring->header->closeReason.load(std::memory_order_acquire) == 0;
    const std::uint32_t taken =
        core::readRingFrames(*ring->header, ring->samples, ring->capacityFrames, destination, frames);
    if (open) SetEvent(ring->needEvent.get());

    // Release pairs with the wait in closeRing: every access to the view happens before it unmaps.
    slot.readersInside.fetch_sub(1, std::memory_order_release);
    return taken;
}

void closeRing(RingSlot& slot, core::RingCloseReason reason) {
    slot.live.exchange(nullptr, std::memory_order_seq_cst);  // pairs with the load in readRing
    waitForReaders(slot);
    if (!slot.owner) return;

    CardRing& ring = *slot.owner;
    // Release pairs with the acquire load of closeReason by the producer (and readRing).
    ring.header->closeReason.store(static_cast<std::uint32_t>(reason), std::memory_order_release);
    ring.header = nullptr;
    ring.samples = nullptr;
    ring.view.reset();
    if (ring.needEvent) {
        SetEvent(ring.needEvent.get());  // a producer asleep on it learns of the close at once
        ring.needEvent.reset();
    }
    ring.mapping.reset();
    logLine("card ring closed (client %llu, %s)", static_cast<unsigned long long>(ring.clientId),
            reason == core::RingCloseReason::ByPlayer ? "by the player" : "by QOVA");
    slot.owner.reset();
}

}  // namespace win
