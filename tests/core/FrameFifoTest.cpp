#include "core/signal/FrameFifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

namespace {

using core::FrameFifo;

// Frames numbered from first: exact in a float up to 2^24.
std::vector<float> ramp(std::uint32_t first, std::uint32_t frames) {
    std::vector<float> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<float>(first + i);
    return samples;
}

constexpr std::int64_t kSecondNs = 1'000'000'000;

TEST(FrameFifo, RaisesCapacityToAPowerOfTwo) {
    const struct {
        std::uint32_t requested;
        std::uint32_t capacity;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {13, 16}, {4096, 4096}, {4097, 8192}, {100000, 131072}};
    for (const auto& c : cases) {
        FrameFifo fifo(c.requested);
        EXPECT_EQ(fifo.capacityFrames(), c.capacity) << "requested " << c.requested;
        // The capacity is real: exactly that many frames fit.
        const std::vector<float> samples = ramp(1, c.capacity + 5);
        EXPECT_EQ(fifo.push(samples.data(), c.capacity + 5, kSecondNs), c.capacity) << "requested " << c.requested;
    }
}

TEST(FrameFifo, KeepsOrderAcrossWrapAroundWithOddSizes) {
    FrameFifo fifo(13);  // 16 frames
    ASSERT_EQ(fifo.capacityFrames(), 16u);
    // Push and pop sizes share no factor with 16, so every offset gets its turn at the wrap;
    // pushes outrun pops so that the FIFO also runs full.
    const std::uint32_t pushSizes[] = {7, 5, 11, 3, 9, 1, 13};
    const std::uint32_t popSizes[] = {5, 9, 3, 11, 1, 7};
    std::deque<float> model;
    std::uint32_t next = 1;
    for (unsigned round = 0; round < 300; ++round) {
        const std::uint32_t want = pushSizes[round % std::size(pushSizes)];
        const std::vector<float> in = ramp(next, want);
        next += want;
        const std::size_t room = 16 - model.size();
        const std::uint32_t stored = fifo.push(in.data(), want, (round + 1) * kSecondNs);
        ASSERT_EQ(stored, std::min<std::size_t>(want, room)) << "round " << round;
        model.insert(model.end(), in.begin(), in.begin() + stored);

        const std::uint32_t ask = popSizes[round % std::size(popSizes)];
        std::vector<float> out(ask + 1, -1.0f);
        const std::uint32_t taken = fifo.pop(out.data(), ask);
        ASSERT_EQ(taken, std::min<std::size_t>(ask, model.size())) << "round " << round;
        for (std::uint32_t i = 0; i < taken; ++i) {
            ASSERT_EQ(out[i], model.front()) << "round " << round << " frame " << i;
            model.pop_front();
        }
        ASSERT_EQ(out[taken], -1.0f) << "pop wrote past what it returned, round " << round;
        ASSERT_EQ(fifo.writeTotal() - fifo.readTotal(), model.size()) << "round " << round;
    }
    EXPECT_GT(fifo.readTotal(), 50u * 16u) << "the run should wrap many times";
}

TEST(FrameFifo, FullAndEmpty) {
    FrameFifo fifo(8);
    float out[12];
    std::fill(std::begin(out), std::end(out), -1.0f);
    EXPECT_EQ(fifo.pop(out, 4), 0u) << "a new FIFO is empty";
    EXPECT_EQ(out[0], -1.0f);

    const std::vector<float> in = ramp(1, 12);
    EXPECT_EQ(fifo.push(in.data(), 12, kSecondNs), 8u) << "only the capacity fits";
    EXPECT_EQ(fifo.push(in.data(), 3, 2 * kSecondNs), 0u) << "a full FIFO takes nothing";
    EXPECT_EQ(fifo.writeTotal(), 8u);

    EXPECT_EQ(fifo.pop(out, 12), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], static_cast<float>(i + 1)) << "frame " << i;
    EXPECT_EQ(out[8], -1.0f);
    EXPECT_EQ(fifo.pop(out, 1), 0u) << "drained";

