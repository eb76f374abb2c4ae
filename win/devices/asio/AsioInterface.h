#pragma once

// The ASIO driver interface, as far as QOVA uses it: the COM interface every driver
// implements and the records passed through it, laid out as drivers expect them. On 64-bit
// Windows there is one calling convention, so the methods are plain virtual functions; a
// driver answers its own class id as the interface id, hence no IID here.
//
// `long` is deliberate: it is 32 bits on Windows, as the drivers' records are.

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <cstdint>

namespace win {

using AsioBool = long;
using AsioError = long;
using AsioSampleRate = double;

inline constexpr AsioError kAsioOk = 0;
inline constexpr AsioError kAsioSuccess = 0x3f4847a0;  // what future() answers for a selector it handled
inline constexpr AsioError kAsioNotPresent = -1000;    // no driver, or the hardware is missing
inline constexpr AsioError kAsioHardwareMalfunction = -999;
inline constexpr AsioError kAsioInvalidParameter = -998;
inline constexpr AsioError kAsioInvalidMode = -997;
inline constexpr AsioError kAsioNoClock = -995;
inline constexpr AsioError kAsioNoMemory = -994;

inline constexpr long kAsioHostVersion = 2;

// A 64-bit count split in two 32-bit halves, as the interface passes sample positions and
// system times.
struct AsioSamples {
    unsigned long hi;
    unsigned long lo;
};
using AsioTimeStamp = AsioSamples;

struct AsioDriverInfo {
    long asioVersion;        // in: the host's ASIO version
    long driverVersion;      // out
    char name[32];           // out
    char errorMessage[124];  // out
    void* sysRef;            // in: a window handle on Windows
};

struct AsioClockSource {
    long index;
    long associatedChannel;
    long associatedGroup;
    AsioBool isCurrentSource;
    char name[32];
};

struct AsioChannelInfo {
    long channel;       // in
    AsioBool isInput;   // in
    AsioBool isActive;  // out
    long channelGroup;  // out
    long type;          // out: an AsioSampleType number (AsioFormat.h)
    char name[32];      // out; drivers do not always terminate it
};

struct AsioBufferInfo {
    AsioBool isInput;  // in
    long channelNum;   // in
    void* buffers[2];  // out: the two halves the driver switches between
};

struct AsioTimeInfo {
    double speed;
    AsioTimeStamp systemTime;
    AsioSamples samplePosition;
    AsioSampleRate sampleRate;
    unsigned long flags;
    char reserved[12];
};

struct AsioTimeCode {
    double speed;
    AsioSamples timeCodeSamples;
    unsigned long flags;
    char future[64];
};

struct AsioTime {
    long reserved[4];
    AsioTimeInfo timeInfo;
    AsioTimeCode timeCode;
};

// The host's callbacks, in the order drivers read them. The driver keeps the record's
// address while its buffers exist.
struct AsioCallbacks {
    void (*bufferSwitch)(long doubleBufferIndex, AsioBool directProcess);
    void (*sampleRateDidChange)(AsioSampleRate rate);
    long (*asioMessage)(long selector, long value, void* message, double* option);
    AsioTime* (*bufferSwitchTimeInfo)(AsioTime* time, long doubleBufferIndex, AsioBool directProcess);
};

// Selectors of asioMessage.
inline constexpr long kAsioSelectorSupported = 1;
inline constexpr long kAsioEngineVersion = 2;
inline constexpr long kAsioResetRequest = 3;
inline constexpr long kAsioBufferSizeChange = 4;
inline constexpr long kAsioResyncRequest = 5;
inline constexpr long kAsioLatenciesChanged = 6;
inline constexpr long kAsioSupportsTimeInfo = 7;
inline constexpr long kAsioSupportsTimeCode = 8;
inline constexpr long kAsioOverload = 15;

// The driver object. The method order is the interface's vtable order and must not change.
struct IAsio : public IUnknown {
    virtual AsioBool init(void* sysHandle) = 0;  // nonzero on success
    virtual void getDriverName(char* name) = 0;  // 32 bytes
    virtual long getDriverVersion() = 0;
    virtual void getErrorMessage(char* text) = 0;  // 124 bytes
    virtual AsioError start() = 0;
    virtual AsioError stop() = 0;
    virtual AsioError getChannels(long* inputs, long* outputs) = 0;
    virtual AsioError getLatencies(long* inputLatency, long* outputLatency) = 0;
    virtual AsioError getBufferSize(long* minimumSize, long* maximumSize, long* preferredSize, long* granularity) = 0;
    virtual AsioError canSampleRate(AsioSampleRate rate) = 0;
    virtual AsioError getSampleRate(AsioSampleRate* rate) = 0;
    virtual AsioError setSampleRate(AsioSampleRate rate) = 0;
    virtual AsioError getClockSources(AsioClockSource* clocks, long* count) = 0;
    virtual AsioError setClockSource(long reference) = 0;
    virtual AsioError getSamplePosition(AsioSamples* position, AsioTimeStamp* timeStamp) = 0;
    virtual AsioError getChannelInfo(AsioChannelInfo* info) = 0;
    virtual AsioError createBuffers(AsioBufferInfo* infos, long channels, long bufferSize,
                                    AsioCallbacks* callbacks) = 0;
    virtual AsioError disposeBuffers() = 0;
    virtual AsioError controlPanel() = 0;
    virtual AsioError future(long selector, void* option) = 0;
    virtual AsioError outputReady() = 0;
};

// Drivers built by others read these records at these offsets.
static_assert(sizeof(long) == 4);
static_assert(offsetof(AsioDriverInfo, name) == 8 && offsetof(AsioDriverInfo, errorMessage) == 40);
static_assert(offsetof(AsioDriverInfo, sysRef) == 168 && sizeof(AsioDriverInfo) == 176);
static_assert(sizeof(AsioClockSource) == 48);
static_assert(offsetof(AsioChannelInfo, name) == 20 && sizeof(AsioChannelInfo) == 52);
static_assert(offsetof(AsioBufferInfo, buffers) == 8 && sizeof(AsioBufferInfo) == 24);
static_assert(sizeof(AsioTimeInfo) == 48 && sizeof(AsioTimeCode) == 88);
static_assert(offsetof(AsioTime, timeInfo) == 16 && sizeof(AsioTime) == 152);
static_assert(sizeof(AsioCallbacks) == 4 * sizeof(void*));

}  // namespace win
