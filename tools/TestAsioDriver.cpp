// qova_test_asio.dll: an ASIO driver with no sound card behind it, for the tests. It is a COM
// in-process server like any ASIO driver, registered in the test prefix the way real drivers
// register, serving two driver classes. Its buffer-switch thread runs at the agreed rate and
// buffer size, and it copies what the host wrote into each channel to the test's section.
// How it behaves is set through the environment (TestAsioDriver.h).
//
// The sample widths here are written out on their own rather than taken from QOVA's code,
// so that a test compares QOVA's conversion with a second opinion.

#include "tools/TestAsioDriver.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "win/AsioInterface.h"

namespace {

using namespace win;
using test_asio::TestAsioRecord;

HMODULE thisModule = nullptr;
std::atomic<long> serverLocks{0};
std::atomic<long> liveObjects{0};

std::string environment(const char* name, const char* fallback = "") {
    char value[512];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 || length >= sizeof value) return fallback;
    return std::string(value, length);
}

std::vector<long> numbers(const std::string& text) {
    std::vector<long> values;
    const char* at = text.c_str();
    while (*at != '\0') {
        char* end = nullptr;
        const long value = std::strtol(at, &end, 10);
        if (end == at) break;
        values.push_back(value);
        at = *end == ',' ? end + 1 : end;
    }
    return values;
}

// Bytes a sample of `type` takes in a buffer; types the host does not write get 4, and their
// buffers a fill pattern that shows whether anyone wrote into them.
std::uint32_t sampleWidth(long type) {
    switch (type) {
        case 0: case 16: return 2;
        case 1: case 17: return 3;
        case 4: case 20: return 8;
        default: return 4;
    }
}

bool isKnownType(long type) {
    return (type >= 0 && type <= 4) || (type >= 8 && type <= 11) || (type >= 16 && type <= 20) ||
           (type >= 24 && type <= 27);
}

constexpr unsigned char kUntouched = 0x5A;

struct Config {
    long outputs = 2;
    std::vector<long> types{18};
    bool bufferSizesFail = false;
    long minimum = 64, maximum = 2048, preferred = 256, granularity = -1;
    std::vector<long> rates{48000, 44100};
    long latency = -1;  // buffer size + 32
    bool notConnected = false;
    bool longNames = false;
    long refuseBuffers = 0;
    bool refuseStart = false;
    std::string initError;
    bool outputReady = false;
    bool timeInfo = false;
    std::string event;  // "reset" or "rate"
    std::uint64_t eventAfter = 0;
    std::string record;

    static Config fromEnvironment() {
        Config c;
        c.outputs = std::strtol(environment("QOVA_TEST_ASIO_OUTPUTS", "2").c_str(), nullptr, 10);
        if (auto types = numbers(environment("QOVA_TEST_ASIO_TYPES")); !types.empty()) c.types = types;
        const std::string buffer = environment("QOVA_TEST_ASIO_BUFFER");
        if (buffer == "fail") c.bufferSizesFail = true;
        if (auto sizes = numbers(buffer); sizes.size() == 4) {
            c.minimum = sizes[0];
            c.maximum = sizes[1];
            c.preferred = sizes[2];
            c.granularity = sizes[3];
        }
        if (auto rates = numbers(environment("QOVA_TEST_ASIO_RATES")); !rates.empty()) c.rates = rates;
        if (auto latency = numbers(environment("QOVA_TEST_ASIO_LATENCY")); !latency.empty()) c.latency = latency[0];
        c.notConnected = environment("QOVA_TEST_ASIO_NOT_CONNECTED") == "1";
        c.longNames = environment("QOVA_TEST_ASIO_LONG_NAMES") == "1";
        c.refuseBuffers = std::strtol(environment("QOVA_TEST_ASIO_REFUSE_BUFFERS", "0").c_str(), nullptr, 10);
        c.refuseStart = environment("QOVA_TEST_ASIO_REFUSE_START") == "1";
        c.initError = environment("QOVA_TEST_ASIO_INIT_ERROR");
        c.outputReady = environment("QOVA_TEST_ASIO_OUTPUT_READY") == "1";
        c.timeInfo = environment("QOVA_TEST_ASIO_TIME_INFO") == "1";
        const std::string event = environment("QOVA_TEST_ASIO_EVENT");
        if (const std::size_t colon = event.find(':'); colon != std::string::npos) {
            c.event = event.substr(0, colon);
            c.eventAfter = std::strtoull(event.c_str() + colon + 1, nullptr, 10);
        }
        c.record = environment("QOVA_TEST_ASIO_RECORD");
        return c;
    }