    // Emptied, it takes a full capacity again, starting mid-buffer.
    EXPECT_EQ(fifo.push(in.data() + 2, 3, 3 * kSecondNs), 3u);
    EXPECT_EQ(fifo.pop(out, 2), 2u);
    EXPECT_EQ(fifo.push(in.data(), 12, 4 * kSecondNs), 7u);
    EXPECT_EQ(fifo.pop(out, 12), 8u);
    const float expected[] = {5, 1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], expected[i]) << "frame " << i;
    EXPECT_EQ(fifo.readTotal(), 18u);
    EXPECT_EQ(fifo.writeTotal(), 18u);
}

TEST(FrameFifo, DiscardDropsTheOldestFramesUpToTheFill) {
    FrameFifo fifo(16);
    const std::vector<float> in = ramp(1, 16);
    ASSERT_EQ(fifo.push(in.data(), 10, kSecondNs), 10u);
    EXPECT_EQ(fifo.discard(3), 3u);
    float out[16];
    ASSERT_EQ(fifo.pop(out, 2), 2u);
    EXPECT_EQ(out[0], 4.0f);
    EXPECT_EQ(out[1], 5.0f);

    EXPECT_EQ(fifo.discard(100), 5u) << "never more than is held";
    EXPECT_EQ(fifo.discard(1), 0u);
    EXPECT_EQ(fifo.readTotal(), fifo.writeTotal());

    // Discarded frames free their room for the producer, across the wrap.
    ASSERT_EQ(fifo.push(in.data(), 16, 2 * kSecondNs), 16u);
    EXPECT_EQ(fifo.discard(15), 15u);
    EXPECT_EQ(fifo.push(in.data(), 16, 3 * kSecondNs), 15u);
    ASSERT_EQ(fifo.pop(out, 16), 16u);
    EXPECT_EQ(out[0], 16.0f);
    EXPECT_EQ(out[1], 1.0f);
    EXPECT_EQ(out[15], 15.0f);
}

TEST(FrameFifo, FillEstimateWithoutARecentPushIsTheStoredFill) {
    FrameFifo fifo(1024);
    EXPECT_EQ(fifo.fillEstimate(5 * kSecondNs, 48000.0), 0.0) << "no push yet";

    const std::vector<float> in = ramp(1, 480);
    const std::int64_t pushNs = 10 * kSecondNs;
    ASSERT_EQ(fifo.push(in.data(), 480, pushNs), 480u);
    EXPECT_EQ(fifo.fillEstimate(pushNs, 48000.0), 480.0) << "at the push itself";
}

TEST(FrameFifo, FillEstimateCountsTheLastBlockInAsItStreams) {
    FrameFifo fifo(1024);
    const std::vector<float> in = ramp(1, 480);
    const std::int64_t pushNs = 10 * kSecondNs;
    ASSERT_EQ(fifo.push(in.data(), 480, pushNs), 480u);
    float out[100];
    ASSERT_EQ(fifo.pop(out, 100), 100u);

    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 5'000'000, 48000.0), 380.0 + 240.0) << "5 ms at 48 kHz";
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 5'000'000, 44100.0), 380.0 + 220.5) << "the rate counts";
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 10'000'000, 48000.0), 380.0 + 480.0) << "one whole block";
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + kSecondNs, 48000.0), 380.0 + 480.0) << "never more than the block";
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 12'000'000, 48000.0, 5'000'000), 380.0 + 576.0)
        << "a late push is waited for";
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + kSecondNs, 48000.0, 5'000'000), 380.0 + 720.0) << "only so long";

    // The block counts as offered even when the FIFO could not take all of it.
    FrameFifo small(256);
    ASSERT_EQ(small.push(in.data(), 480, pushNs), 256u);
    EXPECT_DOUBLE_EQ(small.fillEstimate(pushNs + kSecondNs, 48000.0), 256.0 + 480.0);

    // The latest push counts, not the first.
    ASSERT_EQ(fifo.push(in.data(), 64, pushNs + 20'000'000), 64u);
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 20'000'000, 48000.0), 444.0);
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 20'500'000, 48000.0), 444.0 + 24.0);
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs + 30'000'000, 48000.0), 444.0 + 64.0);
}

