#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AsioDriverRegistration.h"
#include "LogCapture.h"
#include "RouterTestSupport.h"
#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "core/signal/AsioFormat.h"
#include "tests/fixtures/TestAsioDriver.h"
#include "win/base/MappedView.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/Output.h"
#include "win/devices/asio/AsioDriverCatalog.h"
#include "win/devices/asio/AsioInterface.h"
#include "win/router/Router.h"

// The ASIO output and the driver loader against qova_test_asio.dll, a real COM in-process
// server that each test registers in the Wine prefix the way installers register drivers.
// The driver copies what QOVA wrote into its buffers to a section the test made, so the
// tests check the very bytes a sound card would play.
//
// The loader's catalog is made at the first load of the process and kept, so every test
// registers the same drivers under the same names before it loads anything.

namespace win {
namespace {

using win_testing::LogCapture;

using namespace router_testing;
using test_asio::TestAsioRecord;

constexpr char kDriverA[] = "QOVA Test ASIO";
constexpr char kDriverB[] = "QOVA Test ASIO 2";
constexpr char kRefusedDriver[] = "QOVA Test ASIO Refused";
constexpr char kLongDriver[] = "QOVA Test ASIO with a forty-byte long name";  // 42 bytes
constexpr char kLongDriverKeyName[] = "QOVA Test ASIO with a forty-...";      // its 32-byte form

constexpr const char* kVariables[] = {
    "QOVA_TEST_ASIO_OUTPUTS",    "QOVA_TEST_ASIO_TYPES",          "QOVA_TEST_ASIO_BUFFER",
    "QOVA_TEST_ASIO_RATES",      "QOVA_TEST_ASIO_LATENCY",        "QOVA_TEST_ASIO_NOT_CONNECTED",
    "QOVA_TEST_ASIO_LONG_NAMES", "QOVA_TEST_ASIO_REFUSE_BUFFERS", "QOVA_TEST_ASIO_REFUSE_START",
    "QOVA_TEST_ASIO_INIT_ERROR", "QOVA_TEST_ASIO_OUTPUT_READY",   "QOVA_TEST_ASIO_TIME_INFO",
    "QOVA_TEST_ASIO_EVENT",      "QOVA_TEST_ASIO_RECORD",
};

void setVariable(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.c_str());
}

struct DriverRegistration {
    const char* name;
    GUID classId;
};

const DriverRegistration kDrivers[] = {
    {kDriverA, test_asio::kClassA},
    {kDriverB, test_asio::kClassB},
    {kRefusedDriver, test_asio::kClassRefused},  // registered, but the DLL does not make it
    {kLongDriver, test_asio::kClassA},
};

const GUID kClasses[] = {test_asio::kClassA, test_asio::kClassB, test_asio::kClassRefused};

void unregisterDrivers() {
    for (const DriverRegistration& driver : kDrivers) test_asio::unregisterDriverName(driver.name);
    for (const GUID& id : kClasses) test_asio::unregisterClass(id);
}

// As an installer does: the class with its server, and the driver's ASIO key.
void registerDrivers() {
    for (const GUID& id : kClasses) ASSERT_NO_FATAL_FAILURE(test_asio::registerClass(id));
    for (const DriverRegistration& driver : kDrivers) {
        ASSERT_NO_FATAL_FAILURE(test_asio::registerDriverName(driver.name, driver.classId));
    }
}

DeviceInfo asioDevice(const std::string& name) {
    DeviceInfo device;
    device.key = "asio:" + name;
    device.name = name;
    device.family = DeviceFamily::Asio;
    return device;
}

core::DeviceSettings asioSettings(const DeviceInfo& device, std::uint32_t sampleRate = 0,
                                  std::uint32_t bufferFrames = 0) {
    core::DeviceSettings settings = deviceSettings(device, bufferFrames);
    settings.sampleRate = sampleRate;
    return settings;
}

// The sound cards the router tests play on.
const DeviceInfo kAsio = asioDevice(kDriverA);
const DeviceInfo kStereo48 = makeTestOutput(0, 2, 48000);

// A render function whose sample of channel c in frame n (counted from the first call) is a
// value of its own, some beyond +-1 so that clamping shows.
struct Source {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint32_t> badCalls{0};
    std::uint32_t expectedFrames = 0;
    std::uint32_t expectedChannels = 0;

    static float value(std::uint64_t frame, std::uint32_t channel) {
        return static_cast<float>((frame * 7 + channel * 13) % 241) / 100.0f - 1.2f;
    }
    static void render(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
        auto* self = static_cast<Source*>(context);
        if (frames != self->expectedFrames || channels != self->expectedChannels) ++self->badCalls;
        for (std::uint32_t f = 0; f < frames; ++f) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                if (samples[f * channels + c] != 0.0f) ++self->badCalls;  // must come zeroed
                samples[f * channels + c] = value(self->frames + f, c);
            }
        }
        self->frames += frames;
    }
};

void renderNothing(void*, float*, std::uint32_t, std::uint32_t) {}

