#pragma once

// The platform-free arithmetic of the ASIO output: which buffer size to ask a driver for, and
// how one channel of interleaved float samples is written in the driver's own sample type.
// Kept apart from the driver calls so that both build natively and run under the sanitizers.

#include <cstdint>

namespace core {

// ASIO's sample type numbers: below 16 the big-endian (MSB) types, from 16 the little-endian
// (LSB) types in the same order. The Int32 types with a suffix are 32-bit containers holding
// a smaller integer right-aligned. Only these are written; every other type (the DSD types
// among them) plays silence.
enum class AsioSampleType : std::int32_t {
    Int16Msb = 0,
    Int24Msb = 1,
    Int32Msb = 2,
    Float32Msb = 3,
    Float64Msb = 4,
    Int32Msb16 = 8,
    Int32Msb18 = 9,
    Int32Msb20 = 10,
    Int32Msb24 = 11,
    Int16Lsb = 16,
    Int24Lsb = 17,
    Int32Lsb = 18,
    Float32Lsb = 19,
    Float64Lsb = 20,
    Int32Lsb16 = 24,
    Int32Lsb18 = 25,
    Int32Lsb20 = 26,
    Int32Lsb24 = 27,
};

// Any thread. Bytes of one sample of a type QOVA writes; 0 for every other type.
std::uint32_t asioSampleBytes(std::int32_t type);

// Any thread. The buffer size to ask a driver for, given the user's request (0: the driver's
// choice) and the driver's minimum, maximum, preferred size and granularity (-1: powers of
// two). 0 when the driver offers no usable size. Never overflows, whatever the driver says.
std::uint32_t chooseAsioBufferSize(std::uint32_t requestedFrames, std::int32_t minimumFrames,
                                   std::int32_t maximumFrames, std::int32_t preferredFrames, std::int32_t granularity);

// Render thread: no allocation, no lock. Writes channel `channel` of `frames` interleaved
// frames of `staging` (`channels` samples a frame) into `buffer` in sample type `type`,
// packed, clamped to -1..+1; integers round to nearest with halves away from zero, and a NaN
// sample stores 0. A type asioSampleBytes does not know leaves the buffer untouched.
void writeAsioChannel(std::int32_t type, const float* staging, std::uint32_t channels, std::uint32_t channel,
                      void* buffer, std::uint32_t frames);

}  // namespace core
