#include "tools/player/WavReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace player {
namespace {

// A WAV file built chunk by chunk, read back through a real temporary file.
class WavBytes {
public:
    WavBytes& chunk(std::string_view id, const std::vector<unsigned char>& body, std::uint32_t statedSize = 0) {
        bytes_.insert(bytes_.end(), id.begin(), id.end());
        put32(statedSize != 0 ? statedSize : static_cast<std::uint32_t>(body.size()));
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        if (body.size() % 2 != 0) bytes_.push_back(0);  // chunks are padded to an even size
        return *this;
    }

    static std::vector<unsigned char> fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                                          std::uint16_t bits, std::uint16_t subTag = 0) {
        WavBytes body;
        body.put16(tag);
        body.put16(channels);
        body.put32(rate);
        body.put32(rate * channels * bits / 8);
        body.put16(static_cast<std::uint16_t>(channels * bits / 8));
        body.put16(bits);
        if (tag == 0xFFFE) {
            body.put16(22);
            body.put16(bits);
            body.put32(channels == 2 ? 3 : 4);
            body.put16(subTag);  // the sub-format GUID's first two bytes name the format
            body.bytes_.resize(body.bytes_.size() + 14, 0);
        }
        return body.bytes_;
    }

    // Reads the header of magic, size, "WAVE" and the chunks, from a real file.
    std::string read(WavFormat& format, std::string_view magic = "RIFF") const {
        std::vector<unsigned char> file(magic.begin(), magic.end());
        const auto size = static_cast<std::uint32_t>(bytes_.size() + 4);
        for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(size >> (8 * i)));
        file.insert(file.end(), {'W', 'A', 'V', 'E'});
        file.insert(file.end(), bytes_.begin(), bytes_.end());
        const std::unique_ptr<std::FILE, Closer> temporary(std::tmpfile());
        if (!temporary || std::fwrite(file.data(), 1, file.size(), temporary.get()) != file.size()) {
            return "no temporary file";
        }
        std::rewind(temporary.get());
        return readWavHeader(temporary.get(), file.size(), format);
    }

    void put16(std::uint16_t value) {
        for (int i = 0; i < 2; ++i) bytes_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
    void put32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }

private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::vector<unsigned char> bytes_;
};

const std::vector<unsigned char> kFourBytes(4, 0);