class AsioOutputTest : public testing::Test {
protected:
    void SetUp() override {
        // QOVA's UI thread is a single-threaded apartment; drivers register as apartment-threaded.
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(SUCCEEDED(com)) << "this thread is not a single-threaded apartment";
        comInitialized_ = true;
        for (const char* name : kVariables) SetEnvironmentVariableA(name, nullptr);
        unregisterDrivers();
        ASSERT_NO_FATAL_FAILURE(registerDrivers());

        static std::atomic<unsigned> sections{0};
        sectionName_ =
            "Local\\qova-test-asio-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(sections++);
        section_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          static_cast<DWORD>(test_asio::kRecordBytes), sectionName_.c_str()));
        ASSERT_TRUE(section_);
        view_.reset(MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(view_);
        setVariable("QOVA_TEST_ASIO_RECORD", sectionName_);
    }

    void TearDown() override {
        for (const char* name : kVariables) SetEnvironmentVariableA(name, nullptr);
        unregisterDrivers();
        if (comInitialized_) CoUninitialize();
    }

    TestAsioRecord& record() const { return *static_cast<TestAsioRecord*>(view_.get()); }
    unsigned char* recorded(std::uint32_t channel) const { return test_asio::recordedChannel(&record(), channel); }

    // A fresh record for the next driver object.
    void clearRecord() { std::memset(view_.get(), 0, test_asio::kRecordBytes); }

    // Opens the output on a driver, rendering nothing unless told; rate and buffer 0 leave the
    // driver's own. The error when it does not open, nothing when it does.
    static std::optional<std::string> openError(Output& output, const char* driver, std::uint32_t sampleRate = 0,
                                                std::uint32_t bufferFrames = 0, RenderFunction render = renderNothing,
                                                void* context = nullptr) {
        const DeviceInfo device = asioDevice(driver);
        std::string error;
        if (output.open(device, asioSettings(device, sampleRate, bufferFrames), render, context, error))
            return std::nullopt;
        return error;
    }

    static ::testing::AssertionResult opens(Output& output, const char* driver, std::uint32_t sampleRate = 0,
                                            std::uint32_t bufferFrames = 0, RenderFunction render = renderNothing,
                                            void* context = nullptr) {
        const std::optional<std::string> error = openError(output, driver, sampleRate, bufferFrames, render, context);
        return error ? ::testing::AssertionFailure() << *error : ::testing::AssertionSuccess();
    }

    static ::testing::AssertionResult starts(Output& output) {
        std::string error;
        return output.start(error) ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << error;
    }

    static void expectStartRefused(Output& output, const std::string& why = "not open") {
        std::string error;
        EXPECT_FALSE(output.start(error));
        EXPECT_EQ(error, why);
    }

private:
    bool comInitialized_ = false;
    std::string sectionName_;
    UniqueHandle section_;
    MappedView view_;
};

// --- the driver loader --------------------------------------------------------------------------

TEST_F(AsioOutputTest, TheLoaderKeepsOneDriverCurrentAndPutsBackTheFormerOneWhenCreationFails) {
    EXPECT_FALSE(loadAsioDriver("No Such Driver"));
    EXPECT_EQ(currentAsioDriver(), nullptr);

    ASSERT_TRUE(loadAsioDriver(kDriverA));
    IAsio* first = currentAsioDriver();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(record().liveObjects, 1);
    EXPECT_EQ(record().lastCreatedClass, 0);

    // The current driver is released before the next one is made.
    ASSERT_TRUE(loadAsioDriver(kDriverB));
    EXPECT_NE(currentAsioDriver(), nullptr);
    EXPECT_EQ(record().liveObjects, 1);
    EXPECT_EQ(record().mostLiveObjects, 1);
    EXPECT_EQ(record().lastCreatedClass, 1);

    // An unknown name changes nothing.
    IAsio* second = currentAsioDriver();
    EXPECT_FALSE(loadAsioDriver("No Such Driver"));
    EXPECT_EQ(currentAsioDriver(), second);
    EXPECT_EQ(record().createdObjects, 2u);

    // A driver whose object cannot be made: the former driver comes back.
    EXPECT_FALSE(loadAsioDriver(kRefusedDriver));
    EXPECT_NE(currentAsioDriver(), nullptr);
    EXPECT_EQ(record().liveObjects, 1);
    EXPECT_EQ(record().createdObjects, 3u);
    EXPECT_EQ(record().lastCreatedClass, 1);

    // Names are matched in their 32-byte form, as device keys hold them.
    EXPECT_FALSE(loadAsioDriver(kLongDriver));
    ASSERT_TRUE(loadAsioDriver(kLongDriverKeyName));
    EXPECT_EQ(record().lastCreatedClass, 0);
    EXPECT_EQ(record().liveObjects, 1);

    // Unloading releases the object; shutting down forgets the pointer.
    unloadAsioDriver();
    EXPECT_EQ(record().liveObjects, 0);
    EXPECT_EQ(asioExit(), kAsioOk);
    EXPECT_EQ(currentAsioDriver(), nullptr);
    EXPECT_EQ(record().mostLiveObjects, 1);
}

