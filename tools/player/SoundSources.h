#pragma once

// The sound qova-player plays, as 48 kHz stereo float frames: a sine tone or a WAV file, as
// the command line asks.

#include <cstdint>
#include <memory>
#include <string>

#include "core/ring/CardRingLayout.h"
#include "tools/player/CommandLine.h"

namespace player {

inline constexpr std::uint32_t kRateHz = core::kRingRateHz;
// The most frames read from a source, and written to the ring, at once.
inline constexpr std::uint32_t kChunkFrames = 4096;

// Hands out the sound as 48 kHz stereo float frames, in order.
class SoundSource {
public:
    virtual ~SoundSource() = default;
    // Fills up to `frames` frames; fewer (possibly 0) once the sound has ended.
    virtual std::uint32_t read(float* stereo, std::uint32_t frames) = 0;
    virtual std::string describe() const = 0;
};

// The tone or the WAV file the options name: kExitDone, or kExitBadSound once it has said
// why the file cannot be played.
int openSource(const Options& options, std::unique_ptr<SoundSource>& source);

}  // namespace player
