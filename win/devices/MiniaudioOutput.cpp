// The output for every sound card that is not an ASIO driver: WASAPI endpoints in shared or
// exclusive mode, and the test outputs, which run on miniaudio's null backend and make no
// sound. miniaudio does the device work; this class picks the context, finds the endpoint by
// its key, fills the device configuration from the user's settings, forwards the data
// callback to the router's render function and turns an unasked-for stop into
// stoppedUnexpectedly().

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "miniaudio.h"
#include "win/devices/DeviceScan.h"
#include "win/devices/Output.h"

namespace win {

namespace {

struct EndpointSearch {
    const DeviceKey* key = nullptr;
    ma_device_id id{};
    bool found = false;
    bool outOfMemory = false;
};

// miniaudio 0.11.22 closes only two of a device's three events when the backend refuses the
// device (an endpoint whose sink is gone, exclusive mode refused) and leaves its stop event
// open: a handle lost at every refused open. The health monitor tries a failed sound card every
// 5 s, so a card that stays away for a day would cost thousands. Its other failures come
// before the event exists, or after the backend took the device (out of memory, no thread),
// where miniaudio's own clean-up does nothing and the event is closed here too. Zeroing the
// device keeps a later refusal from closing the same handle twice.
static_assert(MA_VERSION_MAJOR == 0 && MA_VERSION_MINOR == 11 && MA_VERSION_REVISION == 22,
              "check whether a refused ma_device_init still leaves its stop event open");
void releaseRefusedDevice(ma_device& device) {
    if (device.stopEvent != nullptr) ma_event_uninit(&device.stopEvent);
    std::memset(&device, 0, sizeof device);
}

// Under miniaudio's enumeration lock, on the calling thread. Stops at the first playback
// endpoint whose key matches byte for byte.
ma_bool32 matchEndpoint(ma_context*, ma_device_type type, const ma_device_info* info, void* user) {
    auto* search = static_cast<EndpointSearch*>(user);
    if (type != ma_device_type_playback) return MA_TRUE;
    try {
        if (wasapiKeyOfEndpoint(info->id.wasapi, std::size(info->id.wasapi)) != *search->key) return MA_TRUE;
    } catch (const std::bad_alloc&) {
        search->outOfMemory = true;  // no exception may cross miniaudio's C frames
        return MA_FALSE;
    }
    search->id = info->id;
    search->found = true;
    return MA_FALSE;
}

class MiniaudioOutput final : public Output {
public:
    MiniaudioOutput() = default;
    ~MiniaudioOutput() override { close(); }

    bool open(const DeviceInfo& device, const core::DeviceSettings& settings, RenderFunction render, void* context,
              std::string& error) override;
    bool start(std::string& error) override;
    void close() override;
    std::uint32_t sampleRate() const override { return isOpen_ ? device_.sampleRate : 0; }
    std::uint32_t channels() const override { return isOpen_ ? device_.playback.channels : 0; }
    std::uint32_t periodFrames() const override;
    std::uint32_t latencyFrames() const override;
    bool stoppedUnexpectedly() const override { return stoppedUnexpectedly_.load(std::memory_order_acquire); }
    std::string describe() const override;
    void showControlPanel() override {}

private:
    double callbackFramesPerDeviceFrame() const;
    static void forwardData(ma_device* device, void* output, const void* input, ma_uint32 frames) noexcept;
    static void watchNotification(const ma_device_notification* notification) noexcept;

