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
//
// Below the catalog: the driver loader, which keeps at most one driver current for the whole
// process, and the driver calls made through it, each answering kAsioNotPresent with its
// outputs zeroed while no driver is current.

#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "win/base/ComApartment.h"
#include "win/devices/asio/AsioInterface.h"

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
    int index = 0;     // 0 for the first record, consecutive
    CLSID clsid{};     // all zero when the registry text does not parse
    std::string name;  // UTF-8: the description, or the registry key name when there is none
    // The created driver object; empty until created. Released by the catalog before it
    // gives up its COM initialisation.
    Microsoft::WRL::ComPtr<IAsio> object;
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

    // Creates the driver's object in this apartment and keeps it in the record; `out` gets
    // the same pointer (not an extra reference). Answers the creation's HRESULT,
    // kAsioCatalogObjectExists when the record already holds an object, kAsioCatalogNoBuffer
    // without `out` or kAsioCatalogNoSuchIndex.
    long createDriver(int index, IAsio** out);

    // Releases the record's object, when it has one.
    void releaseDriver(int index);

private:
    std::vector<AsioDriverRecord> records_;
    std::optional<ComApartment> com_;  // while a driver object may exist
};

// --- the driver loader -----------------------------------------------------------------------
//
// The loader keeps a catalog of its own, made at the first load and kept for the rest of the
// process: a driver installed later can only be loaded after a restart. UI thread.

// Makes the driver whose 32-byte name (driverName) is `name` the current one, releasing the
// driver that was current first. False when no driver has that name or its object cannot be
// created; after a failed creation the driver current before is loaded again.
bool loadAsioDriver(const char* name);

// Releases the current driver's object. currentAsioDriver() keeps its value until the
// driver is shut down (asioExit).
void unloadAsioDriver();

// The current driver, or null. Any thread: the render thread calls outputReady through it.
IAsio* currentAsioDriver();

// --- calls to the current driver ------------------------------------------------------------
//
// Each forwards to currentAsioDriver(); with no driver current it answers kAsioNotPresent and
// zeroes its outputs. UI thread, except asioOutputReady (render thread, while the driver runs).

// Starts the driver up with info.sysRef as the system reference. info first gets driver
// version 0 and name "No ASIO Driver". On success (kAsioOk) it gets the driver's name,
// version and the message "No ASIO Driver Error"; on failure the driver's error message, and
// the driver is no longer current (its object stays loaded until unloadAsioDriver).
AsioError asioInit(AsioDriverInfo& info);

// Unloads the current driver, if any, and forgets it. Answers kAsioOk.
AsioError asioExit();

AsioError asioStart();
AsioError asioStop();
AsioError asioGetChannels(long& inputs, long& outputs);
AsioError asioGetLatencies(long& inputLatency, long& outputLatency);
AsioError asioGetBufferSize(long& minimumSize, long& maximumSize, long& preferredSize, long& granularity);
AsioError asioCanSampleRate(AsioSampleRate rate);
AsioError asioGetSampleRate(AsioSampleRate& rate);
AsioError asioSetSampleRate(AsioSampleRate rate);
// Without a driver: channel group -1, type 0 and name "None".
AsioError asioGetChannelInfo(AsioChannelInfo& info);
// Without a driver every buffer address is emptied.
AsioError asioCreateBuffers(AsioBufferInfo* infos, long channels, long bufferSize, AsioCallbacks* callbacks);
AsioError asioDisposeBuffers();
AsioError asioControlPanel();
AsioError asioOutputReady();

}  // namespace win
