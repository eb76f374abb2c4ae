#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cmath>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "miniaudio.h"
#include "win/devices/DeviceScan.h"
#include "win/devices/Output.h"

// Test outputs run on miniaudio's null backend. The WASAPI tests play on the null sinks of the
// PulseAudio daemon that scripts/lib/common.sh starts (ZoneA: 2 channels at 48000 Hz, ZoneB:
// 8 channels at 44100 Hz), which Wine presents as playback endpoints; what reaches a sink is
// recorded from its monitor, which Wine presents as a capture endpoint "Monitor of <sink>".

namespace win {
namespace {

using namespace std::chrono_literals;

core::DeviceSettings settingsWith(std::uint32_t sampleRate, std::uint32_t bufferFrames = 0, std::uint32_t periods = 0,
                                  core::DeviceApi api = core::DeviceApi::Shared) {
    core::DeviceSettings settings;
    settings.api = api;
    settings.sampleRate = sampleRate;
    settings.bufferFrames = bufferFrames;
    settings.periods = periods;
    return settings;
}

// Checks the render contract from the render thread itself and counts what it saw. Each call
// leaves garbage in the buffer, so a buffer that is not zeroed again before the next call shows.
struct RenderProbe {
    DWORD callerThread = GetCurrentThreadId();
    std::atomic<std::uint32_t> expectedChannels{0};
    std::atomic<bool> inside{false};
    std::atomic<std::uint32_t> calls{0};
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint32_t> wrongChannels{0};
    std::atomic<std::uint32_t> dirtyBuffers{0};
    std::atomic<std::uint32_t> overlaps{0};
    std::atomic<std::uint32_t> onCallerThread{0};
};

void probeRender(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    auto* probe = static_cast<RenderProbe*>(context);
    if (probe->inside.exchange(true)) ++probe->overlaps;
    if (GetCurrentThreadId() == probe->callerThread) ++probe->onCallerThread;
    if (channels != probe->expectedChannels.load()) ++probe->wrongChannels;
    const std::size_t count = std::size_t{frames} * channels;
    if (std::any_of(samples, samples + count, [](float s) { return s != 0.0f; })) ++probe->dirtyBuffers;
    std::fill(samples, samples + count, 0.001f);  // near-silent, and not zero
    probe->frames += frames;
    probe->inside.store(false);
    ++probe->calls;
}

bool waitForCalls(const RenderProbe& probe, std::uint32_t atLeast) {
    for (auto waited = 0ms; waited < 2000ms; waited += 10ms) {
        if (probe.calls.load() >= atLeast) return true;
        std::this_thread::sleep_for(10ms);
    }
    return probe.calls.load() >= atLeast;
}

// A closed output reports no format and will not start.
void expectClosed(Output& output) {
    EXPECT_EQ(output.sampleRate(), 0u);
    EXPECT_EQ(output.channels(), 0u);
    EXPECT_EQ(output.periodFrames(), 0u);
    EXPECT_EQ(output.latencyFrames(), 0u);
    EXPECT_EQ(output.describe(), "");
    std::string error = "text from before";
    EXPECT_FALSE(output.start(error));
    EXPECT_EQ(error, "not open");
}

// A WASAPI endpoint by its friendly name (the sink's description); ids differ per Wine prefix.
DeviceInfo findEndpoint(const std::string& name) {
    std::string error;
    for (const DeviceInfo& device : listWasapiDevices(error)) {
        if (device.name == name) return device;
    }
    ADD_FAILURE() << "no WASAPI endpoint named " << name << " (" << error << ")";
    return {};
}

// --- test outputs on the null backend ---------------------------------------------------------

TEST(MiniaudioOutputNull, OpensAtTheTestOutputsFormatUnlessTheSettingsSayOtherwise) {
    struct Case {
        DeviceInfo device;
        core::DeviceSettings settings;
        std::uint32_t channels, sampleRate;
        const char* describe;  // empty: only the mode and rate are checked
    };
    const Case cases[] = {
        {makeTestOutput(1, 8, 44100), settingsWith(0), 8, 44100, ""},
        {makeTestOutput(1, 8, 44100), settingsWith(48000), 8, 48000, ""},
        {makeTestOutput(0, 2, 48000), settingsWith(0), 2, 48000, ""},
        {makeTestOutput(0, 2, 48000), settingsWith(44100, 256, 3), 2, 44100, "null, 44100 Hz, 3 x 256 frames"},
        // The share mode means nothing to the null backend, and the text names the backend.
        {makeTestOutput(1, 8, 44100), settingsWith(0, 512, 2, core::DeviceApi::Exclusive), 8, 44100,
         "null, 44100 Hz, 2 x 512 frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device.name + " at " + std::to_string(c.settings.sampleRate) + " Hz");
        RenderProbe probe;
        const std::unique_ptr<Output> output = makeMiniaudioOutput();
        std::string error;
        ASSERT_TRUE(output->open(c.device, c.settings, probeRender, &probe, error)) << error;
        EXPECT_EQ(output->channels(), c.channels);
        EXPECT_EQ(output->sampleRate(), c.sampleRate);
        EXPECT_GT(output->periodFrames(), 0u);
        const std::string text = output->describe();
        EXPECT_TRUE(text.starts_with("null, " + std::to_string(c.sampleRate) + " Hz, ")) << text;
        if (c.settings.bufferFrames != 0) {
            EXPECT_EQ(text, c.describe);
            EXPECT_EQ(output->periodFrames(), c.settings.bufferFrames);
            EXPECT_EQ(output->latencyFrames(), c.settings.bufferFrames * c.settings.periods);
        } else {
            EXPECT_GE(output->latencyFrames(), output->periodFrames());
        }
    }
}

TEST(MiniaudioOutputNull, RendersOnItsOwnThreadWithZeroedBuffersUntilClosed) {
    RenderProbe probe;
    const std::unique_ptr<Output> output = makeMiniaudioOutput();
    std::string error;
    ASSERT_TRUE(output->open(makeTestOutput(1, 8, 44100), settingsWith(0), probeRender, &probe, error)) << error;
    probe.expectedChannels = output->channels();

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe.calls.load(), 0u) << "render calls before start";

    ASSERT_TRUE(output->start(error)) << error;
    ASSERT_TRUE(waitForCalls(probe, 20)) << "only " << probe.calls.load() << " render calls in 2 s";
    output->close();
    const std::uint32_t callsAtClose = probe.calls.load();
    EXPECT_FALSE(probe.inside.load()) << "a render call was still running when close returned";
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(probe.calls.load(), callsAtClose) << "render calls after close";

    EXPECT_GT(probe.frames.load(), 0u);
    EXPECT_EQ(probe.wrongChannels.load(), 0u);
    EXPECT_EQ(probe.dirtyBuffers.load(), 0u);
    EXPECT_EQ(probe.overlaps.load(), 0u);
    EXPECT_EQ(probe.onCallerThread.load(), 0u);
    EXPECT_FALSE(output->stoppedUnexpectedly()) << "the stop that close causes was taken for a failure";
    expectClosed(*output);
}

TEST(MiniaudioOutputNull, ClosedOutputAnswersNothingAndRefusesToStart) {
    const std::unique_ptr<Output> output = makeMiniaudioOutput();
    EXPECT_FALSE(output->stoppedUnexpectedly());
    expectClosed(*output);
    output->showControlPanel();
    output->close();
    output->close();
    expectClosed(*output);

    RenderProbe probe;
    std::string error;
    ASSERT_TRUE(output->open(makeTestOutput(0, 2, 48000), settingsWith(0), probeRender, &probe, error)) << error;
    output->close();
    output->close();
    expectClosed(*output);
    EXPECT_EQ(probe.calls.load(), 0u);
}

TEST(MiniaudioOutputNull, OpeningAgainClosesTheFirstDevice) {
    RenderProbe first;
    RenderProbe second;
    const std::unique_ptr<Output> output = makeMiniaudioOutput();
    std::string error;
    ASSERT_TRUE(output->open(makeTestOutput(1, 8, 44100), settingsWith(0), probeRender, &first, error)) << error;
    first.expectedChannels = 8;
    ASSERT_TRUE(output->start(error)) << error;
    ASSERT_TRUE(waitForCalls(first, 5));

    ASSERT_TRUE(output->open(makeTestOutput(0, 2, 48000), settingsWith(0), probeRender, &second, error)) << error;
    const std::uint32_t firstCalls = first.calls.load();
    EXPECT_FALSE(first.inside.load());
    EXPECT_EQ(output->channels(), 2u);
    EXPECT_EQ(output->sampleRate(), 48000u);
    second.expectedChannels = 2;
    ASSERT_TRUE(output->start(error)) << error;
    ASSERT_TRUE(waitForCalls(second, 5));
    output->close();

    EXPECT_EQ(first.calls.load(), firstCalls) << "the first device kept rendering";
    EXPECT_EQ(first.wrongChannels.load() + second.wrongChannels.load(), 0u);
    EXPECT_FALSE(output->stoppedUnexpectedly());
}

// The exclusive-mode hint only when exclusive mode was asked for. Wine's WASAPI has no exclusive
// mode at all, which makes a dependable refusal; miniaudio refuses more channels than it can mix.
// A refusal gives back every handle it took: the health monitor tries a sound card that is
// away every 5 s, for as long as it stays away.
TEST(MiniaudioOutputRefusal, NamesTheCodeAndHintsAtExclusiveModeOnlyThere) {
    const DeviceInfo zoneA = findEndpoint("ZoneA");
    ASSERT_FALSE(zoneA.key.empty());
    const core::DeviceSettings exclusive = settingsWith(0, 0, 0, core::DeviceApi::Exclusive);
    const DeviceInfo tooManyChannels = makeTestOutput(0, MA_MAX_CHANNELS + 1, 48000);

    const std::unique_ptr<Output> output = makeMiniaudioOutput();
    RenderProbe probe;
    std::string error = "text from before";
    EXPECT_FALSE(output->open(zoneA, exclusive, probeRender, &probe, error));
    const std::string prefix = "the sound card refused this setting (";
    const std::string hint = "); another program may be using it, or it does not support exclusive mode";
    ASSERT_TRUE(error.starts_with(prefix)) << error;
    ASSERT_TRUE(error.ends_with(hint)) << error;
    EXPECT_GT(error.size(), prefix.size() + hint.size()) << "no code text: " << error;
    expectClosed(*output);

    error.clear();
    EXPECT_FALSE(output->open(tooManyChannels, settingsWith(0), probeRender, &probe, error));
    EXPECT_EQ(error, prefix + ma_result_description(MA_INVALID_ARGS) + ")");
    expectClosed(*output);

    constexpr int kRefusals = 20;
    const int handlesBefore = testing_support::openHandles();
    for (int i = 0; i < kRefusals; ++i) {
        EXPECT_FALSE(output->open(zoneA, exclusive, probeRender, &probe, error));
        EXPECT_FALSE(output->open(tooManyChannels, settingsWith(0), probeRender, &probe, error));
    }
    EXPECT_LE(testing_support::openHandles(), handlesBefore + 2) << "after " << kRefusals << " refusals of each kind";
}

// --- WASAPI endpoints ---------------------------------------------------------------------------

TEST(MiniaudioOutputWasapi, KeyWhoseEndpointIsGoneIsNotConnected) {
    const DeviceInfo zoneB = findEndpoint("ZoneB");
    ASSERT_FALSE(zoneB.key.empty());

    // Keys are exact bytes: a GUID written in other case names no endpoint either.
    std::string lowered = zoneB.key;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string otherGuid = zoneB.key;
    char& digit = otherGuid[otherGuid.size() - 2];
    digit = digit == '0' ? '1' : '0';
    ASSERT_NE(lowered, zoneB.key);

    for (const std::string& key : {otherGuid, lowered, zoneB.key + "0", zoneB.key.substr(0, zoneB.key.size() - 1)}) {
        DeviceInfo gone = zoneB;
        gone.key = key;
        RenderProbe probe;
        const std::unique_ptr<Output> output = makeMiniaudioOutput();
        std::string error = "text from before";
        EXPECT_FALSE(output->open(gone, settingsWith(0), probeRender, &probe, error)) << key;
        EXPECT_EQ(error, "the sound card is not connected") << key;
        expectClosed(*output);
    }
}

// Records a capture endpoint (a sink's monitor) into a buffer made beforehand, at its own format.
class Recorder {
public:
    Recorder() = default;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder() {
        if (isOpen_) ma_device_uninit(&device_);
    }