    long typeOf(long channel) const {
        return types[std::min<std::size_t>(static_cast<std::size_t>(channel), types.size() - 1)];
    }
};

class TestDriver final : public IAsio {
public:
    TestDriver(const GUID& classId, int classIndex) : classId_(classId), config_(Config::fromEnvironment()) {
        rate_ = config_.rates.empty() ? 0 : config_.rates.front();
        ++liveObjects;
        if (!config_.record.empty()) {
            section_ = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, config_.record.c_str());
            if (section_ != nullptr)
                record_ = static_cast<TestAsioRecord*>(MapViewOfFile(section_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        }
        if (record_ != nullptr) {
            const std::int32_t now = ++record_->liveObjects;
            std::int32_t most = record_->mostLiveObjects.load();
            while (now > most && !record_->mostLiveObjects.compare_exchange_weak(most, now)) {
            }
            ++record_->createdObjects;
            record_->lastCreatedClass = classIndex;
            record_->sampleRateHz = static_cast<std::int32_t>(rate_);
        }
    }

    ~TestDriver() {
        stopThread();
        if (record_ != nullptr) {
            --record_->liveObjects;
            UnmapViewOfFile(record_);
        }
        if (section_ != nullptr) CloseHandle(section_);
        --liveObjects;
    }

    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, classId_)) {
            *object = static_cast<IAsio*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // IAsio
    AsioBool init(void* sysHandle) override {
        count(&TestAsioRecord::initCalls);
        if (!config_.initError.empty()) return 0;
        return sysHandle != nullptr ? 1 : 0;
    }
    void getDriverName(char* name) override { std::strcpy(name, "QOVA Test ASIO"); }
    long getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override {
        const std::string message = config_.initError.empty() ? "no system reference" : config_.initError;
        std::snprintf(text, 124, "%s", message.c_str());
    }
    AsioError start() override {
        count(&TestAsioRecord::startCalls);
        if (config_.refuseStart) return kAsioHardwareMalfunction;
        if (channels_.empty()) return kAsioInvalidMode;
        if (thread_.joinable()) return kAsioOk;
        stop_ = false;
        thread_ = std::thread([this] { run(); });
        return kAsioOk;
    }
    AsioError stop() override {
        count(&TestAsioRecord::stopCalls);
        stopThread();
        return kAsioOk;
    }
    AsioError getChannels(long* inputs, long* outputs) override {
        *inputs = 0;
        *outputs = config_.outputs;
        return kAsioOk;
    }
    AsioError getLatencies(long* inputLatency, long* outputLatency) override {
        *inputLatency = 0;
        *outputLatency = config_.latency >= 0 ? config_.latency : bufferFrames_ + 32;
        return kAsioOk;
    }
    AsioError getBufferSize(long* minimumSize, long* maximumSize, long* preferredSize, long* granularity) override {
        if (config_.bufferSizesFail) return kAsioNotPresent;
        *minimumSize = config_.minimum;
        *maximumSize = config_.maximum;
        *preferredSize = config_.preferred;
        *granularity = config_.granularity;
        return kAsioOk;
    }
    AsioError canSampleRate(AsioSampleRate rate) override {
        return std::find(config_.rates.begin(), config_.rates.end(), static_cast<long>(rate)) != config_.rates.end()
                   ? kAsioOk
                   : kAsioNoClock;
    }
    AsioError getSampleRate(AsioSampleRate* rate) override {
        *rate = static_cast<AsioSampleRate>(rate_);
        return kAsioOk;
    }
    AsioError setSampleRate(AsioSampleRate rate) override {
        if (canSampleRate(rate) != kAsioOk) return kAsioNoClock;
        rate_ = static_cast<long>(rate);
        if (record_ != nullptr) record_->sampleRateHz = static_cast<std::int32_t>(rate_);
        return kAsioOk;
    }
    AsioError getClockSources(AsioClockSource* clocks, long* count) override {
        std::memset(clocks, 0, sizeof *clocks);
        clocks->associatedChannel = -1;
        clocks->associatedGroup = -1;
        clocks->isCurrentSource = 1;
        std::strcpy(clocks->name, "Internal");
        *count = 1;
        return kAsioOk;
    }
    AsioError setClockSource(long reference) override { return reference == 0 ? kAsioOk : kAsioInvalidParameter; }
    AsioError getSamplePosition(AsioSamples* position, AsioTimeStamp* timeStamp) override {
        const std::uint64_t frames = switches_.load() * static_cast<std::uint64_t>(bufferFrames_);
        position->hi = static_cast<unsigned long>(frames >> 32);
        position->lo = static_cast<unsigned long>(frames);
        timeStamp->hi = timeStamp->lo = 0;
        return kAsioOk;
    }
    AsioError getChannelInfo(AsioChannelInfo* info) override {
        if (info->isInput != 0 || info->channel < 0 || info->channel >= config_.outputs) return kAsioInvalidParameter;
        info->isActive = info->channel < static_cast<long>(channels_.size()) ? 1 : 0;
        info->channelGroup = 0;
        info->type = config_.typeOf(info->channel);
        char name[64];
        if (config_.longNames) {
            std::snprintf(name, sizeof name, "Channel %ld of a test driver whose names are long", info->channel + 1);
            std::memcpy(info->name, name, sizeof info->name);  // every byte, no terminator
        } else {
            std::snprintf(name, sizeof name, config_.notConnected ? "Not Connected %ld" : "Out %ld", info->channel + 1);
            std::snprintf(info->name, sizeof info->name, "%s", name);
        }
        return kAsioOk;
    }
    AsioError createBuffers(AsioBufferInfo* infos, long count, long bufferSize, AsioCallbacks* callbacks) override {
        this->count(&TestAsioRecord::createBuffersCalls);
        if (config_.refuseBuffers > 0) {
            --config_.refuseBuffers;
            return kAsioInvalidMode;
        }
        if (!channels_.empty() || count <= 0 || callbacks == nullptr || bufferSize < config_.minimum ||
            bufferSize > config_.maximum)
            return kAsioInvalidMode;
        for (long i = 0; i < count; ++i) {
            if (infos[i].isInput != 0 || infos[i].channelNum < 0 || infos[i].channelNum >= config_.outputs)
                return kAsioInvalidParameter;
        }
        bufferFrames_ = bufferSize;
        callbacks_ = callbacks;
        for (long i = 0; i < count; ++i) {
            Channel channel;
            channel.number = infos[i].channelNum;
            channel.type = config_.typeOf(channel.number);
            channel.bytesPerHalf = sampleWidth(channel.type) * static_cast<std::uint32_t>(bufferSize);
            channel.memory.assign(2 * std::size_t{channel.bytesPerHalf}, isKnownType(channel.type) ? 0 : kUntouched);
            channels_.push_back(std::move(channel));
        }
        for (long i = 0; i < count; ++i) {
            infos[i].buffers[0] = channels_[static_cast<std::size_t>(i)].memory.data();
            infos[i].buffers[1] = channels_[static_cast<std::size_t>(i)].memory.data() + channels_[static_cast<std::size_t>(i)].bytesPerHalf;
        }
        if (record_ != nullptr) {
            record_->bufferFrames = bufferSize;
            record_->bufferChannels = count;
            for (long s = 0; s < static_cast<long>(test_asio::kSelectors); ++s) {
                record_->supportedAnswers[s] = callbacks->asioMessage(kAsioSelectorSupported, s, nullptr, nullptr);
                if (s != kAsioResetRequest) record_->messageAnswers[s] = callbacks->asioMessage(s, 0, nullptr, nullptr);
            }
        }
        return kAsioOk;
    }
    AsioError disposeBuffers() override {
        count(&TestAsioRecord::disposeCalls);
        stopThread();
        channels_.clear();
        callbacks_ = nullptr;
        return kAsioOk;
    }
    AsioError controlPanel() override {
        count(&TestAsioRecord::controlPanelCalls);
        return kAsioOk;
    }
    AsioError future(long, void*) override { return kAsioInvalidParameter; }
    AsioError outputReady() override {
        if (!config_.outputReady) return kAsioNotPresent;
        count(&TestAsioRecord::outputReadyCalls);
        return kAsioOk;
    }

private:
    struct Channel {
        long number = 0;
        long type = 0;
        std::uint32_t bytesPerHalf = 0;
        std::vector<unsigned char> memory;  // two halves
    };

    void count(std::atomic<std::uint32_t> TestAsioRecord::*field) {
        if (record_ != nullptr) ++(record_->*field);
    }

    void stopThread() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // The buffer-switch thread: one switch per period, on a fixed schedule.
    void run() {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        LARGE_INTEGER frequency;
        LARGE_INTEGER now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&now);
        const double periodTicks = static_cast<double>(bufferFrames_) * static_cast<double>(frequency.QuadPart) /
                                   static_cast<double>(rate_ > 0 ? rate_ : 48000);
        double due = static_cast<double>(now.QuadPart);
        long index = 0;
        AsioTime time{};
        while (!stop_) {
            if (config_.timeInfo) {
                time.timeInfo.sampleRate = static_cast<double>(rate_);
                callbacks_->bufferSwitchTimeInfo(&time, index, 0);
            } else {
                callbacks_->bufferSwitch(index, 0);
            }
            keep(index);
            const std::uint64_t done = ++switches_;
            if (record_ != nullptr) record_->bufferSwitches = done;
            if (!config_.event.empty() && done == config_.eventAfter) sendEvent();
            index ^= 1;

            due += periodTicks;
            QueryPerformanceCounter(&now);
            const double waitMs = (due - static_cast<double>(now.QuadPart)) * 1000.0 / static_cast<double>(frequency.QuadPart);
            if (waitMs >= 1.0) Sleep(static_cast<DWORD>(waitMs));
        }
    }

    // Copies half `index` of every channel to the record, while there is room.
    void keep(long index) {
        if (record_ == nullptr) return;
        const std::uint32_t frames = record_->recordedFrames.load(std::memory_order_relaxed);
        for (const Channel& channel : channels_) {
            if (channel.number >= static_cast<long>(test_asio::kMaxChannels)) continue;
            const std::size_t width = sampleWidth(channel.type);
            const std::size_t at = std::size_t{frames} * width;
            if (at + channel.bytesPerHalf > test_asio::kChannelBytes) return;
            std::memcpy(test_asio::recordedChannel(record_, static_cast<std::uint32_t>(channel.number)) + at,
                        channel.memory.data() + (index == 0 ? 0 : channel.bytesPerHalf), channel.bytesPerHalf);
        }
        record_->recordedFrames.store(frames + static_cast<std::uint32_t>(bufferFrames_), std::memory_order_release);
    }

    void sendEvent() {
        if (config_.event == "reset") {
            if (callbacks_->asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr) == 1) {
                const long answer = callbacks_->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
                if (record_ != nullptr) record_->eventAnswer = answer;
            }
        } else if (config_.event == "rate") {
            callbacks_->sampleRateDidChange(static_cast<AsioSampleRate>(rate_) * 2.0);
        }
        if (record_ != nullptr) record_->eventSent = 1;
    }

    const GUID classId_;
    Config config_;
    std::atomic<ULONG> references_{1};
    long rate_ = 0;
    long bufferFrames_ = 0;
    std::vector<Channel> channels_;
    AsioCallbacks* callbacks_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> switches_{0};
    HANDLE section_ = nullptr;
    TestAsioRecord* record_ = nullptr;
};