TEST_F(AsioOutputTest, CallsWithoutADriverAnswerNotPresentAndZeroTheirOutputs) {
    ASSERT_EQ(asioExit(), kAsioOk);
    ASSERT_EQ(currentAsioDriver(), nullptr);

    AsioDriverInfo info{};
    std::strcpy(info.name, "something");
    info.driverVersion = 7;
    EXPECT_EQ(asioInit(info), kAsioNotPresent);
    EXPECT_STREQ(info.name, "No ASIO Driver");
    EXPECT_EQ(info.driverVersion, 0);

    long a = 5, b = 5, c = 5, d = 5;
    EXPECT_EQ(asioGetChannels(a, b), kAsioNotPresent);
    EXPECT_EQ(a + b, 0);
    a = b = 5;
    EXPECT_EQ(asioGetLatencies(a, b), kAsioNotPresent);
    EXPECT_EQ(a + b, 0);
    a = b = 5;
    EXPECT_EQ(asioGetBufferSize(a, b, c, d), kAsioNotPresent);
    EXPECT_EQ(a + b + c + d, 0);
    AsioSampleRate rate = 48000.0;
    EXPECT_EQ(asioGetSampleRate(rate), kAsioNotPresent);
    EXPECT_EQ(rate, 0.0);
    AsioChannelInfo channel{};
    channel.type = 18;
    EXPECT_EQ(asioGetChannelInfo(channel), kAsioNotPresent);
    EXPECT_EQ(channel.channelGroup, -1);
    EXPECT_EQ(channel.type, 0);
    EXPECT_STREQ(channel.name, "None");
    int dummy = 0;
    AsioBufferInfo buffers[2] = {{0, 0, {&dummy, &dummy}}, {0, 1, {&dummy, &dummy}}};
    AsioCallbacks callbacks{};
    EXPECT_EQ(asioCreateBuffers(buffers, 2, 256, &callbacks), kAsioNotPresent);
    for (const AsioBufferInfo& buffer : buffers)
        EXPECT_TRUE(buffer.buffers[0] == nullptr && buffer.buffers[1] == nullptr);
    EXPECT_EQ(asioCanSampleRate(48000.0), kAsioNotPresent);
    EXPECT_EQ(asioSetSampleRate(48000.0), kAsioNotPresent);
    EXPECT_EQ(asioStart(), kAsioNotPresent);
    EXPECT_EQ(asioStop(), kAsioNotPresent);
    EXPECT_EQ(asioDisposeBuffers(), kAsioNotPresent);
    EXPECT_EQ(asioControlPanel(), kAsioNotPresent);
    EXPECT_EQ(asioOutputReady(), kAsioNotPresent);
}

TEST_F(AsioOutputTest, ADriverThatFailsToStartUpGivesItsMessageAndStaysLoadedUntilUnloaded) {
    setVariable("QOVA_TEST_ASIO_INIT_ERROR", "the card is switched off");
    ASSERT_TRUE(loadAsioDriver(kDriverA));
    AsioDriverInfo info{};
    info.asioVersion = kAsioHostVersion;
    info.sysRef = GetDesktopWindow();
    EXPECT_EQ(asioInit(info), kAsioNotPresent);
    EXPECT_STREQ(info.errorMessage, "the card is switched off");
    EXPECT_EQ(currentAsioDriver(), nullptr);
    EXPECT_EQ(record().liveObjects, 1);
    unloadAsioDriver();
    EXPECT_EQ(record().liveObjects, 0);

    SetEnvironmentVariableA("QOVA_TEST_ASIO_INIT_ERROR", nullptr);
    ASSERT_TRUE(loadAsioDriver(kDriverA));
    EXPECT_EQ(asioInit(info), kAsioOk);
    EXPECT_STREQ(info.errorMessage, "No ASIO Driver Error");
    EXPECT_STREQ(info.name, "QOVA Test ASIO");
    EXPECT_EQ(info.driverVersion, 1);
    EXPECT_EQ(asioExit(), kAsioOk);
    EXPECT_EQ(record().liveObjects, 0);
    EXPECT_EQ(currentAsioDriver(), nullptr);
}

