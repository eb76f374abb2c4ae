#pragma once

// Device keys name one sound card across runs: "wasapi:", "asio:" or "null:" followed by
// an identifier the scan takes from the driver. The prefix alone tells which family of
// output drives the card, which matters for devices that are configured but not present.
// Pure functions; any thread.

#include <cstdint>
#include <string_view>

namespace core {

enum class DeviceFamily : std::uint8_t {
    Wasapi = 0,
    Asio = 1,
    Null = 2,  // test outputs
    NoFamily = 3,
};

inline constexpr std::string_view kWasapiKeyPrefix = "wasapi:";
inline constexpr std::string_view kAsioKeyPrefix = "asio:";
inline constexpr std::string_view kNullKeyPrefix = "null:";

// The family of a key by its prefix, compared byte for byte. A key needs at least one byte
// after its prefix: a bare prefix names no card and is NoFamily.
DeviceFamily familyOfKey(std::string_view key);

}  // namespace core
