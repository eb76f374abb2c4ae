#include "core/signal/AsioFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using core::asioSampleBytes;
using core::AsioSampleType;
using core::chooseAsioBufferSize;
using core::writeAsioChannel;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

constexpr std::int32_t raw(AsioSampleType type) {
    return static_cast<std::int32_t>(type);
}

// --- buffer size ---------------------------------------------------------------------------------

struct BufferCase {
    std::uint32_t requested;
    std::int32_t minimum, maximum, preferred, granularity;
    std::uint32_t expected;
};

void expectChoices(const std::vector<BufferCase>& cases) {
    for (const BufferCase& c : cases) {
        EXPECT_EQ(chooseAsioBufferSize(c.requested, c.minimum, c.maximum, c.preferred, c.granularity), c.expected)
            << c.requested << " / " << c.minimum << " / " << c.maximum << " / " << c.preferred << " / "
            << c.granularity;
    }
}

TEST(AsioBufferSize, PowersOfTwoTakeTheNearestWithTiesGoingUp) {
    expectChoices({
        {100, 64, 2048, 256, -1, 128},
        {96, 64, 2048, 256, -1, 128},  // 64 and 128 are both 32 away
        {95, 64, 2048, 256, -1, 64},
        {3000, 64, 2048, 256, -1, 2048},
        {1, 64, 2048, 256, -1, 64},
        {700, 100, 1000, 256, -1, 512},
        {90, 100, 120, 110, -1, 110},  // no power of two in range: the preferred size
        {90, 100, 120, 500, -1, 100},  // ... or, out of range, the minimum
        {kMax, 1, kMax, 0, -1, 1u << 30},
    });
}

TEST(AsioBufferSize, RequestZeroTakesThePreferredSizeWhenInRange) {
    expectChoices({
        {0, 64, 2048, 256, -1, 256},
        {0, 64, 2048, 4096, -1, 64},
        {0, 64, 2048, 0, 32, 64},
        {0, 64, 2048, -5, 32, 64},
    });
}

TEST(AsioBufferSize, PositiveGranularityCountsStepsFromTheMinimum) {
    expectChoices({
        {112, 64, 1024, 256, 32, 128},  // halfway rounds up
        {100, 64, 1024, 256, 32, 96},
        {5000, 64, 1000, 256, 32, 992},  // the last whole step below the maximum
        {1000, 64, 1000, 256, 32, 992},
        {70, 64, 1000, 256, 7, 71},
        {300, 256, 256, 512, 0, 256},  // minimum = maximum
        {300, 64, 2048, 512, 0, 300},  // granularity 0: any size in range
        {10, 64, 2048, 512, 0, 64},
        {300, 64, 2048, 512, -2, 512},  // an unknown negative granularity
        {300, 64, 2048, 4096, -7, 64},
    });
}

TEST(AsioBufferSize, ADriverWithoutAUsableRangeGetsItsPreferredSizeOrNothing) {
    expectChoices({
        {300, 0, 2048, 512, 0, 512},
        {300, 0, 2048, 0, 0, 0},
        {300, 0, 2048, -1, 0, 0},
        {300, -64, 2048, 128, 32, 128},
        {300, 512, 256, 384, 32, 384},  // maximum below minimum
        {0, 0, 0, 0, 0, 0},
    });
}

TEST(AsioBufferSize, ExtremeValuesDoNotOverflow) {
    expectChoices({
        {0xffffffffu, 1, kMax, 0, kMax, 1},
        {0xffffffffu, 1, kMax, 0, 0, static_cast<std::uint32_t>(kMax)},
        {0xffffffffu, kMax - 1, kMax, 0, kMax, static_cast<std::uint32_t>(kMax - 1)},
        {0xffffffffu, 2, kMax, 0, kMax - 1, 2},
        {0xffffffffu, 1, kMax, 0, 1 << 30, (1u << 30) + 1},
        {0xffffffffu, 1, kMax, 0, kMin, 1},
        {0xffffffffu, 1, kMax, kMax, kMin, static_cast<std::uint32_t>(kMax)},
        {5, kMin, kMax, kMax, 1, static_cast<std::uint32_t>(kMax)},
        {5, kMax, kMin, kMax, 1, static_cast<std::uint32_t>(kMax)},
        {5, kMax, kMax, 0, -1, static_cast<std::uint32_t>(kMax)},
        {5, (1 << 30) + 1, kMax, 0, -1, (1u << 30) + 1},  // no power of two in range
    });
}

