#pragma once

// Reading the WAV files qova-player plays: 16, 24 or 32-bit integer or 32-bit float PCM
// (also in the extensible format), mono or stereo, at the rate the cards play. Platform-free,
// so that it is also tested natively.

#include <cstdint>
#include <cstdio>
#include <string>

namespace player {

struct WavFormat {
    std::uint16_t channels = 0;
    std::uint32_t rateHz = 0;
    std::uint16_t bits = 0;
    bool isFloat = false;
    std::uint32_t blockBytes = 0;  // bytes per frame
    std::uint64_t dataOffset = 0;
    std::uint64_t dataBytes = 0;
};

// Reads the "fmt " chunk's fields (size bytes at fmt); "" or why the file cannot be played.
std::string readFmtChunk(const unsigned char* fmt, std::uint32_t size, WavFormat& format);

// Walks the RIFF chunks of a file of fileBytes bytes, read from its start, up to "data".
// "" or why the file cannot be played. A data size larger than the file (recorders that were
// cut off) is cut to what the file holds.
std::string readWavHeader(std::FILE* file, std::uint64_t fileBytes, WavFormat& format);

// One sample at p as a float in [-1, 1); a non-finite float sample reads as 0.
float sampleAt(const unsigned char* p, const WavFormat& format);

}  // namespace player
