// qova-starter-config DATA_FOLDER: the settings scripts/run gives QOVA on its first start on a
// Debian machine, so that a newcomer finds cards ready to play. Its PulseAudio daemon offers two
// sound cards, ZoneA (stereo) and ZoneB (8 channels): both are turned on, with
//   "Living room"       stereo, ZoneB channels 3 and 4
//   "Kitchen", "Porch"  mono, split from ZoneB channels 1 and 2
//   "Terrace"           joined, left on ZoneA channel 1, right on ZoneB channel 5.
// Wine keys each endpoint by an id of its own prefix, so they are found by name here, at run
// time. Writes DATA_FOLDER\config.json as QOVA writes it, unless one is there already: a later
// start keeps whatever the user changed.
//
// Exit codes: 0 written or kept; 1 a sound card missing or the file not written; 2 usage.

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/shell/ConfigFile.h"
#include "core/settings/CardEditing.h"
#include "core/settings/SettingsFile.h"
#include "win/base/ComApartment.h"
#include "win/base/Text.h"
#include "win/devices/DeviceScan.h"

namespace {

const win::DeviceInfo* findByName(const std::vector<win::DeviceInfo>& devices, const char* name) {
    for (const win::DeviceInfo& device : devices)
        if (device.name == name) return &device;
    std::fprintf(stderr, "qova-starter-config: no sound card named %s\n", name);
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qova-starter-config DATA_FOLDER\n");
        return 2;
    }
    const std::wstring path = std::wstring(argv[1]) + L"\\config.json";
    const std::string shownPath = win::toUtf8(path);
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::printf("keeping %s\n", shownPath.c_str());
        return 0;
    }

    win::ComApartment com(COINIT_MULTITHREADED);
    std::string error;
    const std::vector<win::DeviceInfo> devices = win::listWasapiDevices(error);
    if (!error.empty()) std::fprintf(stderr, "qova-starter-config: %s\n", error.c_str());
    const win::DeviceInfo* zoneA = findByName(devices, "ZoneA");
    const win::DeviceInfo* zoneB = findByName(devices, "ZoneB");
    if (zoneA == nullptr || zoneB == nullptr) return 1;

    std::mt19937 draws{std::random_device{}()};
    const core::RandomSource random = [&draws] { return static_cast<std::uint32_t>(draws()); };
    core::Settings settings;
    core::enableDevice(settings, zoneA->key, zoneA->name);
    core::enableDevice(settings, zoneB->key, zoneB->name);
    const core::EditResult results[] = {
        core::addStereoCard(settings, zoneB->key, 2, zoneB->channels, "Living room", random),
        core::addMonoCard(settings, zoneB->key, 0, zoneB->channels, "Kitchen", random),
        core::addMonoCard(settings, zoneB->key, 1, zoneB->channels, "Porch", random),
        core::joinOutputs(settings, zoneA->key, 0, zoneB->key, 4, zoneA->channels, zoneB->channels, "Terrace", random),
    };
    for (const core::EditResult result : results) {
        if (result != core::EditResult::Success) {
            std::fprintf(stderr, "qova-starter-config: %s\n", core::editResultText(0, result));
            return 1;
        }
    }
    if (!app::writeFileAtomically(path, core::writeSettings(settings))) {
        std::fprintf(stderr, "qova-starter-config: cannot write %s\n", shownPath.c_str());
        return 1;
    }
    std::printf("wrote %s: ZoneA and ZoneB on, cards Living room, Kitchen, Porch and Terrace\n", shownPath.c_str());
    return 0;
}