// --- sample writing ------------------------------------------------------------------------------

using Bytes = std::vector<unsigned char>;

// One channel of `samples` written in `type`, with guard bytes on either side of the buffer.
Bytes written(AsioSampleType type, const std::vector<float>& samples) {
    const std::uint32_t width = asioSampleBytes(raw(type));
    Bytes buffer(samples.size() * width + 16, 0xAA);
    writeAsioChannel(raw(type), samples.data(), 1, 0, buffer.data() + 8, static_cast<std::uint32_t>(samples.size()));
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(buffer[i], 0xAA) << "written before the buffer";
        EXPECT_EQ(buffer[buffer.size() - 1 - i], 0xAA) << "written past the buffer";
    }
    return Bytes(buffer.begin() + 8, buffer.end() - 8);
}

Bytes swapped(const Bytes& bytes, std::size_t width) {
    Bytes out(bytes.size());
    for (std::size_t at = 0; at < bytes.size(); at += width)
        for (std::size_t b = 0; b < width; ++b) out[at + b] = bytes[at + width - 1 - b];
    return out;
}

Bytes littleEndian(std::int64_t value, std::size_t width) {
    Bytes out(width);
    for (std::size_t b = 0; b < width; ++b)
        out[b] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * b));
    return out;
}

struct IntegerType {
    AsioSampleType lsb;
    AsioSampleType msb;
    std::size_t width;
    std::int64_t scale;
};

const IntegerType kIntegerTypes[] = {
    {AsioSampleType::Int16Lsb, AsioSampleType::Int16Msb, 2, 32767},
    {AsioSampleType::Int24Lsb, AsioSampleType::Int24Msb, 3, 8388607},
    {AsioSampleType::Int32Lsb, AsioSampleType::Int32Msb, 4, 2147483647},
    {AsioSampleType::Int32Lsb16, AsioSampleType::Int32Msb16, 4, 32767},
    {AsioSampleType::Int32Lsb18, AsioSampleType::Int32Msb18, 4, 131071},
    {AsioSampleType::Int32Lsb20, AsioSampleType::Int32Msb20, 4, 524287},
    {AsioSampleType::Int32Lsb24, AsioSampleType::Int32Msb24, 4, 8388607},
};

TEST(AsioSampleWriting, ExamplesGiveTheirExactBytes) {
    EXPECT_EQ(written(AsioSampleType::Int16Lsb, {1.5f, -1.0f}), (Bytes{0xFF, 0x7F, 0x01, 0x80}));
    EXPECT_EQ(written(AsioSampleType::Int24Msb, {0.5f}), (Bytes{0x40, 0x00, 0x00}));
    EXPECT_EQ(written(AsioSampleType::Int24Lsb, {-0.5f}), (Bytes{0x00, 0x00, 0xC0}));
    EXPECT_EQ(written(AsioSampleType::Int32Msb, {1.0f, -2.0f}),
              (Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(written(AsioSampleType::Int32Lsb16, {-1.0f}), (Bytes{0x01, 0x80, 0xFF, 0xFF}));
    EXPECT_EQ(written(AsioSampleType::Float32Lsb, {1.0f, -0.5f}),
              (Bytes{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xBF}));
    EXPECT_EQ(written(AsioSampleType::Float32Msb, {3.0f}), (Bytes{0x3F, 0x80, 0x00, 0x00}));
    EXPECT_EQ(written(AsioSampleType::Float64Lsb, {-4.0f}), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}));
    EXPECT_EQ(written(AsioSampleType::Float64Msb, {0.25f}), (Bytes{0x3F, 0xD0, 0, 0, 0, 0, 0, 0}));
}

