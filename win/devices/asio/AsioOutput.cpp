// The output for an ASIO driver. It loads the driver named in the device key through the
// process's driver loader (AsioDriverCatalog.h), agrees a buffer size and sample rate with it,
// creates one output buffer pair per channel (up to 64), and on every buffer switch asks the
// router for one period of interleaved floats and writes each channel in the driver's own
// sample type (AsioFormat.h).
//
// A process holds one ASIO driver at a time, so one AsioOutput at most is open: the open one
// sits in activeAsioOutput, which is also how the driver's callbacks, which carry no user
// value, find it.
//
// Index: the callbacks; the output (open, its steps, close); the render path; the factory.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings/Settings.h"
#include "core/signal/AsioFormat.h"
#include "win/base/Log.h"
#include "win/devices/Output.h"
#include "win/devices/asio/AsioDriverCatalog.h"
#include "win/devices/asio/AsioInterface.h"

namespace win {

namespace {

constexpr std::uint32_t kLoggedChannels = 8;  // the "outputs" log line names this many
constexpr char kNotConnected[] = "Not Connected";
constexpr std::size_t kNotConnectedBytes = sizeof kNotConnected - 1;
constexpr std::size_t kDescribeBytes = 160;

class AsioOutput;

// The open output, or null. Claimed at the start of open and cleared by close after the
// driver has stopped and dropped its buffers, so a callback never outlives its output. What
// the buffer switch then reads of the output is published by start (see renderEnabled_).
std::atomic<AsioOutput*> activeAsioOutput{nullptr};

// The last "asio %s: outputs %s" description logged, so that reopening the same driver
// does not repeat it. UI thread.
std::string lastLoggedOutputs;

void onBufferSwitch(long index, AsioBool directProcess);
AsioTime* onBufferSwitchTimeInfo(AsioTime* time, long index, AsioBool directProcess);
void onSampleRateDidChange(AsioSampleRate rate);
long onAsioMessage(long selector, long value, void* message, double* option);

class AsioOutput final : public Output {
public:
    AsioOutput() = default;
    ~AsioOutput() override { close(); }

    bool open(const DeviceInfo& device, const core::DeviceSettings& settings, RenderFunction render, void* context,
              std::string& error) override;
    bool start(std::string& error) override;
    void close() override;
    std::uint32_t sampleRate() const override { return sampleRate_; }
    std::uint32_t channels() const override { return channels_; }
    std::uint32_t periodFrames() const override { return periodFrames_; }
    std::uint32_t latencyFrames() const override { return latencyFrames_; }
    bool stoppedUnexpectedly() const override { return stoppedUnexpectedly_.load(std::memory_order_acquire); }
    std::string describe() const override;
    void showControlPanel() override;

    // Driver's thread: no lock, no allocation, no logging.
    void processPeriod(long index);
    // Any thread.
    void markStopped() { stoppedUnexpectedly_.exchange(true, std::memory_order_acq_rel); }

private:
    // Steps of open, each false with `error`: channels, buffer size and sample rate; then the
    // buffers.
    bool negotiate(const core::DeviceSettings& settings, std::string& error);
    bool createBuffers(std::string& error);
    // True when every channel is named "Not Connected...".
    bool readChannels();

