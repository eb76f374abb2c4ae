#include <gtest/gtest.h>

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "RingTestSupport.h"
#include "core/ring/CardRingLayout.h"
#include "win/router/RouterGraph.h"

// A one-member card at another rate than 48 kHz folds the ring's stereo to its one channel
// before converting it. Conversion is linear, so it plays what converting both channels and
// folding after would, within float rounding: the card is rendered by the render path on a
// real ring, and compared with libsamplerate converting the same stereo frames, pulled the
// same way, folded afterwards.

namespace win {
namespace {

using ring_testing::TestRing;

constexpr std::uint32_t kInputFrames = 6000;  // within the ring's capacity: written at once
constexpr std::uint32_t kChunk = 480;

// Left and right differ, so that a fold that took the wrong side or mixed wrongly shows.
std::vector<float> toneInput() {
    std::vector<float> stereo(std::size_t{kInputFrames} * 2);
    for (std::uint32_t f = 0; f < kInputFrames; ++f) {
        const double phase = 6.283185307179586 * 1000.0 * f / 48000.0;
        stereo[2 * f] = static_cast<float>(0.5 * std::sin(phase));
        stereo[2 * f + 1] = static_cast<float>(0.3 * std::sin(phase + 1.0));
    }
    return stereo;
}

std::vector<float> noiseInput() {
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> level(-0.5f, 0.5f);
    std::vector<float> stereo(std::size_t{kInputFrames} * 2);
    for (float& sample : stereo) sample = level(random);
    return stereo;
}

// Stereo converted, then folded: libsamplerate fed in the render path's pulls.
std::vector<float> convertedThenFolded(const std::vector<float>& stereo, std::uint32_t rate, core::MonoMode mode,
                                       std::uint32_t frames) {
    struct Feed {
        const std::vector<float>* stereo;
        std::size_t position = 0;
        std::vector<float> pull = std::vector<float>(std::size_t{kNearPullFrames} * 2, 0.0f);
    } feed{&stereo};
    auto pull = [](void* data, float** samples) -> long {
        auto& self = *static_cast<Feed*>(data);
        std::fill(self.pull.begin(), self.pull.end(), 0.0f);
        const std::size_t available = std::min(self.pull.size(), self.stereo->size() - self.position);
        std::copy_n(self.stereo->begin() + static_cast<std::ptrdiff_t>(self.position), available, self.pull.begin());
        self.position += available;
        *samples = self.pull.data();
        return kNearPullFrames;
    };
    int error = 0;
    SRC_STATE* state = src_callback_new(pull, SRC_SINC_MEDIUM_QUALITY, 2, &error, &feed);
    std::vector<float> converted(std::size_t{frames} * 2);
    for (std::uint32_t done = 0; done < frames; done += kChunk)
        src_callback_read(state, rate / 48000.0, kChunk, converted.data() + std::size_t{done} * 2);
    src_delete(state);
    std::vector<float> mono(frames);
    for (std::uint32_t f = 0; f < frames; ++f) {
        const float left = converted[2 * f];
        const float right = converted[2 * f + 1];
        mono[f] = mode == core::MonoMode::Left ? left : mode == core::MonoMode::Right ? right : (left + right) * 0.5f;
    }
    return mono;
}

// The card rendered by the render path into a one-channel output of `rate`.
std::vector<float> rendered(const std::vector<float>& stereo, std::uint32_t rate, core::MonoMode mode,
                            std::uint32_t frames) {
    TestRing ring(2048);
    EXPECT_TRUE(ring.ok()) << ring.result;
    EXPECT_GE(ring.capacity(), kInputFrames);
    auto* samples = reinterpret_cast<float*>(ring.section->bytes() + core::kRingHeaderBytes);
    std::memcpy(samples, stereo.data(), stereo.size() * sizeof(float));
    ring.section->setU64(ring_testing::kWritePosAt, kInputFrames);

    CardNode card;
    connectCard(card, ring.slot);
    card.members.resize(1);
    card.mono = mode;
    card.primaryRate = rate;
    EXPECT_EQ(makeCardConverter(card), 0);
    card.taps.push_back(NearTap{0, TapSource::Mono, core::DelayLine()});
    std::vector<float> out(frames, 0.0f);
    for (std::uint32_t done = 0; done < frames; done += kChunk) renderCard(card, out.data() + done, kChunk, 1);
    return out;
}

TEST(MonoCard, ConvertsOneChannelAndPlaysWhatConvertingBothWould) {
    for (const std::uint32_t rate : {44100u, 96000u}) {
        // All of it within what the ring holds, with the converter's look-ahead to spare.
        const std::uint32_t frames = (kInputFrames - 1000) * rate / 48000 / kChunk * kChunk;
        for (const bool noise : {false, true}) {
            const std::vector<float> input = noise ? noiseInput() : toneInput();
            for (const core::MonoMode mode : {core::MonoMode::Sum, core::MonoMode::Left, core::MonoMode::Right}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << (noise ? "noise" : "1 kHz tone") << ", mode "
                                                << static_cast<int>(mode));
                const std::vector<float> expected = convertedThenFolded(input, rate, mode, frames);
                const std::vector<float> played = rendered(input, rate, mode, frames);
                float worst = 0.0f;
                float loudest = 0.0f;
                for (std::uint32_t f = 0; f < frames; ++f) {
                    worst = std::max(worst, std::fabs(played[f] - expected[f]));
                    loudest = std::max(loudest, std::fabs(played[f]));
                }
                EXPECT_LE(worst, 1e-6f);
                EXPECT_GT(loudest, 0.2f) << "the signal came through";
            }
        }
    }
}

}  // namespace
}  // namespace win
