#include "win/devices/DeviceScan.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "miniaudio.h"

// The WASAPI tests run against the PulseAudio daemon that scripts/lib/common.sh starts: Wine
// presents its null sinks ZoneA (2 channels, 48000 Hz) and ZoneB (8 channels, 44100 Hz) as
// playback endpoints. Endpoint ids are random per Wine prefix, so the sinks are found by name.

namespace win {
namespace {

const DeviceInfo* findByName(const std::vector<DeviceInfo>& devices, const std::string& name) {
    for (const DeviceInfo& device : devices) {
        if (device.name == name) return &device;
    }
    return nullptr;
}

TEST(DeviceScanTestOutputs, KeyNameAndFormatFollowTheIndex) {
    struct Case {
        std::uint32_t index, channels, sampleRate;
        const char* key;
        const char* name;
    };
    const Case cases[] = {
        {0, 2, 48000, "null:0", "Test output 1 (2 ch, 48000 Hz)"},
        {1, 8, 44100, "null:1", "Test output 2 (8 ch, 44100 Hz)"},
        {7, 8, 44100, "null:7", "Test output 8 (8 ch, 44100 Hz)"},
        // Plain decimal without separators, and the shown number does not wrap.
        {12345, 64, 192000, "null:12345", "Test output 12346 (64 ch, 192000 Hz)"},
        {4294967295u, 1, 8000, "null:4294967295", "Test output 4294967296 (1 ch, 8000 Hz)"},
    };
    for (const Case& c : cases) {
        const DeviceInfo info = makeTestOutput(c.index, c.channels, c.sampleRate);
        EXPECT_EQ(info.key, c.key);
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.family, DeviceFamily::Null) << c.key;
        EXPECT_EQ(core::familyOfKey(info.key), DeviceFamily::Null) << c.key;
        EXPECT_EQ(info.channels, c.channels) << c.key;
        EXPECT_EQ(info.sampleRate, c.sampleRate) << c.key;
        EXPECT_FALSE(info.isDefault) << c.key;
    }
}

TEST(DeviceScanAudioContext, OneLastingContextPerBackend) {
    ma_context* const null = audioContext(DeviceFamily::Null);
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(null->backend, ma_backend_null);

    ma_context* const wasapi = audioContext(DeviceFamily::Wasapi);
    ASSERT_NE(wasapi, nullptr);
    EXPECT_NE(wasapi, null);
    EXPECT_EQ(wasapi->backend, ma_backend_wasapi);
    // Every family but Null plays through WASAPI's context.
    EXPECT_EQ(audioContext(DeviceFamily::Asio), wasapi);
    EXPECT_EQ(audioContext(DeviceFamily::NoFamily), wasapi);
    EXPECT_EQ(audioContext(DeviceFamily::Null), null);
}

TEST(DeviceScanWasapi, ListsTheSinksByNameWithTheirFormats) {
    std::string error = "stale text from an earlier scan";
    const std::vector<DeviceInfo> devices = listWasapiDevices(error);
    EXPECT_EQ(error, "");

    struct Expected {
        const char* name;
        std::uint32_t channels, sampleRate;
    };
    for (const Expected& expected : {Expected{"ZoneA", 2, 48000}, Expected{"ZoneB", 8, 44100}}) {
        const DeviceInfo* device = findByName(devices, expected.name);
        ASSERT_NE(device, nullptr) << expected.name << " is not among " << devices.size() << " endpoints";
        EXPECT_EQ(device->family, DeviceFamily::Wasapi) << expected.name;
        EXPECT_EQ(core::familyOfKey(device->key), DeviceFamily::Wasapi) << device->key;
        EXPECT_EQ(device->channels, expected.channels) << expected.name;
        EXPECT_EQ(device->sampleRate, expected.sampleRate) << expected.name;
        // Wine's endpoint ids read {0.0.0.00000000}.{GUID}: the whole id, converted, follows the prefix.
        EXPECT_TRUE(device->key.starts_with("wasapi:{0.0.0.00000000}.{")) << device->key;
        EXPECT_EQ(device->key.size(), 7u + 55u) << device->key;
        EXPECT_FALSE(device->isDefault) << expected.name;  // Wine's own "PulseAudio" endpoint is
    }

    std::set<std::string> keys;
    int defaults = 0;
    for (const DeviceInfo& device : devices) {
        EXPECT_TRUE(keys.insert(device.key).second) << "duplicate key " << device.key;
        if (device.isDefault) ++defaults;
    }
    EXPECT_EQ(defaults, 1);

    // A second scan names the same endpoints by the same keys, in the same order.
    std::string secondError;
    const std::vector<DeviceInfo> again = listWasapiDevices(secondError);
    EXPECT_EQ(secondError, "");
    ASSERT_EQ(again.size(), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(again[i].key, devices[i].key);
        EXPECT_EQ(again[i].name, devices[i].name);
    }
}

TEST(DeviceScanWasapi, KeyOfEndpointStopsAtTheTerminatorOrTheBufferEnd) {
    const wchar_t terminated[8] = L"{a}\0zz";
    EXPECT_EQ(wasapiKeyOfEndpoint(terminated, 8), "wasapi:{a}");
    const wchar_t full[4] = {L'a', L'b', L'c', L'd'};  // no terminator: the buffer's end bounds it
    EXPECT_EQ(wasapiKeyOfEndpoint(full, 4), "wasapi:abcd");
    const wchar_t accented[] = L"\u00e9\u20ac";
    EXPECT_EQ(wasapiKeyOfEndpoint(accented, 3), "wasapi:\xc3\xa9\xe2\x82\xac");
}

}  // namespace
}  // namespace win
