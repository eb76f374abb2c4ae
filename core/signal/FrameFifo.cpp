#include "core/signal/FrameFifo.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace core {

namespace {

constexpr std::align_val_t kBufferAlignment{64};

std::uint32_t roundUpToPowerOfTwo(std::uint32_t frames) {
    return std::bit_ceil(std::clamp<std::uint32_t>(frames, 1, FrameFifo::kMaxCapacityFrames));
}

}  // namespace

FrameFifo::FrameFifo(std::uint32_t requestedFrames)
    : capacity_(roundUpToPowerOfTwo(requestedFrames)), mask_(capacity_ - 1) {
    buffer_ = static_cast<float*>(::operator new (sizeof(float) * std::size_t{capacity_}, kBufferAlignment));
    std::memset(buffer_, 0, sizeof(float) * std::size_t{capacity_});
}

FrameFifo::~FrameFifo() {
    ::operator delete(buffer_, kBufferAlignment);
}

// producer thread: no locks, no allocation
std::uint32_t FrameFifo::push(const float* src, std::uint32_t frames, std::int64_t nowNs) {
    // Pairs with the release store of readTotal_ in pop and discard: the slots freed there
    // are no longer being read.
    const std::uint64_t read = readTotal_.load(std::memory_order_acquire);
    const std::uint64_t write = writeTotal_.load(std::memory_order_relaxed);  // our own
    const std::uint64_t room = read + capacity_ - write;
    const auto stored = static_cast<std::uint32_t>(std::min<std::uint64_t>(room, frames));

    if (stored != 0) {
        const std::uint32_t start = static_cast<std::uint32_t>(write) & mask_;
        const std::uint32_t first = std::min(stored, capacity_ - start);
        std::memcpy(buffer_ + start, src, sizeof(float) * first);
        std::memcpy(buffer_, src + first, sizeof(float) * (stored - first));
    }

    // The time goes before the size, and the size is released: a consumer that sees this
    // size also sees this time (or a later one), so it never pairs a new block with an old
    // time and never overestimates.
    lastPushTimeNs_.store(nowNs, std::memory_order_relaxed);
    lastPushFrames_.store(frames, std::memory_order_release);
    // Pairs with the acquire loads of writeTotal_ in pop, discard and fillEstimate: the
    // samples and the bookkeeping above are visible to whoever sees the new total.
    writeTotal_.store(write + stored, std::memory_order_release);
    return stored;
}

// consumer thread: no locks, no allocation
std::uint32_t FrameFifo::pop(float* dst, std::uint32_t frames) {
    // Pairs with the release store in push: the samples up to this total are written.
    const std::uint64_t write = writeTotal_.load(std::memory_order_acquire);
    const std::uint64_t read = readTotal_.load(std::memory_order_relaxed);  // our own
    const auto taken = static_cast<std::uint32_t>(std::min<std::uint64_t>(write - read, frames));

    if (taken != 0) {
        const std::uint32_t start = static_cast<std::uint32_t>(read) & mask_;
        const std::uint32_t first = std::min(taken, capacity_ - start);
        std::memcpy(dst, buffer_ + start, sizeof(float) * first);
        std::memcpy(dst + first, buffer_, sizeof(float) * (taken - first));
    }

    // Pairs with the acquire load in push: the copy is done before the slots are freed.
    readTotal_.store(read + taken, std::memory_order_release);
    return taken;
}

// consumer thread: no locks, no allocation
std::uint32_t FrameFifo::discard(std::uint32_t frames) {
    // Pairs with the release store in push.
    const std::uint64_t write = writeTotal_.load(std::memory_order_acquire);
    const std::uint64_t read = readTotal_.load(std::memory_order_relaxed);  // our own
    const auto dropped = static_cast<std::uint32_t>(std::min<std::uint64_t>(write - read, frames));
    // Pairs with the acquire load in push.
    readTotal_.store(read + dropped, std::memory_order_release);
    return dropped;
}

// consumer thread: no locks, no allocation
double FrameFifo::fillEstimate(std::int64_t nowNs, double rateHz, std::int64_t graceNs) const {
    // Pairs with the release store of writeTotal_ in push: the bookkeeping read below is
    // that push's or a later one's, and a later one only makes the estimate lower.
    const std::uint64_t write = writeTotal_.load(std::memory_order_acquire);
    const std::uint64_t read = readTotal_.load(std::memory_order_relaxed);  // our own
    const double stored = static_cast<double>(static_cast<std::uint32_t>(write - read));
    // Pairs with the release store of lastPushFrames_ in push (the time stored before it).
    const std::uint32_t lastFrames = lastPushFrames_.load(std::memory_order_acquire);
    const std::int64_t lastNs = lastPushTimeNs_.load(std::memory_order_relaxed);
    if (lastNs == 0) return stored;
    const double streamed = static_cast<double>(nowNs - lastNs) * 1e-9 * rateHz;
    const double most = static_cast<double>(lastFrames) + static_cast<double>(graceNs) * 1e-9 * rateHz;
    return stored + std::clamp(streamed, -stored, most);
}

}  // namespace core
