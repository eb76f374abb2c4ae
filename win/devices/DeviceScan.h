#pragma once

// The sound cards QOVA can play on right now, named by device keys that stay the same from
// run to run: the test outputs made at start, the WASAPI playback endpoints and the
// installed ASIO drivers. The scan keeps no state between calls.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/settings/DeviceKey.h"

struct ma_context;

namespace win {

using core::DeviceFamily;

// "wasapi:" + endpoint id, "asio:" + driver name, or "null:" + test output index.
using DeviceKey = std::string;

struct DeviceInfo {
    DeviceKey key;
    std::string name;  // as shown to the user
    DeviceFamily family = DeviceFamily::NoFamily;
    std::uint32_t channels = 0;    // of the shared-mode format; 0 when unknown (always for ASIO)
    std::uint32_t sampleRate = 0;  // Hz, likewise
    bool isDefault = false;        // Windows' default playback device
};

// The process-wide miniaudio context for a family: the null backend for Null, WASAPI for the
// rest. Made on first use; null when it cannot be made (the next call tries again). Any thread.
ma_context* audioContext(DeviceFamily family);

// A test output on miniaudio's null backend: key "null:<index>".
DeviceInfo makeTestOutput(std::uint32_t index, std::uint32_t channels, std::uint32_t sampleRate);

// The WASAPI playback endpoints, in miniaudio's order. `error` gets a text when the list
// could not be made and is emptied otherwise. UI thread.
std::vector<DeviceInfo> listWasapiDevices(std::string& error);

// "wasapi:" + the UTF-8 form of a WASAPI endpoint id held in a buffer of `capacity` wide
// characters (miniaudio's device id), ending at its terminator or at the end of the buffer.
// The scan names endpoints with it and the outputs find them again by it. Any thread.
std::string wasapiKeyOfEndpoint(const wchar_t* endpointId, std::size_t capacity);

// The installed ASIO drivers, from the registry; no driver is loaded. UI thread.
std::vector<DeviceInfo> listAsioDevices();

}  // namespace win
