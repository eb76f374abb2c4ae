#pragma once

// QOVA's side of a card ring (the bytes are in CardRingLayout.h): creating the shared
// section and its "-need" event for one card and one player, reading audio out of it on the
// render thread, and withdrawing it.
//
// Slot contract: each card has one RingSlot. createRing and closeRing run under the router
// lock, so at most one of them runs per slot at a time. readRing runs on the one render
// thread of the card's primary output, without that lock. The two meet through `live` and
// `readersInside`: a reader first counts itself in and then loads `live`; a closer first
// clears `live` and then waits for the count to drop to zero. Both sides use sequentially
// consistent operations, so either the reader sees null or the closer sees the reader, and
// a view is never unmapped under a copy.
//
// Nothing in the section bounds a memory access: the player can rewrite any of it at any
// moment. capacity, channels and the data offset come from the CardRing, fixed when QOVA
// made the ring; positions read from the header are masked and only limit how much is copied.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/ring/CardRingLayout.h"
#include "core/ring/RingSizing.h"
#include "win/base/MappedView.h"
#include "win/base/UniqueHandle.h"

namespace win {

// QOVA's own record of one open ring; the slot's owner holds it. Members are declared in
// the order they are acquired, so that destruction releases them in reverse.
struct CardRing {
    UniqueHandle mapping;
    MappedView view;  // the whole section
    UniqueHandle needEvent;
    core::RingHeader* header = nullptr;  // start of view
    const float* samples = nullptr;      // start of view + kRingHeaderBytes
    std::uint32_t capacityFrames = 0;
    std::uint32_t targetFrames = 0;
    std::uint32_t periodFrames = 0;
    std::uint64_t clientId = 0;
    std::string clientName;  // UTF-8
};

// One per card; survives rebuilds while the card exists. Kept on a cache line of its own,
// since render threads of other cards touch their own slots' counters.
struct alignas(64) RingSlot {
    RingSlot() = default;
    RingSlot(const RingSlot&) = delete;
    RingSlot& operator=(const RingSlot&) = delete;
    // Withdraws a ring still held (reason 1), so its player is told. Callers must already
    // have stopped every render thread that could read this slot.
    ~RingSlot();

    std::atomic<CardRing*> live{nullptr};  // what render threads read; null when none
    std::atomic<std::int32_t> readersInside{0};
    std::unique_ptr<CardRing> owner;  // the same ring, owned; under the router lock
};

struct RingRequest {
    std::string_view namePrefix;   // UTF-8, e.g. "Local\\qova"
    std::uint64_t ringNumber = 0;  // the caller's counter, already advanced for this ring
    std::string_view cardId;
    std::uint32_t periodFrames = 0;  // the card's output period in 48 kHz frames
    std::uint64_t clientId = 0;
    std::string_view clientName;  // UTF-8
};

struct CreatedRing {
    std::string mapping;  // section name, UTF-8
    std::string event;    // mapping + "-need"
    std::uint32_t capacityFrames = 0;
    std::uint32_t targetFrames = 0;
    std::uint32_t periodFrames = 0;
};

// Under the router lock. Makes the section "<prefix>-<pid>-<card id>-<number>" and its
// event, publishes the ring in the slot (withdrawing one still there with reason 1) and
// fills `result`. Returns "" on success, "internal" on failure, in which case the slot is
// unchanged. An object that already exists under either name is a failure: it was made
// by someone else, who could then read or forge the card's audio.
std::string createRing(RingSlot& slot, const RingRequest& request, CreatedRing& result);

// Render thread: no locks, no allocation, no logging. Fills destination (frames × 2 floats)
// with the next frames of the slot's ring, silence for whatever the ring does not hold, and
// returns how many frames came from the ring.
std::uint32_t readRing(RingSlot& slot, float* destination, std::uint32_t frames);

// Under the router lock. Withdraws the slot's ring, if any: tells the player why, wakes it,
// and releases the section once no render thread is inside a read of it.
void closeRing(RingSlot& slot, core::RingCloseReason reason);

}  // namespace win
