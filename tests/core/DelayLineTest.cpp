#include "core/signal/DelayLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using core::DelayLine;

// 1, 2, 3, ...: no frame looks like silence or like another frame.
std::vector<float> ramp(std::uint32_t frames) {
    std::vector<float> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<float>(i + 1);
    return samples;
}

// What a line of length L must give for frame i of a ramp.
float delayed(std::uint32_t i, std::uint32_t length) {
    return i < length ? 0.0f : static_cast<float>(i - length + 1);
}

TEST(DelayLine, LengthZeroPassesTheSignalThrough) {
    std::vector<float> samples = ramp(37);
    DelayLine line;
    EXPECT_EQ(line.lengthFrames(), 0u);
    line.process(samples.data(), 37);
    EXPECT_EQ(samples, ramp(37));

    DelayLine cleared(12);
    cleared.setLength(0);
    cleared.process(samples.data(), 37);
    EXPECT_EQ(samples, ramp(37));
}

TEST(DelayLine, GivesLengthFramesOfSilenceThenTheInput) {
    for (const std::uint32_t length : {1u, 2u, 7u, 480u, 1024u, 1500u}) {
        SCOPED_TRACE(length);
        DelayLine line(length);
        EXPECT_EQ(line.lengthFrames(), length);
        std::vector<float> samples = ramp(3000);
        line.process(samples.data(), 3000);
        for (std::uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(samples[i], delayed(i, length)) << "frame " << i;
    }
}

TEST(DelayLine, ContinuesAcrossCallsOfOddSizes) {
    const std::uint32_t sizes[] = {1, 3, 7, 11, 2, 13, 5, 0, 29};
    for (const std::uint32_t length : {5u, 6u, 37u}) {
        SCOPED_TRACE(length);
        DelayLine line(length);
        const std::vector<float> input = ramp(2000);
        std::vector<float> output;
        std::uint32_t at = 0;
        for (unsigned call = 0; at < input.size(); ++call) {
            const std::uint32_t n = std::min<std::uint32_t>(sizes[call % std::size(sizes)], 2000 - at);
            std::vector<float> block(input.begin() + at, input.begin() + at + n);
            line.process(block.data(), n);
            output.insert(output.end(), block.begin(), block.end());
            at += n;
        }
        for (std::uint32_t i = 0; i < 2000; ++i) ASSERT_EQ(output[i], delayed(i, length)) << "frame " << i;
    }
}

TEST(DelayLine, SettingALengthClearsWhatItHeld) {
    for (const std::uint32_t newLength : {9u, 4u, 16u}) {
        SCOPED_TRACE(newLength);
        DelayLine line(9);
        std::vector<float> samples = ramp(20);
        line.process(samples.data(), 13);  // leaves the line holding signal, mid-buffer
        line.setLength(newLength);
        EXPECT_EQ(line.lengthFrames(), newLength);
        samples = ramp(40);
        line.process(samples.data(), 40);
        for (std::uint32_t i = 0; i < 40; ++i) ASSERT_EQ(samples[i], delayed(i, newLength)) << "frame " << i;
    }
}

}  // namespace