    // Initialised while isOpen_; miniaudio keeps its address, so the output never moves.
    ma_device device_{};
    bool isOpen_ = false;
    bool isExclusive_ = false;
    // Read by the data callback; written only while the device is not initialised.
    RenderFunction render_ = nullptr;
    void* renderContext_ = nullptr;
    // Set by close() before ma_device_uninit, so that the stop the shutdown causes is not taken
    // for a failure. Its store is released; the notification callback's load acquires it
    // (ma_device_uninit's own synchronisation with the device thread orders it as well).
    std::atomic<bool> stopping_{false};
    // Stored (release) by the notification callback; loaded (acquire) by the UI thread.
    std::atomic<bool> stoppedUnexpectedly_{false};
};

// UI thread.
bool MiniaudioOutput::open(const DeviceInfo& device, const core::DeviceSettings& settings, RenderFunction render,
                           void* context, std::string& error) {
    close();
    const bool isNull = device.family == DeviceFamily::Null;
    ma_context* audio = audioContext(device.family);
    if (audio == nullptr) {
        error = "the audio system could not be started";
        return false;
    }

    // A test output plays on the null backend's default device. Everything else is an
    // endpoint named by its key, found afresh because it may have gone since the scan.
    EndpointSearch search;
    if (!isNull) {
        search.key = &device.key;
        if (ma_context_enumerate_devices(audio, matchEndpoint, &search) != MA_SUCCESS || search.outOfMemory) {
            error = "Windows did not list its sound cards";
            return false;
        }
        if (!search.found) {
            error = "the sound card is not connected";
            return false;
        }
    }

    render_ = render;
    renderContext_ = context;
    isExclusive_ = settings.api == core::DeviceApi::Exclusive;

    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.pDeviceID = isNull ? nullptr : &search.id;
    config.playback.format = ma_format_f32;
    config.playback.channels = isNull ? device.channels : 0;  // 0: the endpoint's own count
    config.playback.shareMode = isExclusive_ ? ma_share_mode_exclusive : ma_share_mode_shared;
    config.sampleRate = settings.sampleRate != 0 ? settings.sampleRate : (isNull ? device.sampleRate : 0);
    config.periodSizeInFrames = settings.bufferFrames;
    config.periods = settings.periods;
    config.performanceProfile = ma_performance_profile_low_latency;
    // The router works through any frame count, so miniaudio needs no buffer of its own to
    // cut the backend's requests into equal periods.
    config.noFixedSizedCallback = MA_TRUE;
    config.dataCallback = forwardData;
    config.notificationCallback = watchNotification;
    config.pUserData = this;

    stopping_.store(false, std::memory_order_release);
    stoppedUnexpectedly_.store(false, std::memory_order_release);

    const ma_result result = ma_device_init(audio, &config, &device_);
    if (result != MA_SUCCESS) {
        releaseRefusedDevice(device_);
        error = std::string("the sound card refused this setting (") + ma_result_description(result) + ")";
        if (isExclusive_) error += "; another program may be using it, or it does not support exclusive mode";
        return false;
    }
    isOpen_ = true;
    return true;
}

// UI thread.
bool MiniaudioOutput::start(std::string& error) {
    if (!isOpen_) {
        error = "not open";
        return false;
    }
    const ma_result result = ma_device_start(&device_);
    if (result != MA_SUCCESS) {
        error = std::string("the sound card did not start (") + ma_result_description(result) + ")";
        return false;
    }
    return true;
}

// UI thread. ma_device_uninit stops the device and waits for its thread, so no render call
// is running or will start once it returns.
void MiniaudioOutput::close() {
    if (!isOpen_) return;
    stopping_.store(true, std::memory_order_release);
    ma_device_uninit(&device_);
    isOpen_ = false;
}

// Frames at the render calls' rate for frames at the device's own: miniaudio converts
// between them when the card runs at another rate than the one asked for (exclusive mode).
double MiniaudioOutput::callbackFramesPerDeviceFrame() const {
    const ma_uint32 internalRate = device_.playback.internalSampleRate;
    return internalRate == 0 ? 1.0 : static_cast<double>(device_.sampleRate) / internalRate;
}

// UI thread. In render-call frames, as everything the router sizes by it counts them.
std::uint32_t MiniaudioOutput::periodFrames() const {
    if (!isOpen_) return 0;
    const double frames = device_.playback.internalPeriodSizeInFrames * callbackFramesPerDeviceFrame();
    return static_cast<std::uint32_t>(std::ceil(frames));
}

// UI thread.
std::uint32_t MiniaudioOutput::latencyFrames() const {
    if (!isOpen_) return 0;
    const double frames = static_cast<double>(device_.playback.internalPeriodSizeInFrames) *
                          device_.playback.internalPeriods * callbackFramesPerDeviceFrame();
    return static_cast<std::uint32_t>(frames + 0.5);
}

// UI thread.
std::string MiniaudioOutput::describe() const {
    if (!isOpen_) return {};
    const char* mode = device_.pContext->backend == ma_backend_null ? "null"
                       : isExclusive_                               ? "WASAPI exclusive"
                                                                    : "WASAPI shared";
    char text[160];
    std::snprintf(text, sizeof(text), "%s, %u Hz, %u x %u frames", mode, device_.playback.internalSampleRate,
                  device_.playback.internalPeriods, device_.playback.internalPeriodSizeInFrames);
    return text;
}

// miniaudio's device thread: no locks, no allocation, no logging. miniaudio has zeroed the
// buffer and clips it after the call.
void MiniaudioOutput::forwardData(ma_device* device, void* output, const void*, ma_uint32 frames) noexcept {
    const auto* self = static_cast<const MiniaudioOutput*>(device->pUserData);
    self->render_(self->renderContext_, static_cast<float*>(output), frames, device->playback.channels);
}

// miniaudio's device thread. A stop that close() did not ask for means the endpoint went away
// or was invalidated; the health monitor polls the flag and rebuilds.
void MiniaudioOutput::watchNotification(const ma_device_notification* notification) noexcept {
    if (notification->type != ma_device_notification_type_stopped) return;
    auto* self = static_cast<MiniaudioOutput*>(notification->pDevice->pUserData);
    if (!self->stopping_.load(std::memory_order_acquire)) {
        self->stoppedUnexpectedly_.store(true, std::memory_order_release);
    }
}

}  // namespace

std::unique_ptr<Output> makeMiniaudioOutput() {
    return std::make_unique<MiniaudioOutput>();
}

}  // namespace win
