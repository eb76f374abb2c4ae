// The ASIO drivers as sound cards: the scan's list of them, the loader that keeps one driver
// current for the process, and the driver calls made through it.

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "win/devices/DeviceScan.h"
#include "win/devices/asio/AsioDriverCatalog.h"

namespace win {

namespace {

// The loader's catalog: made at the first load and never destroyed, since a driver object it
// holds may be current at any time until the process ends. UI thread.
AsioDriverCatalog* loaderCatalog = nullptr;
int currentIndex = -1;  // the record whose object is current; -1 when none

// Written on the UI thread while no buffer-switch thread runs (a driver is loaded, started up
// and shut down only then); read there and by the render thread for outputReady. Relaxed is
// enough: the driver's own start and stop order the render thread against these writes.
std::atomic<IAsio*> currentDriver{nullptr};

constexpr char kNoDriverName[] = "No ASIO Driver";
constexpr char kNoDriverError[] = "No ASIO Driver Error";

template <std::size_t Size>
void copyText(char (&target)[Size], const char* text) {
    const std::size_t length = strnlen(text, Size - 1);
    std::memcpy(target, text, length);
    target[length] = '\0';
}

IAsio* driver() {
    return currentDriver.load(std::memory_order_relaxed);
}

}  // namespace

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

// --- the driver loader ---------------------------------------------------------------------------

// UI thread.
bool loadAsioDriver(const char* name) {
    if (name == nullptr) return false;
    if (loaderCatalog == nullptr) {
        try {
            loaderCatalog = new AsioDriverCatalog();
        } catch (const std::bad_alloc&) {
            return false;
        }
        currentIndex = -1;
    }

    int found = -1;
    for (int index = 0; index < loaderCatalog->count() && found < 0; ++index) {
        char candidate[kAsioDriverNameBytes];
        if (loaderCatalog->driverName(index, candidate, sizeof candidate) == kAsioCatalogOk &&
            std::strcmp(candidate, name) == 0)
            found = index;
    }
    if (found < 0) return false;

    // One driver at a time: the current one goes before the next is created.
    char previousName[kAsioDriverNameBytes] = "";
    const bool hadDriver = currentIndex != -1;
    if (hadDriver) {
        loaderCatalog->driverName(currentIndex, previousName, sizeof previousName);
        loaderCatalog->releaseDriver(currentIndex);
        currentIndex = -1;
    }

    IAsio* created = nullptr;
    if (SUCCEEDED(loaderCatalog->createDriver(found, &created))) {
        currentDriver.store(created, std::memory_order_relaxed);
        currentIndex = found;
        return true;
    }
    currentDriver.store(nullptr, std::memory_order_relaxed);
    // A failed attempt leaves the state it found.
    if (hadDriver && std::strcmp(previousName, name) != 0) loadAsioDriver(previousName);
    return false;
}

// UI thread.
void unloadAsioDriver() {
    if (loaderCatalog != nullptr && currentIndex != -1) loaderCatalog->releaseDriver(currentIndex);
    currentIndex = -1;
}

// Any thread.
IAsio* currentAsioDriver() {
    return driver();
}

// --- calls to the current driver -----------------------------------------------------------------

// UI thread.
AsioError asioInit(AsioDriverInfo& info) {
    info.driverVersion = 0;
    copyText(info.name, kNoDriverName);
    IAsio* current = driver();
    if (current == nullptr) return kAsioNotPresent;
    if (current->init(info.sysRef) == 0) {
        char message[sizeof info.errorMessage] = "";
        current->getErrorMessage(message);
        message[sizeof message - 1] = '\0';
        copyText(info.errorMessage, message);
        // The object stays in the loader's record until unloadAsioDriver releases it.
        currentDriver.store(nullptr, std::memory_order_relaxed);
        return kAsioNotPresent;
    }
    copyText(info.errorMessage, kNoDriverError);
    char name[sizeof info.name] = "";
    current->getDriverName(name);
    name[sizeof name - 1] = '\0';
    copyText(info.name, name);
    info.driverVersion = current->getDriverVersion();
    return kAsioOk;
}

// UI thread.
AsioError asioExit() {
    if (driver() != nullptr) unloadAsioDriver();
    currentDriver.store(nullptr, std::memory_order_relaxed);
    return kAsioOk;
}

AsioError asioStart() {
    IAsio* current = driver();
    return current != nullptr ? current->start() : kAsioNotPresent;
}

AsioError asioStop() {
    IAsio* current = driver();
    return current != nullptr ? current->stop() : kAsioNotPresent;
}

AsioError asioGetChannels(long& inputs, long& outputs) {
    IAsio* current = driver();
    if (current == nullptr) {
        inputs = outputs = 0;
        return kAsioNotPresent;
    }
    return current->getChannels(&inputs, &outputs);
}

AsioError asioGetLatencies(long& inputLatency, long& outputLatency) {
    IAsio* current = driver();
    if (current == nullptr) {
        inputLatency = outputLatency = 0;
        return kAsioNotPresent;
    }
    return current->getLatencies(&inputLatency, &outputLatency);
}

AsioError asioGetBufferSize(long& minimumSize, long& maximumSize, long& preferredSize, long& granularity) {
    IAsio* current = driver();
    if (current == nullptr) {
        minimumSize = maximumSize = preferredSize = granularity = 0;
        return kAsioNotPresent;
    }
    return current->getBufferSize(&minimumSize, &maximumSize, &preferredSize, &granularity);
}

AsioError asioCanSampleRate(AsioSampleRate rate) {
    IAsio* current = driver();
    return current != nullptr ? current->canSampleRate(rate) : kAsioNotPresent;
}

AsioError asioGetSampleRate(AsioSampleRate& rate) {
    IAsio* current = driver();
    if (current == nullptr) {
        rate = 0.0;
        return kAsioNotPresent;
    }
    return current->getSampleRate(&rate);
}

AsioError asioSetSampleRate(AsioSampleRate rate) {
    IAsio* current = driver();
    return current != nullptr ? current->setSampleRate(rate) : kAsioNotPresent;
}

AsioError asioGetChannelInfo(AsioChannelInfo& info) {
    IAsio* current = driver();
    if (current == nullptr) {
        info.channelGroup = -1;
        info.type = 0;
        copyText(info.name, "None");
        return kAsioNotPresent;
    }
    return current->getChannelInfo(&info);
}

AsioError asioCreateBuffers(AsioBufferInfo* infos, long channels, long bufferSize, AsioCallbacks* callbacks) {
    IAsio* current = driver();
    if (current == nullptr) {
        for (long i = 0; infos != nullptr && i < channels; ++i) infos[i].buffers[0] = infos[i].buffers[1] = nullptr;
        return kAsioNotPresent;
    }
    return current->createBuffers(infos, channels, bufferSize, callbacks);
}

AsioError asioDisposeBuffers() {
    IAsio* current = driver();
    return current != nullptr ? current->disposeBuffers() : kAsioNotPresent;
}

AsioError asioControlPanel() {
    IAsio* current = driver();
    return current != nullptr ? current->controlPanel() : kAsioNotPresent;
}

// Render thread: one virtual call, nothing else.
AsioError asioOutputReady() {
    IAsio* current = driver();
    return current != nullptr ? current->outputReady() : kAsioNotPresent;
}

}  // namespace win
