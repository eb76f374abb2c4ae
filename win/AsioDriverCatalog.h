#pragma once

// The installed ASIO drivers as the registry lists them. A driver registers a key under
// HKLM\software\asio holding its class id and description; it is listed only when that class
// is registered under HKCR\clsid and its in-process server file exists. The catalog reads the
// registry once, when it is made, and reflects that moment.
//
// Registry text is read through the ANSI functions: QOVA's manifest makes the process code
// page UTF-8, so names arrive as UTF-8 and are cut only on character boundaries, since they
// end up in device keys that the settings file must be able to store.
//
// UI thread only (a COM single-threaded apartment): a catalog with records holds a COM
// initialisation of that thread until it is destroyed.

#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <string>
#include <vector>

namespace win {

inline constexpr int kAsioCatalogOk = 0;
inline constexpr int kAsioCatalogNoBuffer = -5001;      // a required output buffer is missing
inline constexpr int kAsioCatalogObjectExists = -5002;  // the driver's object was already created
inline constexpr int kAsioCatalogNoSuchIndex = -5003;

// Every user of driverName asks for this size: a name of 32 bytes or more comes back as at
// most 28 bytes and "...", which is also the identifier of the driver's device key.
inline constexpr std::size_t kAsioDriverNameBytes = 32;

// Names longer than this are kept to their first bytes (never splitting a character).
inline constexpr std::size_t kAsioMaxNameBytes = 127;

struct AsioDriverRecord {
    int index = 0;    // 0 for the first record, consecutive
    CLSID clsid{};    // all zero when the registry text does not parse
    std::string name; // UTF-8: the description, or the registry key name when there is none
    // The created driver object; empty until created. Released by the catalog before it
    // gives up its COM initialisation.
    Microsoft::WRL::ComPtr<IUnknown> object;
};

class AsioDriverCatalog {
public:
    // Reads the registry; drivers that do not qualify are left out without a message. Never
    // fails: with no ASIO key the catalog is empty.
    AsioDriverCatalog();
    ~AsioDriverCatalog();
    AsioDriverCatalog(const AsioDriverCatalog&) = delete;
    AsioDriverCatalog& operator=(const AsioDriverCatalog&) = delete;

    int count() const { return static_cast<int>(records_.size()); }

    // The record with that index, or null.
    const AsioDriverRecord* record(int index) const;

    // The name into `buffer` of `sizeBytes` bytes, terminated: whole when it is shorter than
    // `sizeBytes`, otherwise its first `sizeBytes` - 4 bytes (fewer when that would split a
    // character) and "...". Answers kAsioCatalogOk, kAsioCatalogNoBuffer (null buffer or no
    // room at all) or kAsioCatalogNoSuchIndex; on an error the buffer is left alone.
    int driverName(int index, char* buffer, std::size_t sizeBytes) const;

private:
    std::vector<AsioDriverRecord> records_;
    bool comInitialized_ = false;  // this catalog's CoInitialize succeeded and must be undone
};

}  // namespace win
