#include "core/render/Render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

// The render path natively, on outputs built by hand: the meters' peaks, which are taken in
// one pass over the interleaved buffer.

namespace core {
namespace {

const std::atomic<bool> kArmed{true};

std::unique_ptr<RenderOutput> output(std::uint32_t channels) {
    auto made = std::make_unique<RenderOutput>();
    made->armed = &kArmed;
    made->channels = channels;
    made->rate = 48000;
    made->peaks = std::make_unique<std::atomic<float>[]>(channels);
    made->tones = std::make_unique<std::atomic<bool>[]>(channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
        made->peaks[c] = 0.0f;
        made->tones[c] = false;
    }
    made->oscillators.assign(channels, Oscillator{});
    return made;
}

// Each channel's loudest sample at a frame of its own, some of them in the frames past the
// last whole row, negative for odd channels: every channel's peak is its own.
TEST(RenderPeaks, EachChannelGetsItsOwnLoudestSampleWhateverTheChannelCount) {
    for (const std::uint32_t channels : {1u, 2u, 3u, 8u, 17u, 64u}) {
        SCOPED_TRACE(channels);
        const std::uint32_t frames = 103;
        std::vector<float> buffer(std::size_t{frames} * channels);
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = 0.01f * static_cast<float>(i % 7);
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::uint32_t frame = c == 0 ? frames - 1 : (c * 37 + 11) % frames;
            buffer[std::size_t{frame} * channels + c] = (c % 2 ? -1.0f : 1.0f) * (0.1f + 0.01f * c);
        }
        auto out = output(channels);
        renderOutput(out.get(), buffer.data(), frames, channels);
        for (std::uint32_t c = 0; c < channels; ++c) EXPECT_FLOAT_EQ(out->peaks[c].load(), 0.1f + 0.01f * c) << c;
        EXPECT_EQ(out->callbackCount.load(), 1u);
    }
}

}  // namespace
}  // namespace core
