#include "tools/player/RingProducer.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "win/base/Text.h"

namespace tools {

namespace {

constexpr std::uint32_t kMaxCapacityFrames = std::uint32_t{1} << 30;

}  // namespace

void RingProducer::release() {
    header_ = nullptr;
    samples_ = nullptr;
    needEvent_.reset();
    view_.reset();
    mapping_.reset();
    capacityFrames_ = targetFrames_ = periodFrames_ = 0;
    writePos_ = 0;
}

std::string RingProducer::open(std::string_view mappingName, std::string_view eventName) {
    release();
    // Read and write, no more: the producer has no business changing the section itself.
    win::UniqueHandle mapping(
        OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, win::toWide(mappingName).c_str()));
    if (!mapping) return "cannot open the section";
    win::MappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!view) return "cannot map the section";

    // The view's real extent bounds every access; the header only has to agree with it.
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(view.get(), &region, sizeof region) != sizeof region) return "cannot map the section";
    const std::uint64_t viewBytes = region.RegionSize;
    if (viewBytes < core::kRingHeaderBytes) return "bad ring size";

    auto* base = static_cast<std::uint8_t*>(view.get());
    auto* header = reinterpret_cast<core::RingHeader*>(base);
    if (std::memcmp(header->magic, core::kRingMagic, sizeof core::kRingMagic) != 0) return "not a card ring";
    if (header->version != core::kRingVersion) return "unsupported version";
    if (header->rate != core::kRingRateHz || header->channels != core::kRingChannels) return "unsupported format";
    const std::uint32_t capacity = header->capacity;
    const std::uint32_t dataOffset = header->dataOffset;
    const bool powerOfTwo = capacity != 0 && (capacity & (capacity - 1)) == 0;
    if (!powerOfTwo || capacity > kMaxCapacityFrames || dataOffset < core::kRingHeaderBytes ||
        dataOffset % alignof(float) != 0 ||
        std::uint64_t{dataOffset} + std::uint64_t{capacity} * core::kRingFrameBytes > viewBytes)
        return "bad ring size";

    win::UniqueHandle needEvent(OpenEventW(SYNCHRONIZE, FALSE, win::toWide(eventName).c_str()));
    if (!needEvent) return "cannot open the event";

    mapping_ = std::move(mapping);
    view_ = std::move(view);
    needEvent_ = std::move(needEvent);
    header_ = header;
    samples_ = reinterpret_cast<float*>(base + dataOffset);
    capacityFrames_ = capacity;
    targetFrames_ = header->target;
    periodFrames_ = header->period;
    writePos_ = header->writePos.load(std::memory_order_relaxed);  // 0 for a fresh ring
    return {};
}

std::uint64_t RingProducer::fillFrames() const {
    if (header_ == nullptr) return 0;
    // Acquire pairs with QOVA's release store of readPos after it copied the frames out.
    const std::uint64_t readPos = header_->readPos.load(std::memory_order_acquire);
    return writePos_ >= readPos ? writePos_ - readPos : 0;
}

std::uint32_t RingProducer::spaceFrames() const {
    const std::uint64_t fill = fillFrames();
    return fill >= capacityFrames_ ? 0 : capacityFrames_ - static_cast<std::uint32_t>(fill);
}

std::uint32_t RingProducer::framesBelowTarget() const {
    const std::uint64_t fill = fillFrames();
    const std::uint32_t below = fill >= targetFrames_ ? 0 : targetFrames_ - static_cast<std::uint32_t>(fill);
    return std::min(below, spaceFrames());
}

std::uint32_t RingProducer::write(const float* source, std::uint32_t frames) {
    if (header_ == nullptr || closeReason() != 0) return 0;
    const std::uint32_t count = std::min(frames, spaceFrames());
    constexpr std::size_t kChannels = core::kRingChannels;
    const auto index = static_cast<std::uint32_t>(writePos_ & (capacityFrames_ - 1));
    const std::uint32_t beforeEnd = std::min(count, capacityFrames_ - index);
    std::memcpy(samples_ + std::size_t{index} * kChannels, source, std::size_t{beforeEnd} * core::kRingFrameBytes);
    if (count > beforeEnd)
        std::memcpy(samples_, source + std::size_t{beforeEnd} * kChannels,
                    std::size_t{count - beforeEnd} * core::kRingFrameBytes);
    writePos_ += count;
    // Release pairs with QOVA's acquire load of writePos: the samples are in place first.
    header_->writePos.store(writePos_, std::memory_order_release);
    return count;
}

bool RingProducer::waitForNeed(std::uint32_t timeoutMs) const {
    return needEvent_ && WaitForSingleObject(needEvent_.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::uint64_t RingProducer::underrunFrames() const {
    // Relaxed: a counter for display; nothing is published with it.
    return header_ != nullptr ? header_->underrunFrames.load(std::memory_order_relaxed) : 0;
}

std::uint32_t RingProducer::closeReason() const {
    if (header_ == nullptr) return static_cast<std::uint32_t>(core::RingCloseReason::ByQova);
    // Acquire pairs with QOVA's release store when it withdraws the ring.
    return header_->closeReason.load(std::memory_order_acquire);
}

void RingProducer::giveUp() {
    if (header_ == nullptr) return;
    // Only an open ring changes hands: QOVA's own reason, once there, is the one that counts.
    std::uint32_t open = static_cast<std::uint32_t>(core::RingCloseReason::Open);
    header_->closeReason.compare_exchange_strong(open, static_cast<std::uint32_t>(core::RingCloseReason::ByPlayer),
                                                 std::memory_order_acq_rel);
}

}  // namespace tools
