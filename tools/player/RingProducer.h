#pragma once

// The player's side of a card ring: attach to the section and event whose names QOVA
// handed out, write stereo float frames into it, and sleep between top-ups. Used by the
// test peers and by the command-line player.
//
// One RingProducer is the ring's single producer and is used from one thread. It keeps its
// own copies of the ring's size and of its own write position, so that nothing another
// program writes into the header can make it write outside the section.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/ring/CardRingLayout.h"
#include "win/base/MappedView.h"
#include "win/base/UniqueHandle.h"

namespace tools {

class RingProducer {
public:
    RingProducer() = default;
    RingProducer(const RingProducer&) = delete;
    RingProducer& operator=(const RingProducer&) = delete;

    // Opens the section and the event by their UTF-8 names and checks that the header
    // describes a ring this code can fill. Returns "" on success, else a short reason:
    // "cannot open the section", "cannot map the section", "cannot open the event",
    // "not a card ring", "unsupported version", "unsupported format", "bad ring size".
    std::string open(std::string_view mappingName, std::string_view eventName);
    bool isOpen() const { return header_ != nullptr; }

    std::uint32_t capacityFrames() const { return capacityFrames_; }
    std::uint32_t targetFrames() const { return targetFrames_; }
    std::uint32_t periodFrames() const { return periodFrames_; }
    std::uint64_t writtenFrames() const { return writePos_; }

    // Frames written and not yet read by QOVA; 0 when QOVA's position is ahead of ours.
    std::uint64_t fillFrames() const;
    // Frames that may be written now without overwriting a frame QOVA has not read.
    std::uint32_t spaceFrames() const;
    // Frames that would bring the fill up to the target, within the space.
    std::uint32_t framesBelowTarget() const;

    // Copies up to `frames` frames (2 floats each, left then right) from `source` into the
    // ring, no more than spaceFrames(), then publishes them. Returns the frames written:
    // 0 once the ring is closed.
    std::uint32_t write(const float* source, std::uint32_t frames);

    // Sleeps until QOVA has read from the ring or closed it, at most timeoutMs. True when
    // woken, false on the timeout.
    bool waitForNeed(std::uint32_t timeoutMs) const;

    // 0 while the ring is open; 1 when QOVA withdrew it; 2 when it was given up. Any other
    // value is someone else's fault and means closed all the same. 1 before open succeeds.
    std::uint32_t closeReason() const;

    // Frames QOVA had to play as silence because the ring ran dry; 0 before open.
    std::uint64_t underrunFrames() const;

    // Tells QOVA the player is done with the ring (stores 2 unless the ring is already
    // closed); QOVA plays silence from it from now on and releases it soon after.
    void giveUp();

private:
    void release();

    win::UniqueHandle mapping_;
    win::MappedView view_;
    win::UniqueHandle needEvent_;
    core::RingHeader* header_ = nullptr;
    float* samples_ = nullptr;
    std::uint32_t capacityFrames_ = 0;
    std::uint32_t targetFrames_ = 0;
    std::uint32_t periodFrames_ = 0;
    std::uint64_t writePos_ = 0;  // ours; the header's copy is only ever stored to
};

}  // namespace tools
