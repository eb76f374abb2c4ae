#pragma once

// A lock-free FIFO of mono float frames between two render threads: the far half of a card
// that is joined across two sound cards.
//
// Contract:
// - One producer thread (the card's primary output thread) calls push. One consumer thread
//   (the far output's thread) calls pop, discard and fillEstimate. capacityFrames, readTotal
//   and writeTotal may be called from any thread.
// - readTotal_ and writeTotal_ count frames since creation and never wrap in practice (u64);
//   a slot's index is its total AND (capacity - 1). Empty: writeTotal == readTotal. Full:
//   writeTotal - readTotal == capacity. The consumer writes only readTotal_, the producer
//   only writeTotal_ and the push bookkeeping.
// - push stores the samples, then the bookkeeping, then publishes writeTotal_ with release;
//   the consumer's acquire load of writeTotal_ pairs with it, so every sample it may read is
//   visible. pop and discard publish readTotal_ with release after the copy; the producer's
//   acquire load of readTotal_ pairs with it, so a slot is never overwritten while the
//   consumer still copies it.
// - A push that does not fit stores what fits and reports how many it stored; the rest is
//   the caller's overflow. pop returns fewer frames than asked when the FIFO runs short.
// - Nothing here allocates, locks or blocks after construction.

#include <atomic>
#include <cstdint>

namespace core {

class FrameFifo {
public:
    // Largest capacity; a larger request is cut down to it.
    static constexpr std::uint32_t kMaxCapacityFrames = std::uint32_t{1} << 31;

    // Build time (allocates). requestedFrames is raised to the next power of two (at least
    // 1, at most kMaxCapacityFrames). The samples start zeroed.
    explicit FrameFifo(std::uint32_t requestedFrames);
    ~FrameFifo();
    FrameFifo(const FrameFifo&) = delete;
    FrameFifo& operator=(const FrameFifo&) = delete;

    // Producer thread: stores up to frames samples from src and returns how many fitted.
    // nowNs (steady clock) and frames (all of them, stored or not) are remembered for
    // fillEstimate.
    std::uint32_t push(const float* src, std::uint32_t frames, std::int64_t nowNs);

    // Consumer thread: copies up to frames samples into dst; returns how many came.
    std::uint32_t pop(float* dst, std::uint32_t frames);

    // Consumer thread: drops up to frames of the oldest samples; returns how many went.
    std::uint32_t discard(std::uint32_t frames);

    // Consumer thread: the fill in frames at nowNs, as a smooth level rather than the
    // producer's steps. Between pushes the producer's last block is counted in as if it
    // streamed in at rateHz since that push, never more than that block. A push stamped later
    // than nowNs (the second chunk of one period, stamped where the first one ends) is counted
    // out again at the same rate back to nowNs, never below empty. A push racing with this
    // call can make it read one block low for that moment, never high. graceNs: how late the
    // next push may come after the last block has streamed in, and the level streams on for
    // that long: stamps of when pushes were due rather than made would otherwise read low
    // whenever the next one is late.
    double fillEstimate(std::int64_t nowNs, double rateHz, std::int64_t graceNs = 0) const;

    // Any thread.
    std::uint32_t capacityFrames() const { return capacity_; }
    std::uint64_t readTotal() const { return readTotal_.load(std::memory_order_acquire); }
    std::uint64_t writeTotal() const { return writeTotal_.load(std::memory_order_acquire); }
    // Consumer thread: the time the last push was stamped with; 0 before the first.
    std::int64_t lastPushNs() const { return lastPushTimeNs_.load(std::memory_order_relaxed); }

private:
    // Written by the consumer only.
    alignas(64) std::atomic<std::uint64_t> readTotal_{0};
    // Written by the producer only.
    alignas(64) std::atomic<std::uint64_t> writeTotal_{0};
    // Written by the producer only; read by the consumer's fillEstimate.
    alignas(64) std::atomic<std::int64_t> lastPushTimeNs_{0};  // 0 before the first push
    std::atomic<std::uint32_t> lastPushFrames_{0};
    // Fixed after construction; read by both sides.
    alignas(64) float* buffer_ = nullptr;  // 64-byte aligned
    std::uint32_t capacity_ = 1;
    std::uint32_t mask_ = 0;

    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);
};

}  // namespace core