    bool start(const std::string& endpointName, std::uint32_t seconds, std::string& error) {
        ma_context* context = audioContext(DeviceFamily::Wasapi);
        ma_device_info* playback = nullptr;
        ma_device_info* capture = nullptr;
        ma_uint32 playbackCount = 0;
        ma_uint32 captureCount = 0;
        if (context == nullptr ||
            ma_context_get_devices(context, &playback, &playbackCount, &capture, &captureCount) != MA_SUCCESS) {
            error = "no capture endpoints";
            return false;
        }
        const ma_device_info* found = nullptr;
        for (ma_uint32 i = 0; i < captureCount; ++i) {
            if (endpointName == capture[i].name) found = &capture[i];
        }
        if (found == nullptr) {
            error = "no capture endpoint named " + endpointName;
            return false;
        }
        const ma_device_id id = found->id;
        ma_device_config config = ma_device_config_init(ma_device_type_capture);
        config.capture.pDeviceID = &id;
        config.capture.format = ma_format_f32;
        config.dataCallback = keep;
        config.pUserData = this;
        if (ma_device_init(context, &config, &device_) != MA_SUCCESS) {
            error = "cannot open " + endpointName;
            return false;
        }
        isOpen_ = true;
        channels = device_.capture.channels;
        sampleRate = device_.sampleRate;
        capacityFrames_ = std::size_t{seconds} * sampleRate;
        buffer_.assign(capacityFrames_ * channels, 0.0f);
        if (ma_device_start(&device_) != MA_SUCCESS) {
            error = "cannot start " + endpointName;
            return false;
        }
        return true;
    }