    std::string driverName_;
    RenderFunction render_ = nullptr;
    void* renderContext_ = nullptr;
    bool isActive_ = false;
    bool isLoaded_ = false;
    bool isInitialised_ = false;
    bool buffersCreated_ = false;  // the open state
    bool isStarted_ = false;
    bool wantsOutputReady_ = false;
    std::uint32_t channels_ = 0;
    std::uint32_t periodFrames_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint32_t latencyFrames_ = 0;
    std::vector<AsioBufferInfo> bufferInfos_;
    std::vector<std::int32_t> sampleTypes_;  // -1 until the channel's information is read
    std::vector<float> staging_;             // periodFrames x channels, interleaved
    // The driver keeps this record's address while the buffers exist.
    AsioCallbacks callbacks_{};
    // Lets the driver's thread render only between start and stop. A driver that switches
    // buffers before it is started, or while open is still sizing `staging_`, reaches nothing.
    // start's release store (UI thread) pairs with processPeriod's acquire load, which makes
    // everything open prepared visible to the driver's thread.
    std::atomic<bool> renderEnabled_{false};
    std::atomic<bool> stoppedUnexpectedly_{false};
};

// --- callbacks: the driver's threads ----------------------------------------------------------

void onBufferSwitch(long index, AsioBool) {
    AsioOutput* output = activeAsioOutput.load(std::memory_order_acquire);
    if (output != nullptr) output->processPeriod(index);
}

AsioTime* onBufferSwitchTimeInfo(AsioTime* time, long index, AsioBool) {
    AsioOutput* output = activeAsioOutput.load(std::memory_order_acquire);
    if (output != nullptr) output->processPeriod(index);
    return time;
}

// The driver now runs at another rate than the router converted for: only a rebuild helps.
void onSampleRateDidChange(AsioSampleRate) {
    AsioOutput* output = activeAsioOutput.load(std::memory_order_acquire);
    if (output != nullptr) output->markStopped();
}

long onAsioMessage(long selector, long value, void*, double*) {
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioResyncRequest ||
                       value == kAsioLatenciesChanged || value == kAsioSupportsTimeInfo || value == kAsioOverload
                   ? 1
                   : 0;
    case kAsioEngineVersion: return 2;
    case kAsioResetRequest: {
        // The driver wants to be opened afresh (its settings changed): the health monitor
        // rebuilds the output.
        AsioOutput* output = activeAsioOutput.load(std::memory_order_acquire);
        if (output != nullptr) output->markStopped();
        return 1;
    }
    case kAsioResyncRequest:
    case kAsioLatenciesChanged: return 1;
    default: return 0;  // buffer size change and time info among them
    }
}

// --- the output: UI thread ----------------------------------------------------------------------

bool AsioOutput::open(const DeviceInfo& device, const core::DeviceSettings& settings, RenderFunction render,
                      void* context, std::string& error) {
    close();

    AsioOutput* none = nullptr;
    if (!activeAsioOutput.compare_exchange_strong(none, this, std::memory_order_acq_rel)) {
        error = "another ASIO card is already open";
        return false;
    }
    isActive_ = true;

    render_ = render;
    renderContext_ = context;
    constexpr std::size_t kPrefixBytes = sizeof "asio:" - 1;
    driverName_ = device.key.size() > kPrefixBytes ? device.key.substr(kPrefixBytes) : std::string();

    if (!loadAsioDriver(driverName_.c_str())) {
        error = "the ASIO driver could not be loaded";
        close();
        return false;
    }
    isLoaded_ = true;

    AsioDriverInfo info{};
    info.asioVersion = kAsioHostVersion;
    info.sysRef = GetDesktopWindow();
    if (asioInit(info) != kAsioOk) {
        info.errorMessage[sizeof info.errorMessage - 1] = '\0';
        error = std::string("the ASIO driver did not start: ") + info.errorMessage;
        close();
        return false;
    }
    isInitialised_ = true;

    if (!negotiate(settings, error) || !createBuffers(error)) {
        close();
        return false;
    }
    buffersCreated_ = true;

    // A driver whose card is held by another program often still opens, but names every
    // channel "Not Connected ...": better a clear reason than silence.
    if (readChannels()) {
        error = "the ASIO driver has no sound card behind it (another program may be using the card)";
        close();
        return false;
    }

    long inputLatency = 0;
    long outputLatency = 0;
    latencyFrames_ = asioGetLatencies(inputLatency, outputLatency) == kAsioOk && outputLatency >= 1
                         ? static_cast<std::uint32_t>(outputLatency)
                         : periodFrames_;
    wantsOutputReady_ = asioOutputReady() == kAsioOk;
    staging_.assign(std::size_t{periodFrames_} * channels_, 0.0f);
    return true;
}

// Channels, buffer size and sample rate.
bool AsioOutput::negotiate(const core::DeviceSettings& settings, std::string& error) {
    long inputs = 0;
    long outputs = 0;
    if (asioGetChannels(inputs, outputs) != kAsioOk || outputs <= 0) {
        error = "the ASIO driver reports no outputs";
        return false;
    }
    channels_ = std::min(static_cast<std::uint32_t>(outputs), core::kMaxChannels);

    long minimum = 0;
    long maximum = 0;
    long preferred = 0;
    long granularity = 0;
    if (asioGetBufferSize(minimum, maximum, preferred, granularity) != kAsioOk) {
        error = "the ASIO driver did not report its buffer sizes";
        return false;
    }
    periodFrames_ = core::chooseAsioBufferSize(settings.bufferFrames, minimum, maximum, preferred, granularity);
    if (periodFrames_ == 0) {
        error = "the ASIO driver offers no usable buffer size";
        return false;
    }
    if (settings.bufferFrames != 0 && settings.bufferFrames != periodFrames_) {
        logLine("asio %s: buffer %u is not allowed (min %ld max %ld pref %ld gran %ld), using %u", driverName_.c_str(),
                settings.bufferFrames, minimum, maximum, preferred, granularity, periodFrames_);
    }

    if (settings.sampleRate != 0) {
        const AsioSampleRate wanted = settings.sampleRate;
        if (asioCanSampleRate(wanted) != kAsioOk || asioSetSampleRate(wanted) != kAsioOk) {
            error = "the ASIO driver cannot run at " + std::to_string(settings.sampleRate) + " Hz";
            return false;
        }
    }
    AsioSampleRate rate = 0.0;
    // Also refuses NaN and rates no 32-bit count can hold.
    if (asioGetSampleRate(rate) != kAsioOk || !(rate >= 8000.0) || rate > 4294967295.0) {
        error = "the ASIO driver reports no sample rate";
        return false;
    }
    sampleRate_ = static_cast<std::uint32_t>(rate + 0.5);
    return true;
}

bool AsioOutput::createBuffers(std::string& error) {
    bufferInfos_.assign(channels_, AsioBufferInfo{});
    for (std::uint32_t i = 0; i < channels_; ++i) {
        bufferInfos_[i].isInput = 0;
        bufferInfos_[i].channelNum = static_cast<long>(i);
    }
    callbacks_.bufferSwitch = onBufferSwitch;
    callbacks_.sampleRateDidChange = onSampleRateDidChange;
    callbacks_.asioMessage = onAsioMessage;
    callbacks_.bufferSwitchTimeInfo = onBufferSwitchTimeInfo;
    const long count = static_cast<long>(channels_);
    if (asioCreateBuffers(bufferInfos_.data(), count, static_cast<long>(periodFrames_), &callbacks_) == kAsioOk)
        return true;

    // Some drivers list sizes they then refuse; their preferred size is the likeliest to work.
    long minimum = 0;
    long maximum = 0;
    long preferred = 0;
    long granularity = 0;
    asioGetBufferSize(minimum, maximum, preferred, granularity);
    const std::uint32_t fallback = core::chooseAsioBufferSize(0, minimum, maximum, preferred, granularity);
    if (fallback == 0 || fallback == periodFrames_ ||
        asioCreateBuffers(bufferInfos_.data(), count, static_cast<long>(fallback), &callbacks_) != kAsioOk) {
        error = "the ASIO driver refused a buffer of " + std::to_string(periodFrames_) + " frames";
        return false;
    }
    logLine("asio %s: refused a buffer of %u frames, using its preferred %u", driverName_.c_str(), periodFrames_,
            fallback);
    periodFrames_ = fallback;
    return true;
}

// Each channel's sample type, and the log line naming the first channels.
bool AsioOutput::readChannels() {
    sampleTypes_.assign(channels_, -1);
    std::string description;
    bool noneConnected = true;
    for (std::uint32_t i = 0; i < channels_; ++i) {
        AsioChannelInfo channel{};
        channel.channel = static_cast<long>(i);
        channel.isInput = 0;
        // Unreadable: no name, so not "Not Connected" either.
        if (asioGetChannelInfo(channel) != kAsioOk) {
            noneConnected = false;
            continue;
        }
        channel.name[sizeof channel.name - 1] = '\0';
        if (std::strncmp(channel.name, kNotConnected, kNotConnectedBytes) != 0) noneConnected = false;
        if (i < kLoggedChannels) {
            if (i > 0) description += ", ";
            description += channel.name;
            if (channel.isActive == 0) description += " (inactive)";
            description += " type " + std::to_string(channel.type);
        }
        sampleTypes_[i] = static_cast<std::int32_t>(channel.type);
        if (core::asioSampleBytes(sampleTypes_[i]) == 0) {
            logLine("asio %s: channel %u has sample type %ld, which QOVA cannot write; it stays silent",
                    driverName_.c_str(), i, channel.type);
        }
    }
    if (!description.empty() && description != lastLoggedOutputs) {
        logLine("asio %s: outputs %s", driverName_.c_str(), description.c_str());
        lastLoggedOutputs = description;
    }
    return noneConnected;
}

bool AsioOutput::start(std::string& error) {
    if (!buffersCreated_) {
        error = "not open";
        return false;
    }
    // Before the call: a driver may switch buffers before start returns.
    renderEnabled_.store(true, std::memory_order_release);
    if (asioStart() != kAsioOk) {
        renderEnabled_.store(false, std::memory_order_release);
        error = "the ASIO driver did not start playing";
        return false;
    }
    isStarted_ = true;
    return true;
}

// Also the cleanup of a failed open: each step only when its flag is set.
void AsioOutput::close() {
    if (isStarted_) {
        asioStop();
        isStarted_ = false;
    }
    renderEnabled_.store(false, std::memory_order_release);
    if (buffersCreated_) {
        asioDisposeBuffers();
        buffersCreated_ = false;
    }
    if (isInitialised_) {
        asioExit();
        isInitialised_ = false;
    }
    if (isLoaded_) {
        unloadAsioDriver();
        isLoaded_ = false;
    }
    if (isActive_) {
        AsioOutput* self = this;
        activeAsioOutput.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
        isActive_ = false;
    }
}

std::string AsioOutput::describe() const {
    if (!buffersCreated_) return {};
    char text[kDescribeBytes];
    std::snprintf(text, sizeof text, "ASIO, %u Hz, %u frames", sampleRate_, periodFrames_);
    return text;
}

void AsioOutput::showControlPanel() {
    if (isInitialised_ && currentAsioDriver() != nullptr) asioControlPanel();
}

// --- the render path: the driver's thread -------------------------------------------------------

// Driver's thread: no lock, no allocation, no logging. Fills buffer half `index`.
void AsioOutput::processPeriod(long index) {
    if (!renderEnabled_.load(std::memory_order_acquire) || (index != 0 && index != 1)) return;
    std::fill(staging_.begin(), staging_.end(), 0.0f);
    render_(renderContext_, staging_.data(), periodFrames_, channels_);
    // A channel of a type QOVA cannot write is left as the driver made it: its sample width
    // is unknown, so nothing may be written into it.
    for (std::uint32_t i = 0; i < channels_; ++i) {
        void* buffer = bufferInfos_[i].buffers[index];
        if (buffer != nullptr)
            core::writeAsioChannel(sampleTypes_[i], staging_.data(), channels_, i, buffer, periodFrames_);
    }
    if (wantsOutputReady_) asioOutputReady();
}

}  // namespace

std::unique_ptr<Output> makeAsioOutput() {
    return std::make_unique<AsioOutput>();
}

}  // namespace win