// One period in two chunks pushed at once, the second stamped where the first one ends: in
// between, the level is where the first one has got to, not a chunk ahead.
TEST(FrameFifo, FillEstimateCountsAChunkStampedAheadOutAgain) {
    FrameFifo fifo(4096);
    const std::vector<float> in = ramp(1, 1024);
    const std::int64_t pushNs = 10 * kSecondNs;
    const std::int64_t chunkNs = 1024 * kSecondNs / 48000;
    ASSERT_EQ(fifo.push(in.data(), 1024, pushNs), 1024u);
    ASSERT_EQ(fifo.push(in.data(), 1024, pushNs + chunkNs), 1024u);
    for (const double ms : {0.0, 5.0, 10.0, 21.0, 30.0, 42.0}) {
        const auto atNs = pushNs + static_cast<std::int64_t>(ms * 1e6);
        // Less the last chunk, as the far half reads it: what has streamed in since the first.
        EXPECT_NEAR(fifo.fillEstimate(atNs, 48000.0) - 1024.0, 48.0 * ms, 1e-3) << ms << " ms";
    }
    EXPECT_DOUBLE_EQ(fifo.fillEstimate(pushNs - kSecondNs, 48000.0), 0.0) << "never below empty";
}

// One producer and one consumer thread, each with its own odd block sizes, through a FIFO
// small enough to run full and empty over and over: every frame arrives once, in order.
TEST(FrameFifo, TwoThreadsPassEveryFrameOnceAndInOrder) {
    constexpr std::uint32_t kFrames = 3'000'000;
    FrameFifo fifo(64);

    std::thread producer([&fifo] {
        const std::uint32_t sizes[] = {7, 31, 1, 64, 13, 50};
        std::vector<float> block(64);
        std::uint32_t next = 1;
        std::uint64_t now = 1;
        for (unsigned round = 0; next <= kFrames; ++round) {
            const std::uint32_t n = std::min(sizes[round % std::size(sizes)], kFrames + 1 - next);
            for (std::uint32_t i = 0; i < n; ++i) block[i] = static_cast<float>(next + i);
            std::uint32_t done = 0;
            while (done < n) {
                done += fifo.push(block.data() + done, n - done, static_cast<std::int64_t>(now++));
                if (done < n) std::this_thread::yield();
            }
            next += n;
        }
    });

    const std::uint32_t sizes[] = {5, 17, 64, 3, 29};
    std::vector<float> block(64);
    std::uint32_t expected = 1;
    std::uint32_t mismatches = 0;
    for (unsigned round = 0; expected <= kFrames; ++round) {
        const std::uint32_t got = fifo.pop(block.data(), sizes[round % std::size(sizes)]);
        if (got == 0) std::this_thread::yield();
        for (std::uint32_t i = 0; i < got; ++i) {
            if (block[i] != static_cast<float>(expected)) ++mismatches;
            ++expected;
        }
        // A fill estimate races with the producer on purpose: it must stay within the capacity
        // plus one offered block.
        const double fill = fifo.fillEstimate(static_cast<std::int64_t>(round) + 1, 48000.0);
        if (fill < 0.0 || fill > 64.0 + 64.0) ++mismatches;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(expected, kFrames + 1);
    EXPECT_EQ(fifo.writeTotal(), kFrames);
    EXPECT_EQ(fifo.readTotal(), kFrames);
    float extra;
    EXPECT_EQ(fifo.pop(&extra, 1), 0u) << "nothing beyond what was pushed";
}

}  // namespace