TEST_F(AsioOutputTest, ACatalogCreatesEachDriverObjectOnceAndReleasesItsObjectsWhenItGoes) {
    {
        AsioDriverCatalog catalog;
        int indexA = -1;
        int indexRefused = -1;
        for (int i = 0; i < catalog.count(); ++i) {
            if (catalog.record(i)->name == kDriverA) indexA = i;
            if (catalog.record(i)->name == kRefusedDriver) indexRefused = i;
        }
        ASSERT_GE(indexA, 0);
        ASSERT_GE(indexRefused, 0);

        IAsio* driver = nullptr;
        EXPECT_EQ(catalog.createDriver(indexA, nullptr), kAsioCatalogNoBuffer);
        EXPECT_EQ(catalog.createDriver(catalog.count(), &driver), kAsioCatalogNoSuchIndex);
        EXPECT_EQ(catalog.createDriver(indexRefused, &driver), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(driver, nullptr);
        ASSERT_EQ(catalog.createDriver(indexA, &driver), S_OK);
        EXPECT_EQ(driver, catalog.record(indexA)->object.Get());
        EXPECT_EQ(catalog.createDriver(indexA, &driver), kAsioCatalogObjectExists);
        EXPECT_EQ(record().liveObjects, 1);

        catalog.releaseDriver(indexA);
        EXPECT_FALSE(catalog.record(indexA)->object);
        EXPECT_EQ(record().liveObjects, 0);
        ASSERT_EQ(catalog.createDriver(indexA, &driver), S_OK);
        EXPECT_EQ(record().liveObjects, 1);
    }
    EXPECT_EQ(record().liveObjects, 0);
}

// --- the output -------------------------------------------------------------------------------

struct PlayCase {
    const char* name;
    const char* timeInfo;
    const char* outputReady;
};

TEST_F(AsioOutputTest, PlaysEveryChannelInItsOwnSampleType) {
    // Every type of the table, and a DSD channel (32) that QOVA cannot write.
    const std::int32_t types[] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27, 32};
    const std::uint32_t channels = static_cast<std::uint32_t>(std::size(types));
    std::string typeList;
    for (const std::int32_t type : types) typeList += std::to_string(type) + ",";

    const PlayCase cases[] = {{"bufferSwitch", "0", "0"}, {"bufferSwitchTimeInfo and outputReady", "1", "1"}};
    for (const PlayCase& test : cases) {
        SCOPED_TRACE(test.name);
        clearRecord();
        setVariable("QOVA_TEST_ASIO_OUTPUTS", std::to_string(channels));
        setVariable("QOVA_TEST_ASIO_TYPES", typeList);
        setVariable("QOVA_TEST_ASIO_TIME_INFO", test.timeInfo);
        setVariable("QOVA_TEST_ASIO_OUTPUT_READY", test.outputReady);
        setVariable("QOVA_TEST_ASIO_LATENCY", "300");

        Source source{.expectedFrames = 128, .expectedChannels = channels};
        auto output = makeAsioOutput();
        ASSERT_TRUE(opens(*output, kDriverA, 44100, 128, Source::render, &source));
        EXPECT_EQ(output->channels(), channels);
        EXPECT_EQ(output->sampleRate(), 44100u);
        EXPECT_EQ(output->periodFrames(), 128u);
        EXPECT_EQ(output->latencyFrames(), 300u);
        EXPECT_EQ(output->describe(), "ASIO, 44100 Hz, 128 frames");
        EXPECT_EQ(record().sampleRateHz, 44100);
        EXPECT_EQ(record().bufferFrames, 128);
        EXPECT_EQ(source.frames, 0u) << "rendered before start";

        ASSERT_TRUE(starts(*output));
        ASSERT_TRUE(eventually([&] { return record().recordedFrames.load() >= 4096; }));
        output->close();
        EXPECT_FALSE(output->stoppedUnexpectedly());
        EXPECT_EQ(record().liveObjects, 0);
        EXPECT_EQ(record().stopCalls, 1u);
        EXPECT_EQ(record().disposeCalls, 1u);
        EXPECT_EQ(source.badCalls, 0u);
        const std::uint64_t switches = record().bufferSwitches;
        EXPECT_EQ(source.frames, switches * 128) << "one render per buffer switch";
        // Asked once while opening, then after every period.
        EXPECT_EQ(record().outputReadyCalls.load(), std::string(test.outputReady) == "1" ? switches + 1 : 0u);

        const std::uint32_t frames = record().recordedFrames;
        std::vector<float> staging(std::size_t{frames} * channels);
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint32_t c = 0; c < channels; ++c) staging[std::size_t{f} * channels + c] = Source::value(f, c);
        for (std::uint32_t c = 0; c < channels; ++c) {
            SCOPED_TRACE(types[c]);
            const std::uint32_t width = core::asioSampleBytes(types[c]);
            if (width == 0) {
                // Never written: the driver's fill pattern is still there.
                EXPECT_EQ(std::count(recorded(c), recorded(c) + std::size_t{frames} * 4, 0x5A), frames * 4);
                continue;
            }
            std::vector<unsigned char> expected(std::size_t{frames} * width);
            core::writeAsioChannel(types[c], staging.data(), channels, c, expected.data(), frames);
            EXPECT_EQ(std::memcmp(recorded(c), expected.data(), expected.size()), 0);
        }
        // One type read back by hand: Int16LSB on channel 9.
        for (std::uint32_t f = 0; f < frames; f += 37) {
            const auto stored = static_cast<std::int16_t>(recorded(9)[2 * f] | (recorded(9)[2 * f + 1] << 8));
            const float x = std::clamp(Source::value(f, 9), -1.0f, 1.0f);
            EXPECT_NEAR(stored, x * 32767.0f, 0.51f) << f;
        }
    }
}

TEST_F(AsioOutputTest, ClosesTheDriverStepByStep) {
    auto output = makeAsioOutput();
    expectStartRefused(*output);
    output->close();  // closed already: nothing happens
    EXPECT_EQ(record().createdObjects, 0u);

    ASSERT_TRUE(opens(*output, kDriverA));
    EXPECT_EQ(output->periodFrames(), 256u);  // the preferred size
    EXPECT_EQ(output->sampleRate(), 48000u);  // the driver's own rate
    EXPECT_EQ(output->latencyFrames(), 256u + 32u);
    output->showControlPanel();
    EXPECT_EQ(record().controlPanelCalls, 1u);

    // Open on an open output closes it first.
    ASSERT_TRUE(opens(*output, kDriverA));
    EXPECT_EQ(record().createdObjects, 2u);
    EXPECT_EQ(record().liveObjects, 1);
    EXPECT_EQ(record().disposeCalls, 1u);
    ASSERT_TRUE(starts(*output));
    output.reset();  // the destructor closes
    EXPECT_EQ(record().stopCalls, 1u);
    EXPECT_EQ(record().disposeCalls, 2u);
    EXPECT_EQ(record().liveObjects, 0);
    EXPECT_EQ(currentAsioDriver(), nullptr);

    setVariable("QOVA_TEST_ASIO_REFUSE_START", "1");
    output = makeAsioOutput();
    ASSERT_TRUE(opens(*output, kDriverA));
    expectStartRefused(*output, "the ASIO driver did not start playing");
    output->close();
    EXPECT_EQ(record().liveObjects, 0);
}

