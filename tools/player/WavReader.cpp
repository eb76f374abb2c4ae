#include "tools/player/WavReader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/ring/CardRingLayout.h"

namespace player {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint32_t le24(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (std::uint32_t{p[2]} << 16);
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Files over 2 GiB are read too, so the offset is 64-bit on every platform.
int seekTo(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

}  // namespace

std::string readFmtChunk(const unsigned char* fmt, std::uint32_t size, WavFormat& format) {
    if (size < 16) return "its format chunk is too short";
    std::uint16_t tag = le16(fmt);
    format.channels = le16(fmt + 2);
    format.rateHz = le32(fmt + 4);
    format.blockBytes = le16(fmt + 12);
    format.bits = le16(fmt + 14);
    // WAVE_FORMAT_EXTENSIBLE names the real format in the first two bytes of its sub-format GUID.
    if (tag == 0xFFFE) {
        if (size < 40) return "its extensible format chunk is too short";
        tag = le16(fmt + 24);
    }
    if (tag != 1 && tag != 3) return "its sample format " + std::to_string(tag) + " is not PCM";
    format.isFloat = tag == 3;
    if (format.isFloat ? format.bits != 32 : format.bits != 16 && format.bits != 24 && format.bits != 32)
        return std::to_string(format.bits) + (format.isFloat ? "-bit float" : "-bit integer") +
               " samples are not supported";
    if (format.channels != 1 && format.channels != 2)
        return "it has " + std::to_string(format.channels) + " channels; mono and stereo files play";
    if (format.rateHz != core::kRingRateHz)
        return "it is at " + std::to_string(format.rateHz) + " Hz; cards play 48000 Hz, so convert it first";
    if (format.blockBytes != format.channels * format.bits / 8) return "its block size does not match its format";
    return {};
}

std::string readWavHeader(std::FILE* file, std::uint64_t fileBytes, WavFormat& format) {
    unsigned char riff[12];
    if (std::fread(riff, 1, 12, file) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return "it is not a WAV file";
    bool haveFormat = false;
    std::uint64_t at = 12;
    for (;;) {
        unsigned char chunk[8];
        if (std::fread(chunk, 1, 8, file) != 8) return haveFormat ? "it has no data chunk" : "it has no format chunk";
        const std::uint32_t size = le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            std::vector<unsigned char> fmt(std::min<std::uint32_t>(size, 64));
            if (std::fread(fmt.data(), 1, fmt.size(), file) != fmt.size()) return "its format chunk is cut short";
            const std::string problem = readFmtChunk(fmt.data(), static_cast<std::uint32_t>(fmt.size()), format);
            if (!problem.empty()) return problem;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return "its data comes before its format";
            format.dataOffset = at;
            // Recorders that were cut off leave the size too large (or 0xFFFFFFFF); the file decides.
            format.dataBytes = std::min<std::uint64_t>(size, fileBytes > at ? fileBytes - at : 0);
            return {};
        }
        at += size + (size & 1);  // chunks are padded to an even size
        if (at >= fileBytes || seekTo(file, at) != 0)
            return haveFormat ? "it has no data chunk" : "it has no format chunk";
    }
}

float sampleAt(const unsigned char* p, const WavFormat& format) {
    if (format.isFloat) {
        float value;
        std::memcpy(&value, p, sizeof value);
        return std::isfinite(value) ? value : 0.0f;
    }
    switch (format.bits) {
    case 16: return static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
    case 24: {
        const std::int32_t value = static_cast<std::int32_t>(le24(p) << 8) >> 8;
        return static_cast<float>(value) / 8388608.0f;
    }
    default: return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(le32(p))) / 2147483648.0);
    }
}

}  // namespace player