TEST(AsioSampleWriting, IntegerTypesClampRoundHalvesAwayFromZeroAndWriteNaNAsZero) {
    for (const IntegerType& type : kIntegerTypes) {
        SCOPED_TRACE(raw(type.lsb));
        EXPECT_EQ(asioSampleBytes(raw(type.lsb)), type.width);
        EXPECT_EQ(asioSampleBytes(raw(type.msb)), type.width);
        const double s = static_cast<double>(type.scale);
        // Exact halves (0.5 x scale ends in .5), values beside a half, and values beyond the range.
        const float half = static_cast<float>(2.5 / s);
        const std::vector<float> samples = {0.0f,
                                            1.0f,
                                            -1.0f,
                                            7.0f,
                                            -7.0f,
                                            half,
                                            -half,
                                            0.5f,
                                            -0.5f,
                                            std::numeric_limits<float>::quiet_NaN(),
                                            std::numeric_limits<float>::infinity(),
                                            -std::numeric_limits<float>::infinity()};
        Bytes expected;
        for (const float x : samples) {
            std::int64_t value = 0;
            if (!std::isnan(x)) {
                const double clamped = std::fmax(-1.0, std::fmin(1.0, static_cast<double>(x)));
                value = static_cast<std::int64_t>(std::round(clamped * s));  // std::round: halves away from zero
            }
            const Bytes one = littleEndian(value, type.width);
            expected.insert(expected.end(), one.begin(), one.end());
        }
        EXPECT_EQ(written(type.lsb, samples), expected);
        EXPECT_EQ(written(type.msb, samples), swapped(expected, type.width));
    }
    // 0.5 x 8388607 is 4194303.5: away from zero is 4194304 and -4194304.
    EXPECT_EQ(written(AsioSampleType::Int32Lsb24, {0.5f, -0.5f}),
              (Bytes{0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0xC0, 0xFF}));
}

TEST(AsioSampleWriting, FloatTypesClampAndWriteNaNAsZero) {
    const std::vector<float> samples = {0.25f, 1.0000001f, -3.0f, std::numeric_limits<float>::quiet_NaN(), 1e-30f};
    const float clamped[] = {0.25f, 1.0f, -1.0f, 0.0f, 1e-30f};
    Bytes expected32;
    Bytes expected64;
    for (const float x : clamped) {
        unsigned char bytes32[4];
        std::memcpy(bytes32, &x, 4);
        expected32.insert(expected32.end(), bytes32, bytes32 + 4);
        const double wide = x;
        unsigned char bytes64[8];
        std::memcpy(bytes64, &wide, 8);
        expected64.insert(expected64.end(), bytes64, bytes64 + 8);
    }
    EXPECT_EQ(written(AsioSampleType::Float32Lsb, samples), expected32);  // these tests run on little-endian machines
    EXPECT_EQ(written(AsioSampleType::Float32Msb, samples), swapped(expected32, 4));
    EXPECT_EQ(written(AsioSampleType::Float64Lsb, samples), expected64);
    EXPECT_EQ(written(AsioSampleType::Float64Msb, samples), swapped(expected64, 8));
}

TEST(AsioSampleWriting, TakesItsChannelOutOfInterleavedFrames) {
    // Three channels of four frames; each sample names its channel and frame.
    std::vector<float> staging;
    for (int frame = 0; frame < 4; ++frame)
        for (int channel = 0; channel < 3; ++channel)
            staging.push_back(static_cast<float>(channel * 10 + frame) / 100.0f);
    for (std::uint32_t channel = 0; channel < 3; ++channel) {
        SCOPED_TRACE(channel);
        std::int16_t out[5] = {111, 111, 111, 111, 111};
        writeAsioChannel(raw(AsioSampleType::Int16Lsb), staging.data(), 3, channel, out, 4);
        for (int frame = 0; frame < 4; ++frame)
            EXPECT_EQ(out[frame], static_cast<std::int16_t>(std::lround(staging[frame * 3 + channel] * 32767.0)));
        EXPECT_EQ(out[4], 111) << "wrote a fifth frame";
    }
}

TEST(AsioSampleWriting, UnknownTypesWriteNothing) {
    const std::vector<float> staging(8, 0.5f);
    for (const std::int32_t type : {-1, 5, 6, 7, 12, 15, 21, 23, 28, 32, 33, 40, 1000, kMin}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(asioSampleBytes(type), 0u);
        Bytes buffer(64, 0xAA);
        writeAsioChannel(type, staging.data(), 1, 0, buffer.data(), 8);
        EXPECT_EQ(buffer, Bytes(64, 0xAA));
    }
}

}  // namespace