struct FailureCase {
    const char* variable;
    const char* value;
    const char* driver;
    std::uint32_t sampleRate;
    std::uint32_t bufferFrames;
    const char* error;
    std::uint32_t disposeCalls = 0;  // buffers made before the failure are given back
};

TEST_F(AsioOutputTest, EveryFailedOpenGivesItsReasonAndLeavesNothingLoaded) {
    const FailureCase cases[] = {
        {nullptr, nullptr, "No Such Driver", 0, 0, "the ASIO driver could not be loaded"},
        {nullptr, nullptr, kRefusedDriver, 0, 0, "the ASIO driver could not be loaded"},
        {"QOVA_TEST_ASIO_INIT_ERROR", "the card is switched off", kDriverA, 0, 0,
         "the ASIO driver did not start: the card is switched off"},
        {"QOVA_TEST_ASIO_OUTPUTS", "0", kDriverA, 0, 0, "the ASIO driver reports no outputs"},
        {"QOVA_TEST_ASIO_BUFFER", "fail", kDriverA, 0, 0, "the ASIO driver did not report its buffer sizes"},
        {"QOVA_TEST_ASIO_BUFFER", "0,0,0,0", kDriverA, 0, 0, "the ASIO driver offers no usable buffer size"},
        {"QOVA_TEST_ASIO_RATES", "48000", kDriverA, 96000, 0, "the ASIO driver cannot run at 96000 Hz"},
        {"QOVA_TEST_ASIO_RATES", "4000", kDriverA, 0, 0, "the ASIO driver reports no sample rate"},
        // Refused twice: the preferred size is what was asked, or is refused too.
        {"QOVA_TEST_ASIO_REFUSE_BUFFERS", "1", kDriverA, 0, 0, "the ASIO driver refused a buffer of 256 frames"},
        {"QOVA_TEST_ASIO_REFUSE_BUFFERS", "2", kDriverA, 0, 128, "the ASIO driver refused a buffer of 128 frames"},
        {"QOVA_TEST_ASIO_NOT_CONNECTED", "1", kDriverA, 0, 0,
         "the ASIO driver has no sound card behind it (another program may be using the card)", 1},
    };
    for (const FailureCase& test : cases) {
        SCOPED_TRACE(test.error);
        clearRecord();
        if (test.variable != nullptr) setVariable(test.variable, test.value);

        auto output = makeAsioOutput();
        EXPECT_EQ(openError(*output, test.driver, test.sampleRate, test.bufferFrames), test.error);
        EXPECT_EQ(currentAsioDriver(), nullptr);
        EXPECT_EQ(record().liveObjects, 0);
        EXPECT_EQ(record().disposeCalls.load(), test.disposeCalls);
        expectStartRefused(*output);

        // Nothing is held: the next output opens.
        if (test.variable != nullptr) SetEnvironmentVariableA(test.variable, nullptr);
        auto next = makeAsioOutput();
        EXPECT_TRUE(opens(*next, kDriverB));
    }
}

TEST_F(AsioOutputTest, ABufferTheDriverRefusesFallsBackToItsPreferredSize) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    setVariable("QOVA_TEST_ASIO_REFUSE_BUFFERS", "1");
    setVariable("QOVA_TEST_ASIO_BUFFER", "64,2048,512,32");
    auto output = makeAsioOutput();
    ASSERT_TRUE(opens(*output, kDriverA, 0, 100));
    EXPECT_EQ(output->periodFrames(), 512u);
    EXPECT_EQ(record().bufferFrames, 512);
    EXPECT_EQ(record().createBuffersCalls, 2u);
    EXPECT_EQ(LogCapture::instance().linesWith(from, "asio QOVA Test ASIO: buffer"),
              std::vector<std::string>{"asio QOVA Test ASIO: buffer 100 is not allowed (min 64 max 2048 pref 512 gran "
                                       "32), using 96"});
    EXPECT_EQ(LogCapture::instance().linesWith(from, "refused"),
              std::vector<std::string>{"asio QOVA Test ASIO: refused a buffer of 96 frames, using its preferred 512"});
}

