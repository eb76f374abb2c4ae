#pragma once

// The bytes of a card ring: the shared section through which a player app (the producer)
// hands QOVA (the consumer) 48 kHz stereo float audio. Both programs include this header,
// so every offset below is fixed here once and checked at compile time; changing one breaks
// every player in the field.
//
// Contract (one producer, one consumer, two processes):
//  - QOVA fills the first 32 bytes once, before the section's name is given to anyone, and
//    never changes them afterwards. Neither side trusts the other's copy for memory safety:
//    each keeps its own capacity and data offset and only masks positions read from here.
//  - writePos: frames the producer has published, only grows. Written by the producer alone
//    with a release store after the samples are in place; QOVA loads it with acquire.
//  - readPos: frames QOVA has consumed, only grows. Written by QOVA alone with a release
//    store after it has copied the frames out; the producer loads it with acquire before it
//    reuses those frames' slots.
//  - Empty: writePos == readPos (or writePos behind readPos, which only a faulty producer
//    makes). Full: writePos - readPos == capacity. The producer never writes further ahead.
//  - underrunFrames and readCount: changed by QOVA with atomic adds, read by anyone.
//  - closeReason: 0 while open. QOVA stores 1 or 2 when it withdraws the ring; the producer
//    may store 2 to give the ring up. Whoever sees it non-zero stops using the ring.
//  - The "-need" event beside the section is set by QOVA after every read and once more at
//    close, so a producer can sleep on it between top-ups.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace core {

inline constexpr char kRingMagic[4] = {'Q', 'O', 'V', 'A'};
inline constexpr std::uint32_t kRingVersion = 1;
inline constexpr std::uint32_t kRingRateHz = 48000;
inline constexpr std::uint32_t kRingChannels = 2;
inline constexpr std::uint32_t kRingFrameBytes = kRingChannels * sizeof(float);
inline constexpr std::uint32_t kRingHeaderBytes = 256;  // also the data offset QOVA writes
inline constexpr char kRingEventSuffix[] = "-need";     // event name = section name + this

// Values of closeReason. A producer may write anything there; QOVA only tests for zero.
enum class RingCloseReason : std::uint32_t {
    Open = 0,
    ByQova = 1,    // withdrawn: reopened, card removed, client gone, shutdown
    ByPlayer = 2,  // the player asked, or gave the ring up by storing 2 itself
};

// Fields are named as both programs speak of them; all counts are frames unless named
// otherwise. Little-endian, as every Windows machine is.
struct RingHeader {
    char magic[4];             // "QOVA"
    std::uint32_t version;     // kRingVersion
    std::uint32_t rate;        // Hz, always 48000
    std::uint32_t channels;    // samples per frame, always 2 (left, right)
    std::uint32_t capacity;    // frames in the sample area; a power of two
    std::uint32_t target;      // frames the producer should keep buffered
    std::uint32_t period;      // the card's output period in 48 kHz frames
    std::uint32_t dataOffset;  // bytes from the section start to the first sample
    std::uint8_t reserved32[32];

    alignas(64) std::atomic<std::uint64_t> writePos;  // producer's line
    std::uint8_t reserved72[56];

    alignas(64) std::atomic<std::uint64_t> readPos;  // QOVA's line
    std::uint8_t reserved136[56];

    alignas(64) std::atomic<std::uint64_t> underrunFrames;  // counters, QOVA's render path
    std::atomic<std::uint32_t> closeReason;
    std::uint8_t reserved204[4];
    std::atomic<std::uint32_t> readCount;  // wraps
    std::uint8_t reserved212[44];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the positions must be lock-free across processes");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "closeReason must be lock-free across processes");
static_assert(sizeof(std::atomic<std::uint64_t>) == 8 && sizeof(std::atomic<std::uint32_t>) == 4);
static_assert(std::is_standard_layout_v<RingHeader>);
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
static_assert(sizeof(RingHeader) == kRingHeaderBytes);
static_assert(alignof(RingHeader) == 64);
static_assert(offsetof(RingHeader, magic) == 0);
static_assert(offsetof(RingHeader, version) == 4);
static_assert(offsetof(RingHeader, rate) == 8);
static_assert(offsetof(RingHeader, channels) == 12);
static_assert(offsetof(RingHeader, capacity) == 16);
static_assert(offsetof(RingHeader, target) == 20);
static_assert(offsetof(RingHeader, period) == 24);
static_assert(offsetof(RingHeader, dataOffset) == 28);
static_assert(offsetof(RingHeader, reserved32) == 32);
static_assert(offsetof(RingHeader, writePos) == 64);
static_assert(offsetof(RingHeader, reserved72) == 72);
static_assert(offsetof(RingHeader, readPos) == 128);
static_assert(offsetof(RingHeader, reserved136) == 136);
static_assert(offsetof(RingHeader, underrunFrames) == 192);
static_assert(offsetof(RingHeader, closeReason) == 200);
static_assert(offsetof(RingHeader, reserved204) == 204);
static_assert(offsetof(RingHeader, readCount) == 208);
static_assert(offsetof(RingHeader, reserved212) == 212);

// The whole section: header, then capacity frames.
constexpr std::uint64_t ringSectionBytes(std::uint32_t capacityFrames) {
    return std::uint64_t{kRingHeaderBytes} + std::uint64_t{capacityFrames} * kRingFrameBytes;
}

}  // namespace core