TEST(WavReader, ReadsEveryPlayableFormatUpToItsData) {
    struct Case {
        const char* name;
        std::vector<unsigned char> fmt;
        std::uint16_t channels, bits;
        bool isFloat;
    };
    const Case cases[] = {
        {"16-bit stereo", WavBytes::fmt(1, 2, 48000, 16), 2, 16, false},
        {"24-bit mono", WavBytes::fmt(1, 1, 48000, 24), 1, 24, false},
        {"32-bit integer", WavBytes::fmt(1, 2, 48000, 32), 2, 32, false},
        {"32-bit float", WavBytes::fmt(3, 2, 48000, 32), 2, 32, true},
        {"extensible float", WavBytes::fmt(0xFFFE, 2, 48000, 32, 3), 2, 32, true},
        {"extensible 24-bit", WavBytes::fmt(0xFFFE, 1, 48000, 24, 1), 1, 24, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // An odd-sized chunk before the format is skipped with its pad byte.
        WavBytes file;
        file.chunk("LIST", {1, 2, 3}).chunk("fmt ", c.fmt).chunk("data", std::vector<unsigned char>(24, 0));
        WavFormat format;
        ASSERT_EQ(file.read(format), "");
        EXPECT_EQ(format.channels, c.channels);
        EXPECT_EQ(format.bits, c.bits);
        EXPECT_EQ(format.isFloat, c.isFloat);
        EXPECT_EQ(format.rateHz, 48000u);
        EXPECT_EQ(format.blockBytes, c.channels * c.bits / 8u);
        EXPECT_EQ(format.dataOffset, 12 + 12 + 8 + c.fmt.size() + 8);
        EXPECT_EQ(format.dataBytes, 24u);
    }

    // A recorder cut off leaves the data size too large: the file decides.
    WavBytes cutOff;
    cutOff.chunk("fmt ", WavBytes::fmt(1, 2, 48000, 16)).chunk("data", std::vector<unsigned char>(8, 0), 0xFFFFFFFF);
    WavFormat format;
    ASSERT_EQ(cutOff.read(format), "");
    EXPECT_EQ(format.dataBytes, 8u);
}

TEST(WavReader, SaysWhyAFileCannotBePlayed) {
    struct Case {
        WavBytes file;
        const char* magic;
        std::string problem;
    };
    const std::vector<unsigned char> data(8, 0);
    Case cases[] = {
        {WavBytes().chunk("fmt ", WavBytes::fmt(1, 2, 48000, 16)).chunk("data", data), "RIFX", "it is not a WAV file"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(1, 2, 44100, 16)).chunk("data", data), "RIFF",
         "it is at 44100 Hz; cards play 48000 Hz, so convert it first"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(1, 2, 48000, 8)).chunk("data", data), "RIFF",
         "8-bit integer samples are not supported"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(3, 2, 48000, 64)).chunk("data", data), "RIFF",
         "64-bit float samples are not supported"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(1, 3, 48000, 16)).chunk("data", data), "RIFF",
         "it has 3 channels; mono and stereo files play"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(2, 2, 48000, 16)).chunk("data", data), "RIFF",
         "its sample format 2 is not PCM"},
        {WavBytes().chunk("fmt ", kFourBytes).chunk("data", data), "RIFF", "its format chunk is too short"},
        {WavBytes().chunk("data", data).chunk("fmt ", WavBytes::fmt(1, 2, 48000, 16)), "RIFF",
         "its data comes before its format"},
        {WavBytes().chunk("fmt ", WavBytes::fmt(1, 2, 48000, 16)), "RIFF", "it has no data chunk"},
        {WavBytes().chunk("LIST", data), "RIFF", "it has no format chunk"},
    };
    for (const Case& c : cases) {
        WavFormat format;
        EXPECT_EQ(c.file.read(format, c.magic), c.problem);
    }
}

TEST(WavReader, SamplesReadAsFloatsWithNonFiniteOnesSilent) {
    WavFormat format;
    format.bits = 16;
    const unsigned char int16[][2] = {{0x00, 0x80}, {0xff, 0x7f}, {0x00, 0x00}, {0x00, 0x40}};
    EXPECT_EQ(sampleAt(int16[0], format), -1.0f);
    EXPECT_EQ(sampleAt(int16[1], format), 32767.0f / 32768.0f);
    EXPECT_EQ(sampleAt(int16[2], format), 0.0f);
    EXPECT_EQ(sampleAt(int16[3], format), 0.5f);

    format.bits = 24;  // the sign comes from the top byte
    const unsigned char int24[][3] = {{0x00, 0x00, 0x80}, {0xff, 0xff, 0x7f}, {0xff, 0xff, 0xff}};
    EXPECT_EQ(sampleAt(int24[0], format), -1.0f);
    EXPECT_EQ(sampleAt(int24[1], format), 8388607.0f / 8388608.0f);
    EXPECT_EQ(sampleAt(int24[2], format), -1.0f / 8388608.0f);

    format.bits = 32;
    const unsigned char int32[][4] = {{0x00, 0x00, 0x00, 0x80}, {0x00, 0x00, 0x00, 0x40}};
    EXPECT_EQ(sampleAt(int32[0], format), -1.0f);
    EXPECT_EQ(sampleAt(int32[1], format), 0.5f);

    format.isFloat = true;
    for (const float value : {0.25f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
        unsigned char bytes[4];
        std::memcpy(bytes, &value, sizeof bytes);
        EXPECT_EQ(sampleAt(bytes, format), std::isfinite(value) ? value : 0.0f) << value;
    }
}

}  // namespace
}  // namespace player