TEST_F(AsioOutputTest, EightyOutputsGiveSixtyFourChannelsAndOneLineNamingTheFirstEight) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    setVariable("QOVA_TEST_ASIO_OUTPUTS", "80");
    setVariable("QOVA_TEST_ASIO_TYPES", "18,18,19,18,18,18,18,18,32");
    for (int round = 0; round < 2; ++round) {
        auto output = makeAsioOutput();
        ASSERT_TRUE(opens(*output, kDriverA));
        EXPECT_EQ(output->channels(), 64u);
        EXPECT_EQ(record().bufferChannels, 64);
    }
    EXPECT_EQ(LogCapture::instance().linesWith(from, "asio QOVA Test ASIO: outputs"),
              std::vector<std::string>{"asio QOVA Test ASIO: outputs Out 1 type 18, Out 2 type 18, Out 3 type 19, "
                                       "Out 4 type 18, Out 5 type 18, Out 6 type 18, Out 7 type 18, Out 8 type 18"});
    // Channels 9 to 64 are DSD: each is named once per open.
    const std::vector<std::string> silent = LogCapture::instance().linesWith(from, "which QOVA cannot write");
    ASSERT_EQ(silent.size(), 2u * 56u);
    EXPECT_EQ(silent.front(),
              "asio QOVA Test ASIO: channel 8 has sample type 32, which QOVA cannot write; it stays silent");

    // Names that fill all 32 bytes are cut to 31; a new description is logged again.
    setVariable("QOVA_TEST_ASIO_OUTPUTS", "1");
    setVariable("QOVA_TEST_ASIO_LONG_NAMES", "1");
    auto output = makeAsioOutput();
    ASSERT_TRUE(opens(*output, kDriverA));
    EXPECT_EQ(LogCapture::instance().linesWith(from, "asio QOVA Test ASIO: outputs").back(),
              "asio QOVA Test ASIO: outputs Channel 1 of a test driver whos type 18");
}

TEST_F(AsioOutputTest, ASecondAsioDeviceCannotOpenWhileOneIsOpen) {
    auto playing = makeAsioOutput();
    ASSERT_TRUE(opens(*playing, kDriverA));
    ASSERT_TRUE(starts(*playing));

    auto other = makeAsioOutput();
    EXPECT_EQ(openError(*other, kDriverB), "another ASIO card is already open");
    EXPECT_EQ(openError(*other, kDriverA), "another ASIO card is already open");
    other.reset();

    // The first one plays on, untouched.
    EXPECT_EQ(record().createdObjects, 1u);
    const std::uint64_t switches = record().bufferSwitches;
    EXPECT_TRUE(eventually([&] { return record().bufferSwitches > switches + 4; }));
    EXPECT_EQ(record().stopCalls, 0u);

    playing->close();
    other = makeAsioOutput();
    EXPECT_TRUE(opens(*other, kDriverB));
}

TEST_F(AsioOutputTest, AnswersTheDriversMessages) {
    auto output = makeAsioOutput();
    ASSERT_TRUE(opens(*output, kDriverA));
    for (std::uint32_t selector = 0; selector < test_asio::kSelectors; ++selector) {
        SCOPED_TRACE(selector);
        const bool supported =
            selector == 2 || selector == 3 || selector == 5 || selector == 6 || selector == 7 || selector == 15;
        EXPECT_EQ(record().supportedAnswers[selector], supported ? 1 : 0);
        if (selector == 3) continue;  // a reset request, tried below
        const std::int32_t expected = selector == 2 ? 2 : (selector == 5 || selector == 6) ? 1 : 0;
        EXPECT_EQ(record().messageAnswers[selector], expected);
    }
    EXPECT_FALSE(output->stoppedUnexpectedly());
}

TEST_F(AsioOutputTest, AResetRequestOrARateChangeStopsTheOutput) {
    for (const char* event : {"reset:5", "rate:5"}) {
        SCOPED_TRACE(event);
        clearRecord();
        setVariable("QOVA_TEST_ASIO_EVENT", event);
        auto output = makeAsioOutput();
        ASSERT_TRUE(opens(*output, kDriverA));
        ASSERT_TRUE(starts(*output));
        EXPECT_TRUE(eventually([&] { return output->stoppedUnexpectedly(); }));
        EXPECT_EQ(record().eventSent, 1u);
        if (std::strncmp(event, "reset", 5) == 0) {
            EXPECT_EQ(record().eventAnswer, 1);
        }
    }
}

// --- through the router -----------------------------------------------------------------------

