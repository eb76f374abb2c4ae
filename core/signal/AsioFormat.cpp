#include "core/signal/AsioFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace core {

namespace {

enum class Coding : std::uint8_t { None, Integer, Float32, Float64 };

struct TypeFormat {
    Coding coding = Coding::None;
    std::uint8_t widthBytes = 0;
    bool bigEndian = false;
    double scale = 0.0;  // integers only: what +1.0 becomes
};

// Indexed by sample type number; the MSB half mirrors the LSB half 16 places lower.
constexpr TypeFormat formatOf(std::int32_t type) {
    const bool bigEndian = type < 16;
    switch (type % 16) {
    case 0: return {Coding::Integer, 2, bigEndian, 32767.0};
    case 1: return {Coding::Integer, 3, bigEndian, 8388607.0};
    case 2: return {Coding::Integer, 4, bigEndian, 2147483647.0};
    case 3: return {Coding::Float32, 4, bigEndian, 0.0};
    case 4: return {Coding::Float64, 8, bigEndian, 0.0};
    case 8: return {Coding::Integer, 4, bigEndian, 32767.0};
    case 9: return {Coding::Integer, 4, bigEndian, 131071.0};
    case 10: return {Coding::Integer, 4, bigEndian, 524287.0};
    case 11: return {Coding::Integer, 4, bigEndian, 8388607.0};
    default: return {};
    }
}

constexpr int kTypeCount = 32;

constexpr auto makeFormats() {
    struct Table {
        TypeFormat formats[kTypeCount];
    } table{};
    for (int type = 0; type < kTypeCount; ++type) table.formats[type] = formatOf(type);
    return table;
}

constexpr auto kFormats = makeFormats();

static_assert(kFormats.formats[static_cast<int>(AsioSampleType::Int24Lsb)].widthBytes == 3);
static_assert(kFormats.formats[static_cast<int>(AsioSampleType::Int32Msb16)].scale == 32767.0);
static_assert(kFormats.formats[static_cast<int>(AsioSampleType::Float64Lsb)].coding == Coding::Float64);
static_assert(kFormats.formats[5].coding == Coding::None && kFormats.formats[28].coding == Coding::None);

const TypeFormat* findFormat(std::int32_t type) {
    if (type < 0 || type >= kTypeCount) return nullptr;
    const TypeFormat& format = kFormats.formats[type];
    return format.coding == Coding::None ? nullptr : &format;
}

// Stores the low `widthBytes` bytes of `bits` in the requested byte order.
inline void storeBits(std::uint64_t bits, unsigned char* out, unsigned widthBytes, bool bigEndian) {
    for (unsigned b = 0; b < widthBytes; ++b) {
        const auto byte = static_cast<unsigned char>(bits >> (8 * b));
        out[bigEndian ? widthBytes - 1 - b : b] = byte;
    }
}

// NaN compares false both ways, so it must be caught before clamping lets it through.
inline float clampSample(float x) {
    if (std::isnan(x)) return 0.0f;
    return x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : x);
}

std::uint64_t encode(const TypeFormat& format, float sample) {
    const float x = clampSample(sample);
    switch (format.coding) {
    case Coding::Integer: {
        const double scaled = static_cast<double>(x) * format.scale;
        // Truncating after adding a half away from zero rounds halves away from zero; at
        // most 2^31 - 1 in magnitude, which a double holds exactly.
        const auto value = static_cast<std::int64_t>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
        return static_cast<std::uint64_t>(value);
    }
    case Coding::Float32: {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &x, sizeof bits);
        return bits;
    }
    case Coding::Float64: {
        const double wide = x;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &wide, sizeof bits);
        return bits;
    }
    case Coding::None: break;
    }
    return 0;
}

bool inRange(std::int64_t value, std::int64_t minimum, std::int64_t maximum) {
    return minimum <= value && value <= maximum;
}

}  // namespace

// Any thread.
std::uint32_t asioSampleBytes(std::int32_t type) {
    const TypeFormat* format = findFormat(type);
    return format == nullptr ? 0 : format->widthBytes;
}

// Any thread. 64-bit arithmetic throughout: a driver may answer anything in its four values.
std::uint32_t chooseAsioBufferSize(std::uint32_t requestedFrames, std::int32_t minimumFrames,
                                   std::int32_t maximumFrames, std::int32_t preferredFrames, std::int32_t granularity) {
    const std::int64_t minimum = minimumFrames;
    const std::int64_t maximum = maximumFrames;
    const std::int64_t preferred = preferredFrames > 0 ? preferredFrames : 0;
    const std::int64_t preferredOrMinimum = inRange(preferred, minimum, maximum) ? preferred : minimum;

    if (minimum <= 0 || maximum < minimum) return static_cast<std::uint32_t>(preferred);
    if (requestedFrames == 0) return static_cast<std::uint32_t>(preferredOrMinimum);
    if (minimum == maximum) return static_cast<std::uint32_t>(minimum);

    const std::int64_t clamped = std::min<std::int64_t>(std::max<std::int64_t>(requestedFrames, minimum), maximum);
    if (granularity == 0) return static_cast<std::uint32_t>(clamped);

    if (granularity == -1) {
        std::int64_t best = 0;
        for (std::int64_t power = 1; power <= maximum && power <= INT32_MAX; power *= 2) {
            if (power < minimum) continue;
            // Powers only grow, so on equal distance the later (larger) one wins.
            if (best == 0 || std::llabs(power - clamped) <= std::llabs(best - clamped)) best = power;
        }
        return static_cast<std::uint32_t>(best != 0 ? best : preferredOrMinimum);
    }
    if (granularity < 0) return static_cast<std::uint32_t>(preferredOrMinimum);

    const std::int64_t step = granularity;
    const std::int64_t offset = clamped - minimum + step / 2;
    std::int64_t result = minimum + offset - offset % step;
    while (result > maximum) result -= step;
    return static_cast<std::uint32_t>(result);
}

// Render thread: no allocation, no lock.
void writeAsioChannel(std::int32_t type, const float* staging, std::uint32_t channels, std::uint32_t channel,
                      void* buffer, std::uint32_t frames) {
    const TypeFormat* found = findFormat(type);
    if (found == nullptr || buffer == nullptr || channel >= channels) return;
    const TypeFormat format = *found;
    auto* out = static_cast<unsigned char*>(buffer);
    const float* in = staging + channel;
    for (std::uint32_t f = 0; f < frames; ++f, in += channels, out += format.widthBytes)
        storeBits(encode(format, *in), out, format.widthBytes, format.bigEndian);
}

}  // namespace core
