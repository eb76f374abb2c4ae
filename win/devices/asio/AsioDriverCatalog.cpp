#include "win/devices/asio/AsioDriverCatalog.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/text/Utf8.h"
#include "win/base/RegistryKey.h"

namespace win {

namespace {

// Buffer sizes of the registry reads; what does not fit is treated as missing.
constexpr std::size_t kDriverKeyNameBytes = 128;
constexpr std::size_t kClassIdTextBytes = 256;
constexpr std::size_t kClassKeyNameBytes = 512;
constexpr std::size_t kServerPathBytes = 512;
constexpr std::size_t kDescriptionBytes = 256;
constexpr int kMaxClassIdChars = 100;  // UTF-16 units, terminator included

// A string value; false when it is missing, not a string, or too long for `bufferBytes`
// with its terminator. Stored strings need not be terminated, hence the spare byte.
bool readString(HKEY key, const char* valueName, std::size_t bufferBytes, std::string& text) {
    std::string buffer(bufferBytes + 1, '\0');
    DWORD type = 0;
    DWORD sizeBytes = static_cast<DWORD>(bufferBytes);
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &sizeBytes) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    text.assign(buffer.data(), strnlen(buffer.data(), sizeBytes));
    return true;
}

void toLower(std::string& text) {
    if (!text.empty()) CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
}

// Calls visit(name) for every subkey, in registry order, until it answers false. A name too
// long for the buffer is passed over instead of ending the walk: one odd key must not hide
// the drivers registered after it.
template <typename Visit>
void forEachSubkey(HKEY key, std::size_t nameBytes, Visit visit) {
    std::string name(nameBytes, '\0');
    for (DWORD index = 0;; ++index) {
        const LONG result = RegEnumKeyA(key, index, name.data(), static_cast<DWORD>(nameBytes));
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) return;
        if (!visit(std::string(name.c_str()))) return;
    }
}

// Whether the class is registered and its in-process server file exists. `classIdText` is
// lower case; registered class keys are compared lower-cased, since either side may be
// written in capitals.
bool serverFileExists(const std::string& classIdText) {
    RegistryKey classes;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", classes.receive()) != ERROR_SUCCESS) return false;
    bool exists = false;
    forEachSubkey(classes.get(), kClassKeyNameBytes, [&](std::string name) {
        toLower(name);
        if (name != classIdText) return true;
        RegistryKey classKey;
        RegistryKey server;
        std::string path;
        if (RegOpenKeyExA(classes.get(), name.c_str(), 0, KEY_READ, classKey.receive()) == ERROR_SUCCESS &&
            RegOpenKeyExA(classKey.get(), "InprocServer32", 0, KEY_READ, server.receive()) == ERROR_SUCCESS &&
            readString(server.get(), nullptr, kServerPathBytes, path)) {
            OFSTRUCT file{};
            exists = OpenFile(path.c_str(), &file, OF_EXIST) != HFILE_ERROR;
        }
        return false;
    });
    return exists;
}

// All zero when the text is not a class id: creating the driver then fails, which is where
// the user learns of it.
CLSID parseClassId(const std::string& text) {
    wchar_t wide[kMaxClassIdChars] = {};
    CLSID clsid{};
    if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, kMaxClassIdChars) == 0) return clsid;
    if (FAILED(CLSIDFromString(wide, &clsid))) return CLSID{};
    return clsid;
}

}  // namespace

AsioDriverCatalog::AsioDriverCatalog() {
    RegistryKey drivers;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", drivers.receive()) != ERROR_SUCCESS) return;

    forEachSubkey(drivers.get(), kDriverKeyNameBytes, [&](const std::string& keyName) {
        RegistryKey driver;
        std::string classIdText;
        if (RegOpenKeyExA(drivers.get(), keyName.c_str(), 0, KEY_READ, driver.receive()) != ERROR_SUCCESS ||
            !readString(driver.get(), "clsid", kClassIdTextBytes, classIdText))
            return true;
        toLower(classIdText);
        if (!serverFileExists(classIdText)) return true;

        AsioDriverRecord record;
        record.index = count();
        record.clsid = parseClassId(classIdText);
        std::string description;
        // An empty description would make the device key "asio:", which names no family.
        const bool described =
            readString(driver.get(), "description", kDescriptionBytes, description) && !description.empty();
        record.name = core::cutUtf8(described ? description : keyName, kAsioMaxNameBytes);
        records_.push_back(std::move(record));
        return true;
    });

    // Driver objects are COM objects, and this thread must stay initialised for as long as
    // one may exist.
    if (!records_.empty()) com_.emplace(COINIT_APARTMENTTHREADED);
}

AsioDriverCatalog::~AsioDriverCatalog() {
    // The driver objects go while COM is still initialised.
    records_.clear();
    com_.reset();
}

const AsioDriverRecord* AsioDriverCatalog::record(int index) const {
    if (index < 0 || index >= count()) return nullptr;
    return &records_[static_cast<std::size_t>(index)];
}

int AsioDriverCatalog::driverName(int index, char* buffer, std::size_t sizeBytes) const {
    if (buffer == nullptr || sizeBytes == 0) return kAsioCatalogNoBuffer;
    const AsioDriverRecord* found = record(index);
    if (found == nullptr) return kAsioCatalogNoSuchIndex;

    std::string text = found->name;
    if (text.size() >= sizeBytes) {
        constexpr std::string_view ellipsis = "...";
        const std::size_t keepBytes = sizeBytes > ellipsis.size() + 1 ? sizeBytes - 1 - ellipsis.size() : 0;
        text = core::cutUtf8(text, keepBytes);
        text += ellipsis;
        text.resize(std::min(text.size(), sizeBytes - 1));  // only for buffers of under 4 bytes
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return kAsioCatalogOk;
}

long AsioDriverCatalog::createDriver(int index, IAsio** out) {
    if (out == nullptr) return kAsioCatalogNoBuffer;
    if (record(index) == nullptr) return kAsioCatalogNoSuchIndex;
    AsioDriverRecord& found = records_[static_cast<std::size_t>(index)];
    if (found.object) return kAsioCatalogObjectExists;
    // A driver answers its own class id as the interface id: that is how ASIO names its
    // interface, since every driver's vtable is the same.
    Microsoft::WRL::ComPtr<IAsio> object;
    const HRESULT result = CoCreateInstance(found.clsid, nullptr, CLSCTX_INPROC_SERVER, found.clsid,
                                            reinterpret_cast<void**>(object.GetAddressOf()));
    if (SUCCEEDED(result) && !object) return E_POINTER;
    if (SUCCEEDED(result)) {
        found.object = std::move(object);
        *out = found.object.Get();
    }
    return result;
}

void AsioDriverCatalog::releaseDriver(int index) {
    if (record(index) == nullptr) return;
    records_[static_cast<std::size_t>(index)].object.Reset();
}

}  // namespace win