    // Frames recorded so far; that many samples of each channel may be read.
    std::size_t frames() const { return written_.load(std::memory_order_acquire); }
    float at(std::size_t frame, std::uint32_t channel) const { return buffer_[frame * channels + channel]; }

    std::uint32_t channels = 0;
    std::uint32_t sampleRate = 0;

private:
    // Capture thread. The release pairs with the acquire in frames().
    static void keep(ma_device* device, void*, const void* input, ma_uint32 frames) {
        auto* self = static_cast<Recorder*>(device->pUserData);
        const std::size_t at = self->written_.load(std::memory_order_relaxed);
        const std::size_t count = std::min<std::size_t>(frames, self->capacityFrames_ - at);
        const auto* from = static_cast<const float*>(input);
        std::copy(from, from + count * self->channels, self->buffer_.begin() + at * self->channels);
        self->written_.store(at + count, std::memory_order_release);
    }

    ma_device device_{};
    bool isOpen_ = false;
    std::vector<float> buffer_;
    std::size_t capacityFrames_ = 0;
    std::atomic<std::size_t> written_{0};
};

// A sine of one frequency at a level per channel. Render thread only, once started.
struct ToneSource {
    static constexpr std::uint32_t kMaxChannels = 8;
    float amplitudes[kMaxChannels] = {};
    double stepRadians = 0.0;
    double phaseRadians = 0.0;
    std::atomic<std::uint32_t> expectedChannels{0};
    std::atomic<std::uint32_t> wrongChannels{0};
};

void renderTone(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    auto* tone = static_cast<ToneSource*>(context);
    if (channels != tone->expectedChannels.load()) ++tone->wrongChannels;
    const std::uint32_t used = std::min(channels, ToneSource::kMaxChannels);
    for (std::uint32_t f = 0; f < frames; ++f) {
        const float value = static_cast<float>(std::sin(tone->phaseRadians));
        for (std::uint32_t c = 0; c < used; ++c) samples[std::size_t{f} * channels + c] = tone->amplitudes[c] * value;
        tone->phaseRadians = std::fmod(tone->phaseRadians + tone->stepRadians, 2.0 * std::numbers::pi);
    }
}

// The level of one frequency in one channel: a single DFT bin over `count` frames from `first`.
// Over a whole number of the frequency's cycles the bins of other whole-cycle frequencies are
// orthogonal to it, so a pure tone shows at its own bin and nowhere else.
double levelAt(const Recorder& recording, std::uint32_t channel, std::size_t first, std::size_t count, double hz) {
    const double step = 2.0 * std::numbers::pi * hz / recording.sampleRate;
    double re = 0.0;
    double im = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        const double x = recording.at(first + n, channel);
        re += x * std::cos(step * static_cast<double>(n));
        im -= x * std::sin(step * static_cast<double>(n));
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(count);
}

double meanSquare(const Recorder& recording, std::uint32_t channel, std::size_t first, std::size_t count) {
    double sum = 0.0;
    for (std::size_t n = 0; n < count; ++n)
        sum += double{recording.at(first + n, channel)} * recording.at(first + n, channel);
    return sum / static_cast<double>(count);
}

// The strongest 10 Hz bin between 200 Hz and 5 kHz.
double peakHz(const Recorder& recording, std::uint32_t channel, std::size_t first, std::size_t count) {
    double peak = 0.0;
    double peakLevel = 0.0;
    for (double hz = 200.0; hz <= 5000.0; hz += 10.0) {
        const double level = levelAt(recording, channel, first, count, hz);
        if (level > peakLevel) {
            peakLevel = level;
            peak = hz;
        }
    }
    return peak;
}

TEST(MiniaudioOutputWasapi, ToneRenderedToAnEndpointReachesItsSinkOnTheRightChannels) {
    constexpr double kToneHz = 1000.0;
    struct Case {
        const char* sink;
        std::uint32_t channels, sampleRate;  // the endpoint's own, taken with all settings 0
        std::vector<float> amplitudes;       // per channel
    };
    // ZoneB is not PulseAudio's default sink: its tone only arrives if the output opened the
    // endpoint named by the key. Unequal levels show channels that changed places.
    const Case cases[] = {
        {"ZoneA", 2, 48000, {0.5f, 0.25f}},
        {"ZoneB", 8, 44100, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f, 0.0f, 0.125f}},
    };
    // A monitor takes a second or more to deliver its first frames under Wine, so both
    // recordings start first and run while the cases play one after the other.
    std::unique_ptr<Recorder> recordings[std::size(cases)];
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string error;
        recordings[i] = std::make_unique<Recorder>();
        ASSERT_TRUE(recordings[i]->start(std::string("Monitor of ") + cases[i].sink, 8, error)) << error;
        ASSERT_EQ(recordings[i]->channels, cases[i].channels);
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const Recorder& recording = *recordings[i];
        SCOPED_TRACE(c.sink);
        const DeviceInfo endpoint = findEndpoint(c.sink);
        ASSERT_FALSE(endpoint.key.empty());
        std::string error;

