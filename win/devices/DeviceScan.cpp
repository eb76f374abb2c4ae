#include "win/devices/DeviceScan.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "miniaudio.h"
#include "win/base/Text.h"

namespace win {

namespace {

// The two process-wide contexts. Each is made once and then kept for the rest of the process:
// outputs and scans hold on to the pointer without a lock, so it must never be uninitialised
// or moved. A failed initialisation leaves its ready flag false and is tried again next time.
struct ContextSlot {
    ma_context context;
    bool ready;  // under contextMutex
};

std::mutex contextMutex;
constinit ContextSlot wasapiContext{};
constinit ContextSlot nullContext{};

struct EnumeratedDevices {
    std::vector<ma_device_info> playback;
    bool outOfMemory = false;
};

// Under miniaudio's enumeration lock, on the calling thread. Copies the playback devices out,
// since the context's own device list is reused by the next enumeration from any thread.
ma_bool32 collectPlaybackDevice(ma_context*, ma_device_type type, const ma_device_info* info, void* user) {
    auto* devices = static_cast<EnumeratedDevices*>(user);
    if (type != ma_device_type_playback) return MA_TRUE;
    try {
        devices->playback.push_back(*info);
    } catch (const std::bad_alloc&) {
        devices->outOfMemory = true;  // no exception may cross miniaudio's C frames
        return MA_FALSE;
    }
    return MA_TRUE;
}

// The shared-mode format of an endpoint: the first native format that is not exclusive-only,
// else the first format at all. Stays 0/0 when the device has no format.
void takeSharedFormat(const ma_device_info& details, DeviceInfo& record) {
    const ma_uint32 count = std::min<ma_uint32>(details.nativeDataFormatCount, std::size(details.nativeDataFormats));
    for (ma_uint32 i = 0; i < count; ++i) {
        if ((details.nativeDataFormats[i].flags & MA_DATA_FORMAT_FLAG_EXCLUSIVE_MODE) != 0) continue;
        record.channels = details.nativeDataFormats[i].channels;
        record.sampleRate = details.nativeDataFormats[i].sampleRate;
        break;
    }
    if (record.channels == 0 && count > 0) {
        record.channels = details.nativeDataFormats[0].channels;
        record.sampleRate = details.nativeDataFormats[0].sampleRate;
    }
}

}  // namespace

// Any thread.
ma_context* audioContext(DeviceFamily family) {
    const bool isNull = family == DeviceFamily::Null;
    ContextSlot& slot = isNull ? nullContext : wasapiContext;
    const ma_backend backend = isNull ? ma_backend_null : ma_backend_wasapi;
    const std::lock_guard lock(contextMutex);
    if (!slot.ready) slot.ready = ma_context_init(&backend, 1, nullptr, &slot.context) == MA_SUCCESS;
    return slot.ready ? &slot.context : nullptr;
}

// Any thread.
std::string wasapiKeyOfEndpoint(const wchar_t* endpointId, std::size_t capacity) {
    const std::wstring_view id(endpointId, wcsnlen(endpointId, capacity));
    return std::string(core::kWasapiKeyPrefix) + toUtf8(id);
}

DeviceInfo makeTestOutput(std::uint32_t index, std::uint32_t channels, std::uint32_t sampleRate) {
    DeviceInfo info;
    info.key = std::string(core::kNullKeyPrefix) + std::to_string(index);
    info.name = "Test output " + std::to_string(std::uint64_t{index} + 1) + " (" + std::to_string(channels) + " ch, " +
                std::to_string(sampleRate) + " Hz)";
    info.family = DeviceFamily::Null;
    info.channels = channels;
    info.sampleRate = sampleRate;
    return info;
}

std::vector<DeviceInfo> listWasapiDevices(std::string& error) {
    error.clear();
    ma_context* context = audioContext(DeviceFamily::Wasapi);
    if (context == nullptr) {
        error = "the Windows audio system could not be started";
        return {};
    }
    EnumeratedDevices found;
    if (ma_context_enumerate_devices(context, collectPlaybackDevice, &found) != MA_SUCCESS || found.outOfMemory) {
        error = "Windows did not list its sound cards";
        return {};
    }

    std::vector<DeviceInfo> devices;
    devices.reserve(found.playback.size());
    for (const ma_device_info& endpoint : found.playback) {
        DeviceInfo record;
        record.key = wasapiKeyOfEndpoint(endpoint.id.wasapi, std::size(endpoint.id.wasapi));
        record.name.assign(endpoint.name, strnlen(endpoint.name, sizeof(endpoint.name)));
        record.family = DeviceFamily::Wasapi;
        record.isDefault = endpoint.isDefault != MA_FALSE;
        // Asking for the details opens the endpoint; a card that refuses is still listed.
        ma_device_info details{};
        if (ma_context_get_device_info(context, ma_device_type_playback, &endpoint.id, &details) == MA_SUCCESS) {
            takeSharedFormat(details, record);
        }
        devices.push_back(std::move(record));
    }
    return devices;
}

}  // namespace win