TEST_F(AsioOutputTest, TheRouterPlaysACardOnAnAsioDevice) {
    setVariable("QOVA_TEST_ASIO_OUTPUTS", "4");
    setVariable("QOVA_TEST_ASIO_TYPES", "17,19,1,32");
    DeviceInfo tracked = kAsio;  // what the recorder sizes its track by
    tracked.channels = 4;
    tracked.sampleRate = 48000;
    RecordedRouter rig({kAsio}, {tracked}, 4.0);
    auto& [recorder, router] = rig;
    core::Settings settings =
        settingsOf({asioSettings(kAsio, 48000, 256)},
                   {stereoCard("000000a1", "Stereo", kAsio), card("000000a2", "Mono", {member(kAsio.key, 2)})});
    ASSERT_TRUE(router.apply(settings).empty());
    const StatusSnapshot snapshot = router.statusSnapshot();
    ASSERT_EQ(snapshot.devices.size(), 1u);
    ASSERT_EQ(snapshot.devices[0].state, DeviceState::Open) << snapshot.devices[0].problem;
    EXPECT_EQ(snapshot.devices[0].description, "ASIO, 48000 Hz, 256 frames");

    const core::OpenCardResult opened = openOrFail(router, 1, "000000a1");
    Player player(opened, sineSignal(1000.0, 0.5));
    ASSERT_EQ(player.openError(), "");
    // The driver records from its first buffer switch, the recorder from the first one the armed
    // graph rendered, and the player starts when it starts: on a busy machine whole periods of
    // silence come first. The two records are lined up on the sine's first frame, and half a
    // second of it must reach the driver's 2 s record.
    const auto firstSounding = [](const float* samples, std::uint32_t frames, std::uint32_t stride) {
        std::uint32_t f = 0;
        while (f < frames && samples[std::size_t{f} * stride] == 0.0f) ++f;
        return f;
    };
    const auto driverRight = [&] { return reinterpret_cast<const float*>(recorded(1)); };
    const auto driverSine = [&] {
        const std::uint32_t frames = record().recordedFrames.load(std::memory_order_acquire);
        return frames - firstSounding(driverRight(), frames, 1);
    };
    ASSERT_TRUE(eventually([&] { return driverSine() >= 24000; }, 10000ms)) << record().recordedFrames;
    router.closeAll();
    player.stop();

    const Recorder::Track& track = recorder.of(kAsio.key);
    const auto trackFrames = static_cast<std::uint32_t>(track.recordedFrames());
    const std::uint32_t driverFrames = record().recordedFrames;
    const std::uint32_t driverStart = firstSounding(driverRight(), driverFrames, 1);
    const std::uint32_t trackStart = firstSounding(track.samples.data() + 1, trackFrames, 4);
    ASSERT_LT(trackStart, trackFrames);
    ASSERT_GE(driverStart, trackStart);
    const std::uint32_t skipped = driverStart - trackStart;
    EXPECT_EQ(skipped % 256, 0u) << "the records are not a whole number of periods apart";
    const std::uint32_t frames = std::min(driverFrames - skipped, trackFrames);
    ASSERT_GT(frames - trackStart, 24000u);
    for (std::uint32_t c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        const std::int32_t type = c == 0 ? 17 : c == 1 ? 19 : 1;
        const std::uint32_t width = core::asioSampleBytes(type);
        EXPECT_EQ(std::count(recorded(c), recorded(c) + std::size_t{skipped} * width, 0), skipped * width);
        std::vector<unsigned char> expected(std::size_t{frames} * width);
        core::writeAsioChannel(type, track.samples.data(), 4, c, expected.data(), frames);
        EXPECT_EQ(std::memcmp(recorded(c) + std::size_t{skipped} * width, expected.data(), expected.size()), 0);
    }
    // The sine reached both channels of the stereo card; the mono card had no player.
    float loudest = 0.0f;
    for (std::uint32_t f = 0; f < driverFrames; ++f) {
        const float sample = driverRight()[f];
        loudest = std::max(loudest, std::fabs(sample));
        const std::int32_t left =
            (recorded(0)[3 * f] | recorded(0)[3 * f + 1] << 8 | recorded(0)[3 * f + 2] << 16) << 8 >> 8;
        EXPECT_NEAR(left / 8388607.0, sample, 1e-6) << f;
        if (HasFailure()) break;
        ASSERT_EQ(recorded(2)[3 * f] | recorded(2)[3 * f + 1] | recorded(2)[3 * f + 2], 0) << f;
    }
    EXPECT_NEAR(loudest, 0.5f, 0.01f);
}

TEST_F(AsioOutputTest, TheHealthMonitorRebuildsWhenTheDriverAsksForAReset) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    setVariable("QOVA_TEST_ASIO_EVENT", "reset:20");
    Router router(testOptions({kAsio}));
    router.rescan();
    core::Settings settings = settingsOf({asioSettings(kAsio)}, {stereoCard("000000b1", "Stereo", kAsio)});
    ASSERT_TRUE(router.apply(settings).empty());
    ASSERT_EQ(record().createdObjects, 1u);
    // Only the first driver object asks.
    SetEnvironmentVariableA("QOVA_TEST_ASIO_EVENT", nullptr);
    const std::uint64_t builds = router.buildCount();

    ASSERT_TRUE(eventually([&] { return record().eventSent.load() == 1; }));
    router.checkHealth();
    EXPECT_EQ(router.buildCount(), builds + 1);
    EXPECT_EQ(LogCapture::instance().linesWith(from, "stopped unexpectedly"),
              std::vector<std::string>{"asio:QOVA Test ASIO stopped unexpectedly; rebuilding"});
    EXPECT_EQ(record().createdObjects, 2u);
    EXPECT_EQ(record().liveObjects, 1);
    const std::uint64_t switches = record().bufferSwitches;
    EXPECT_TRUE(eventually([&] { return record().bufferSwitches > switches + 4; }));

    router.checkHealth();
    EXPECT_EQ(router.buildCount(), builds + 1);
    router.closeAll();
    EXPECT_EQ(record().liveObjects, 0);
}

