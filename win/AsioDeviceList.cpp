#include "win/AsioDriverCatalog.h"
#include "win/DeviceScan.h"

#include <string>
#include <utility>
#include <vector>

namespace win {

std::vector<DeviceInfo> listAsioDevices() {
    // A catalog of its own, so that every scan sees drivers installed since the last one.
    const AsioDriverCatalog catalog;
    std::vector<DeviceInfo> devices;
    for (int index = 0; index < catalog.count(); ++index) {
        // The 32-byte form is what device keys are made of, here and in stored settings.
        char name[kAsioDriverNameBytes];
        if (catalog.driverName(index, name, sizeof name) != kAsioCatalogOk) continue;
        DeviceInfo device;
        device.key = std::string("asio:") + name;
        device.name = name;
        device.family = DeviceFamily::Asio;
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace win