class ClassFactory final : public IClassFactory {
public:
    ClassFactory(const GUID& classId, int classIndex) : classId_(classId), classIndex_(classIndex) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Static objects: they live as long as the DLL.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* driver = new (std::nothrow) TestDriver(classId_, classIndex_);
        if (driver == nullptr) return E_OUTOFMEMORY;
        const HRESULT result = driver->QueryInterface(iid, object);
        driver->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ++serverLocks;
        else --serverLocks;
        return S_OK;
    }

private:
    const GUID classId_;
    const int classIndex_;
};

ClassFactory factoryA(test_asio::kClassA, 0);
ClassFactory factoryB(test_asio::kClassB, 1);

struct Registration {
    const GUID* classId;
    const char* name;
};
constexpr Registration kRegistrations[] = {{&test_asio::kClassA, "QOVA Test ASIO"},
                                           {&test_asio::kClassB, "QOVA Test ASIO 2"}};

std::string classIdText(const GUID& id) {
    wchar_t wide[40];
    StringFromGUID2(id, wide, 40);
    char text[40];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

bool setText(HKEY root, const std::string& path, const char* valueName, const std::string& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) thisModule = instance;
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualGUID(classId, test_asio::kClassA)) return factoryA.QueryInterface(iid, object);
    if (IsEqualGUID(classId, test_asio::kClassB)) return factoryB.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
    return liveObjects.load() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

// For trying the driver by hand: "regsvr32 qova_test_asio.dll" installs both drivers.
extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(thisModule, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    for (const Registration& driver : kRegistrations) {
        const std::string classKey = "CLSID\\" + classIdText(*driver.classId);
        const std::string asioKey = std::string("SOFTWARE\\ASIO\\") + driver.name;
        if (!setText(HKEY_CLASSES_ROOT, classKey, nullptr, driver.name) ||
            !setText(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr, path) ||
            !setText(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "ThreadingModel", "Apartment") ||
            !setText(HKEY_LOCAL_MACHINE, asioKey, "CLSID", classIdText(*driver.classId)) ||
            !setText(HKEY_LOCAL_MACHINE, asioKey, "Description", driver.name))
            return E_FAIL;
    }
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer() {
    for (const Registration& driver : kRegistrations) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + classIdText(*driver.classId)).c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string("SOFTWARE\\ASIO\\") + driver.name).c_str());
    }
    return S_OK;
}