// A joined card whose far half's sound card opens but will not start: the card plays its near
// half alone and undelayed, says which half is missing, and the other cards play on.
TEST_F(AsioOutputTest, AFarOutputThatWillNotStartLeavesTheOtherCardsAndItsNearHalfPlaying) {
    setVariable("QOVA_TEST_ASIO_REFUSE_START", "1");
    RecordedRouter rig({kStereo48, kAsio}, {kStereo48}, 6.0);
    auto& [recorder, router] = rig;
    core::Settings settings = settingsOf({deviceSettings(kStereo48), asioSettings(kAsio)},
                                         {card("000000c1", "Joined", {member(kStereo48.key, 0), member(kAsio.key, 1)}),
                                          card("000000c2", "Other", {member(kStereo48.key, 1)}, core::MonoMode::Left)});
    ASSERT_TRUE(router.apply(settings).empty());

    const StatusSnapshot snapshot = router.statusSnapshot();
    const auto joined = std::find_if(snapshot.cards.begin(), snapshot.cards.end(),
                                     [](const CardStatus& c) { return c.id == "000000c1"; });
    ASSERT_NE(joined, snapshot.cards.end());
    EXPECT_EQ(joined->problem, "right output unavailable");
    EXPECT_TRUE(joined->live);
    router.inspect([&](const RouterGraph* graph) {
        EXPECT_TRUE(graph->farLinks.empty() || graph->farLinks[0]->farOutput->farLinks.empty());
        for (const auto& node : graph->cards) {
            EXPECT_TRUE(node->farLinks.empty()) << node->id;
            for (const NearTap& tap : node->taps) EXPECT_EQ(tap.delay.lengthFrames(), 0u) << node->id << " undelayed";
        }
    });

    // Both cards play their whole streams, each frame the one before plus one (silence from a
    // late player aside).
    Player joinedPlayer(openOrFail(router, 1, "000000c1"), countSignal);
    Player otherPlayer(openOrFail(router, 2, "000000c2"), countSignal);
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, 48000 * 3));
    router.closeAll();
    for (std::uint32_t c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        std::vector<float> played = recorder.of(kStereo48.key).channel(c);
        std::erase(played, 0.0f);
        ASSERT_GT(played.size(), 48000u * 2);
        EXPECT_EQ(played.front(), 1.0f) << "from the stream's first frame";
        for (std::size_t i = 1; i < played.size(); ++i) ASSERT_EQ(played[i], played[i - 1] + 1.0f) << "at " << i;
    }
}

// A sound card that opens but will not start is not "back" for the health monitor: its trial
// starts it too, and no rebuild stops every other output every few seconds.
TEST_F(AsioOutputTest, ASoundCardThatWillNotStartCausesNoRebuilds) {
    setVariable("QOVA_TEST_ASIO_REFUSE_START", "1");
    Router router(testOptions({kStereo48, kAsio}));
    router.rescan();
    core::Settings settings = settingsOf({deviceSettings(kStereo48), asioSettings(kAsio)},
                                         {card("000000d1", "On ASIO", {member(kAsio.key, 0)})});
    ASSERT_TRUE(router.apply(settings).empty());
    ASSERT_EQ(router.statusSnapshot().devices[1].state, DeviceState::Failed);
    const std::uint64_t builds = router.buildCount();
    const std::uint32_t startsBefore = record().startCalls;
    // The monitor's timer ticks every second; its trials come every 5 s.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        router.checkHealth();
        std::this_thread::sleep_for(1s);
    }
    EXPECT_EQ(router.buildCount(), builds) << "over 30 s";
    EXPECT_GE(record().startCalls - startsBefore, 5u) << "the trials started the card";
    EXPECT_EQ(record().liveObjects, 0) << "and let it go";
}

// The way back for a sound card that was missing: a driver installed while QOVA runs is found
// by the health monitor's rescan, at most once every 3 s, and the card plays on it.
TEST_F(AsioOutputTest, ADriverInstalledWhileQovaRunsIsFoundByTheNextRescan) {
    unregisterDrivers();
    RouterOptions options;
    options.scanDevices = true;
    Router router(options);
    router.rescan();
    core::Settings settings = settingsOf({asioSettings(kAsio)}, {stereoCard("000000b2", "Stereo", kAsio)});
    ASSERT_TRUE(router.apply(settings).empty());
    auto state = [&]() -> std::optional<DeviceState> {
        for (const DeviceStatus& status : router.statusSnapshot().devices) {
            if (status.info.key == kAsio.key) return status.state;
        }
        return std::nullopt;
    };
    ASSERT_EQ(state(), DeviceState::Missing) << "missing while the driver is not installed";
    const std::uint64_t builds = router.buildCount();

    ASSERT_NO_FATAL_FAILURE(registerDrivers());
    router.checkHealth();  // the last scan was just now
    EXPECT_EQ(state(), DeviceState::Missing);
    EXPECT_EQ(router.buildCount(), builds);

    ASSERT_TRUE(eventually(
        [&] {
            router.checkHealth();
            return state() == DeviceState::Open;
        },
        6000ms));
    EXPECT_EQ(router.buildCount(), builds + 1);
    const std::vector<core::CardInfo> cards = router.listCards(1);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].state, "ready");
    EXPECT_TRUE(eventually([&] { return record().bufferSwitches > 4; })) << "the driver plays";
    router.closeAll();
}

}  // namespace
}  // namespace win
