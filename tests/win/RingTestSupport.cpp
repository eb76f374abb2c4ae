#include "RingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "RingSignal.h"
#include "win/base/Text.h"

namespace ring_testing {

namespace {

// A fault in these tests must end the test program at once, with the fault's code as its
// exit code, instead of waiting for a debugger: Wine starts winedbg for an unhandled fault
// whatever the error mode says, and ctest would wait for its timeout.
LONG WINAPI endOnFault(EXCEPTION_POINTERS* pointers) {
    std::fprintf(stderr, "fault 0x%08lx at %p\n", pointers->ExceptionRecord->ExceptionCode,
                 pointers->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}
const LPTOP_LEVEL_EXCEPTION_FILTER kPreviousFilter = SetUnhandledExceptionFilter(endOnFault);

}  // namespace

std::uint64_t nextRingNumber() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

win::RingRequest ringRequest(std::uint32_t periodFrames, std::string_view clientName) {
    win::RingRequest request;
    request.namePrefix = kPrefix;
    request.ringNumber = nextRingNumber();
    request.cardId = kCardId;
    request.periodFrames = periodFrames;
    request.clientId = 7;
    request.clientName = clientName;
    return request;
}

SectionView::SectionView(const std::string& name)
    : mapping_(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, win::toWide(name).c_str())) {
    if (!mapping_) return;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    MEMORY_BASIC_INFORMATION region{};
    if (view_ && VirtualQuery(view_.get(), &region, sizeof region) == sizeof region) viewBytes_ = region.RegionSize;
}

std::uint32_t SectionView::u32(std::size_t offset) const {
    return std::atomic_ref(*reinterpret_cast<std::uint32_t*>(bytes() + offset)).load();
}

std::uint64_t SectionView::u64(std::size_t offset) const {
    return std::atomic_ref(*reinterpret_cast<std::uint64_t*>(bytes() + offset)).load();
}

void SectionView::setU32(std::size_t offset, std::uint32_t value) const {
    std::atomic_ref(*reinterpret_cast<std::uint32_t*>(bytes() + offset)).store(value);
}

void SectionView::setU64(std::size_t offset, std::uint64_t value) const {
    std::atomic_ref(*reinterpret_cast<std::uint64_t*>(bytes() + offset)).store(value);
}

void SectionView::produce(std::uint64_t position, std::uint32_t frames, std::uint32_t capacityFrames) const {
    auto* samples = reinterpret_cast<float*>(bytes() + core::kRingHeaderBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint64_t index = (position + i) & (capacityFrames - 1);
        samples[2 * index] = ring_signal::left(position + i);
        samples[2 * index + 1] = ring_signal::right(position + i);
    }
    setU64(offsetof(core::RingHeader, writePos), position + frames);
}

float SectionView::sample(std::uint32_t frameIndex, int channel) const {
    const auto* samples = reinterpret_cast<const float*>(bytes() + core::kRingHeaderBytes);
    return samples[2 * std::size_t{frameIndex} + channel];
}

TestRing::TestRing(std::uint32_t periodFrames) : request(ringRequest(periodFrames)) {
    result = win::createRing(slot, request, created);
    if (result.empty()) {
        section.emplace(created.mapping);
        event.emplace(created.event);
    }
}

ReadResult read(win::RingSlot& slot, std::uint32_t frames) {
    ReadResult result;
    result.samples.assign(std::size_t{frames} * 2, 7.5f);
    result.taken = win::readRing(slot, result.samples.data(), frames);
    return result;
}

::testing::AssertionResult holdsSignal(const float* samples, std::uint32_t frames, std::uint64_t firstPosition) {
    for (std::uint32_t i = 0; i < frames; ++i) {
        if (samples[2 * i] != ring_signal::left(firstPosition + i) ||
            samples[2 * i + 1] != ring_signal::right(firstPosition + i))
            return ::testing::AssertionFailure()
                   << "frame " << i << " is (" << samples[2 * i] << ", " << samples[2 * i + 1]
                   << "), expected stream position " << firstPosition + i;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult holdsRingRun(const float* samples, std::uint32_t frames, std::uint32_t capacityFrames) {
    if (frames == 0) return ::testing::AssertionSuccess();
    const float first = samples[0];
    if (!(first >= 1.0f && first <= static_cast<float>(capacityFrames)))
        return ::testing::AssertionFailure() << "the first frame (" << first << ") is no frame of the ring";
    const auto firstIndex = static_cast<std::uint32_t>(first) - 1;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint32_t index = (firstIndex + i) % capacityFrames;
        if (samples[2 * i] != ring_signal::left(index) || samples[2 * i + 1] != ring_signal::right(index))
            return ::testing::AssertionFailure() << "frame " << i << " of " << frames << " is (" << samples[2 * i]
                                                 << ", " << samples[2 * i + 1] << "), expected ring index " << index;
    }
    return ::testing::AssertionSuccess();
}

namespace {

::testing::AssertionResult zeroSamples(const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (samples[i] != 0.0f) return ::testing::AssertionFailure() << "sample " << i << " is " << samples[i];
    return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult isSilent(const float* samples, std::uint32_t frames) {
    return zeroSamples(samples, 2 * std::size_t{frames});
}

::testing::AssertionResult isSilent(const std::vector<float>& samples) {
    return zeroSamples(samples.data(), samples.size());
}

EventView::EventView(const std::string& name)
    : event_(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, win::toWide(name).c_str())) {}

}  // namespace ring_testing