        ToneSource tone;
        std::copy(c.amplitudes.begin(), c.amplitudes.end(), tone.amplitudes);
        const std::unique_ptr<Output> output = makeMiniaudioOutput();
        ASSERT_TRUE(output->open(endpoint, settingsWith(0), renderTone, &tone, error)) << error;
        EXPECT_EQ(output->channels(), c.channels);
        EXPECT_EQ(output->sampleRate(), c.sampleRate);
        EXPECT_TRUE(output->describe().starts_with("WASAPI shared, ")) << output->describe();
        EXPECT_GT(output->latencyFrames(), 0u);
        tone.expectedChannels = output->channels();
        tone.stepRadians = 2.0 * std::numbers::pi * kToneHz / output->sampleRate();
        ASSERT_TRUE(output->start(error)) << error;

        // Wait for the tone to arrive on its loudest channel, then for a second more of it.
        const auto loudest = static_cast<std::uint32_t>(std::max_element(c.amplitudes.begin(), c.amplitudes.end()) -
                                                        c.amplitudes.begin());
        const std::size_t windowFrames = recording.sampleRate / 10;  // 100 cycles of 1 kHz
        constexpr std::size_t kWindows = 10;
        std::size_t onset = SIZE_MAX;
        std::size_t scanned = 0;
        for (auto waited = 0ms; waited < 4000ms; waited += 20ms) {
            const std::size_t recorded = recording.frames();
            for (; onset == SIZE_MAX && scanned < recorded; ++scanned) {
                if (std::fabs(recording.at(scanned, loudest)) > c.amplitudes[loudest] / 4) onset = scanned;
            }
            if (onset != SIZE_MAX && recorded >= onset + windowFrames * (kWindows + 1)) break;
            std::this_thread::sleep_for(20ms);
        }
        output->close();
        EXPECT_FALSE(output->stoppedUnexpectedly());
        EXPECT_EQ(tone.wrongChannels.load(), 0u);
        ASSERT_NE(onset, SIZE_MAX) << "nothing reached " << c.sink << " in 4 s (" << recording.frames() << " frames)";

