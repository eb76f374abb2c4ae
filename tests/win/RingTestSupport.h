#pragma once

// Helpers for the card ring tests: a second, independent view of a ring's section and
// event (what another program would see), and a second process that runs beside the test.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "win/base/MappedView.h"
#include "win/base/UniqueHandle.h"
#include "win/ring/CardRing.h"

namespace ring_testing {

inline constexpr std::string_view kPrefix = "Local\\qova";
inline constexpr std::string_view kCardId = "0a1b2c3d";

// Header offsets as a player program sees them, written out rather than taken from the
// struct, so that a layout change fails the tests.
inline constexpr std::size_t kWritePosAt = 64;
inline constexpr std::size_t kReadPosAt = 128;
inline constexpr std::size_t kUnderrunAt = 192;
inline constexpr std::size_t kCloseReasonAt = 200;
inline constexpr std::size_t kReadCountAt = 208;

// A ring number not used before in this process, as the router's counter would give.
std::uint64_t nextRingNumber();

// A request for kCardId by client 7 with a fresh ring number.
win::RingRequest ringRequest(std::uint32_t periodFrames, std::string_view clientName = "test player");

// Another mapping of a section, found by name like a player finds it. Word accesses are
// atomic, since the ring's own code may be touching the same words at the same time.
class SectionView {
public:
    // Opens an existing section; the view stays valid after QOVA has let the section go.
    explicit SectionView(const std::string& name);
    bool ok() const { return static_cast<bool>(view_); }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(view_.get()); }
    std::size_t viewBytes() const { return viewBytes_; }

    std::uint32_t u32(std::size_t offset) const;
    std::uint64_t u64(std::size_t offset) const;
    void setU32(std::size_t offset, std::uint32_t value) const;
    void setU64(std::size_t offset, std::uint64_t value) const;

    // Writes frames [position, position + frames) of the test signal where a producer
    // would (masked by capacityFrames) and publishes them by storing writePos.
    void produce(std::uint64_t position, std::uint32_t frames, std::uint32_t capacityFrames) const;
    float sample(std::uint32_t frameIndex, int channel) const;

private:
    win::UniqueHandle mapping_;
    win::MappedView view_;
    std::size_t viewBytes_ = 0;
};

// The ring's event, opened by name; signalled() consumes a set event (it is auto-reset).
class EventView {
public:
    explicit EventView(const std::string& name);
    bool ok() const { return static_cast<bool>(event_); }
    bool signalled() const { return WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }

private:
    win::UniqueHandle event_;
};

using testing_support::AsyncProgram;

// A ring made by createRing for kCardId, with a player's own view of its section and event.
struct TestRing {
    explicit TestRing(std::uint32_t periodFrames = 480);
    bool ok() const { return result.empty() && section->ok() && event->ok(); }
    std::uint32_t capacity() const { return created.capacityFrames; }
    void produce(std::uint64_t position, std::uint32_t frames) const { section->produce(position, frames, capacity()); }

    win::RingRequest request;
    win::RingSlot slot;
    win::CreatedRing created;
    std::string result;
    std::optional<SectionView> section;
    std::optional<EventView> event;
};

struct ReadResult {
    std::uint32_t taken = 0;
    std::vector<float> samples;
};

// Reads into a buffer full of a value no ring holds, so that anything not written shows.
ReadResult read(win::RingSlot& slot, std::uint32_t frames);

// The frames continue the test signal from firstPosition.
::testing::AssertionResult holdsSignal(const float* samples, std::uint32_t frames, std::uint64_t firstPosition);
// The frames are a run of consecutive frames of a ring whose frame index k holds the
// signal's position k (as after writing its first capacityFrames frames), wrapping at the end.
::testing::AssertionResult holdsRingRun(const float* samples, std::uint32_t frames, std::uint32_t capacityFrames);
::testing::AssertionResult isSilent(const float* samples, std::uint32_t frames);
// Every sample is zero, whatever the channel count.
::testing::AssertionResult isSilent(const std::vector<float>& samples);

// Stops a helper thread and waits for it, also when a test leaves early.
class StopAndJoin {
public:
    StopAndJoin(std::atomic<bool>& stop, std::thread& thread) : stop_(stop), thread_(thread) {}
    ~StopAndJoin() { join(); }
    StopAndJoin(const StopAndJoin&) = delete;
    StopAndJoin& operator=(const StopAndJoin&) = delete;
    void join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool>& stop_;
    std::thread& thread_;
};

}  // namespace ring_testing