        // A busy machine can lose a few ms of the capture (frames dropped or zeros): the window
        // holding the gap reads low, but the gap also spreads the tone's power over other
        // frequencies. A window where the tone holds 99 % of the loudest channel's power is a
        // clean one; the verdict comes from those, and a wrong level shows in every one of them.
        std::size_t clean = 0;
        std::size_t right = 0;
        std::ostringstream seen;
        for (std::size_t first = onset + windowFrames / 2; first + windowFrames <= recording.frames();
             first += windowFrames) {
            const double level = levelAt(recording, loudest, first, windowFrames, kToneHz);
            if (level * level / 2.0 < 0.99 * meanSquare(recording, loudest, first, windowFrames)) continue;
            ++clean;
            bool allRight = true;
            seen << "\n  from frame " << first << ":";
            for (std::uint32_t channel = 0; channel < c.channels; ++channel) {
                const double channelLevel = levelAt(recording, channel, first, windowFrames, kToneHz);
                allRight = allRight && std::fabs(channelLevel - c.amplitudes[channel]) <= 0.02;
                seen << " " << channelLevel;
            }
            if (!allRight) continue;
            if (++right == 1) {
                EXPECT_EQ(peakHz(recording, loudest, first, windowFrames), kToneHz) << "the tone is at 1 kHz";
            }
        }
        // Every channel carries its own level of the tone, and nothing of it where none was sent.
        EXPECT_GT(clean, 0u) << "no window of clean tone in " << recording.frames() - onset << " frames";
        EXPECT_GT(right, 0u) << "levels per channel of the clean windows, sent "
                             << ::testing::PrintToString(c.amplitudes) << seen.str();
    }
}

}  // namespace
}  // namespace win
