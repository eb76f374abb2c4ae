#pragma once

// Helpers for the router tests: settings built from test outputs, a player that keeps a card
// ring topped up from its own thread, and a recorder behind the router's buffer observer that
// keeps everything each output rendered for analysis once the run is over.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/control/ControlBackend.h"
#include "core/settings/Settings.h"
#include "core/signal/FarHalf.h"
#include "tests/support/Eventually.h"
#include "tests/support/SettingsBuilders.h"
#include "tools/player/RingProducer.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace router_testing {

using namespace std::chrono_literals;

inline core::DeviceSettings deviceSettings(const win::DeviceInfo& device, std::uint32_t bufferFrames = 0,
                                           std::uint32_t periods = 0) {
    core::DeviceSettings settings;
    settings.key = device.key;
    settings.name = device.name;
    settings.enabled = true;
    settings.api = device.family == core::DeviceFamily::Asio ? core::DeviceApi::Asio : core::DeviceApi::Shared;
    settings.bufferFrames = bufferFrames;
    settings.periods = periods;
    return settings;
}

// How long a far half between two sound cards never joined before may take to start: it
// measures their clocks first, and again when a measurement is set aside, as the null
// backend's under Wine often are.
inline constexpr std::chrono::milliseconds kFirstFarStart{
    static_cast<int>((core::FarHalf::kMeasureWaits * core::FarHalf::kMeasureSeconds + 3.0) * 1000)};

using test_support::card;
using test_support::eventually;
using test_support::member;

// A stereo card on the first two channels of one sound card.
inline core::CardSettings stereoCard(std::string id, std::string name, const win::DeviceInfo& device) {
    return card(std::move(id), std::move(name), {member(device.key, 0), member(device.key, 1)});
}

// Everything the outputs rendered, per device key. Keys are registered before the router is
// built; the observer then only copies into memory reserved up front, as a render thread must.
class Recorder {
public:
    struct Mark {
        std::uint64_t firstFrame = 0;
        std::int64_t timeNs = 0;  // steady clock at the observer call
        std::uint32_t frames = 0;
    };

    struct Track {
        std::string key;
        std::uint32_t channels = 0;
        std::vector<float> samples;  // interleaved, sized up front
        std::vector<Mark> marks;     // sized up front
        std::atomic<std::uint64_t> frames{0};
        std::atomic<std::uint32_t> markCount{0};

        std::uint64_t recordedFrames() const { return frames.load(std::memory_order_acquire); }
        float at(std::uint64_t frame, std::uint32_t channel) const { return samples[frame * channels + channel]; }
        std::vector<float> channel(std::uint32_t c, std::uint64_t from = 0) const {
            std::vector<float> out;
            const std::uint64_t end = recordedFrames();
            for (std::uint64_t f = from; f < end; ++f) out.push_back(at(f, c));
            return out;
        }
    };

    explicit Recorder(double seconds = 6.0) : seconds_(seconds) {}

    void track(const win::DeviceInfo& device) {
        auto t = std::make_unique<Track>();
        t->key = device.key;
        t->channels = device.channels;
        const auto frames = static_cast<std::size_t>(seconds_ * device.sampleRate);
        t->samples.assign(frames * device.channels, 0.0f);
        t->marks.assign(frames / 16 + 1, Mark{});
        tracks_.push_back(std::move(t));
    }

    const Track& of(std::string_view key) const {
        for (const auto& t : tracks_) {
            if (t->key == key) return *t;
        }
        static const Track none;
        ADD_FAILURE() << "no track for " << key;
        return none;
    }

    bool waitForFrames(std::string_view key, std::uint64_t frames) const {
        const Track& t = of(key);
        return eventually([&] { return t.recordedFrames() >= frames; }, 10000ms);
    }

    void attach(win::RouterOptions& options) {
        options.bufferObserver = observe;
        options.bufferObserverContext = this;
    }

private:
    static void observe(void* context, std::string_view key, const float* samples, std::uint32_t frames,
                        std::uint32_t channels) {
        const std::int64_t now = win::steadyNowNs();
        auto* self = static_cast<Recorder*>(context);
        for (const auto& t : self->tracks_) {
            if (t->key != key || t->channels != channels) continue;
            const std::uint64_t first = t->frames.load(std::memory_order_relaxed);
            if ((first + frames) * channels > t->samples.size()) return;
            std::copy(samples, samples + std::size_t{frames} * channels, t->samples.begin() + first * channels);
            const std::uint32_t mark = t->markCount.load(std::memory_order_relaxed);
            if (mark < t->marks.size()) {
                t->marks[mark] = Mark{first, now, frames};
                t->markCount.store(mark + 1, std::memory_order_release);
            }
            t->frames.store(first + frames, std::memory_order_release);
            return;
        }
    }

    double seconds_;
    std::vector<std::unique_ptr<Track>> tracks_;
};

// A router on these test outputs and no others, its buffers recorded when a recorder is given.
inline win::RouterOptions testOptions(std::vector<win::DeviceInfo> devices, Recorder* recorder = nullptr) {
    win::RouterOptions options;
    options.scanDevices = false;
    options.extraDevices = std::move(devices);
    if (recorder != nullptr) recorder->attach(options);
    return options;
}

// A router on these options, scanned, with these settings in force.
inline std::unique_ptr<win::Router> appliedRouter(win::RouterOptions options, const core::Settings& settings) {
    auto router = std::make_unique<win::Router>(std::move(options));
    router->rescan();
    EXPECT_TRUE(router->apply(settings).empty());
    return router;
}

// Settings of these sound cards and these cards.
inline core::Settings settingsOf(std::vector<core::DeviceSettings> devices,
                                 std::vector<core::CardSettings> cards = {}) {
    core::Settings settings;
    settings.devices = std::move(devices);
    settings.cards = std::move(cards);
    return settings;
}

// A sound card the settings name and no scan finds.
inline core::DeviceSettings unpluggedDevice(std::string key, std::string name, bool enabled = true) {
    core::DeviceSettings settings;
    settings.key = std::move(key);
    settings.name = std::move(name);
    settings.enabled = enabled;
    return settings;
}

// A router on these test outputs, scanned, that records what the tracked ones render for the
// first `seconds`. Taken apart where used: auto& [recorder, router] = rig.
struct RecordedRouter {
    RecordedRouter(std::vector<win::DeviceInfo> devices, const std::vector<win::DeviceInfo>& tracked,
                   double seconds = 6.0)
        : recorder(seconds), router(tracking(recorder, tracked, std::move(devices))) {
        router.rescan();
    }

    Recorder recorder;
    win::Router router;

private:
    // The tracks are registered before the router exists, as the recorder needs.
    static win::RouterOptions tracking(Recorder& recorder, const std::vector<win::DeviceInfo>& tracked,
                                       std::vector<win::DeviceInfo> devices) {
        for (const win::DeviceInfo& device : tracked) recorder.track(device);
        return testOptions(std::move(devices), &recorder);
    }
};

// Card 0000a01b, "Joined", across two one-channel test outputs with 20 ms periods (960 and 882
// frames: near at 48 kHz, far at 44.1 kHz). The null backend wakes in steps of 10 ms, so its
// callbacks come up to 10 ms late, and a period must be long against that for the halves'
// offset to show; with one channel miniaudio also asks for a whole period in one call.
inline core::Settings joinedCardSettings(const win::DeviceInfo& near48, const win::DeviceInfo& far44) {
    core::Settings settings;
    settings.devices = {deviceSettings(near48, 960, 2), deviceSettings(far44, 882, 2)};
    settings.cards = {card("0000a01b", "Joined", {member(near48.key, 0), member(far44.key, 0)})};
    return settings;
}

// Fills frames [position, position + frames) of a test stream, two floats per frame.
using SignalFunction = std::function<void(float* stereo, std::uint64_t position, std::uint32_t frames)>;

// Left p + 1 and right -(p + 1) / 2 at stream position p: each mono mode gives its own step
// from frame to frame (sum 0.25, left 1, right -0.5), and a value names its position.
inline void countSignal(float* stereo, std::uint64_t position, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto value = static_cast<float>(position + i + 1);
        stereo[2 * i] = value;
        stereo[2 * i + 1] = -0.5f * value;
    }
}

inline SignalFunction sineSignal(double hz, double amplitude) {
    return [hz, amplitude](float* stereo, std::uint64_t position, std::uint32_t frames) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(position + i) / 48000.0;
            const auto v = static_cast<float>(amplitude * std::sin(6.283185307179586 * hz * t));
            stereo[2 * i] = v;
            stereo[2 * i + 1] = v;
        }
    };
}

// A player app's side of one open card: writes the signal from a thread of its own, keeping
// the ring near its target and sleeping on the "-need" event in between.
class Player {
public:
    Player(const core::OpenCardResult& opened, SignalFunction signal) : signal_(std::move(signal)) {
        openError_ = producer_.open(opened.mapping, opened.event);
        if (!openError_.empty()) return;
        thread_ = std::thread([this] { run(); });
    }
    ~Player() { stop(); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    const std::string& openError() const { return openError_; }
    std::uint32_t closeReason() const { return producer_.closeReason(); }
    std::uint64_t written() const { return written_.load(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        std::vector<float> block(2 * 65536);
        while (!stop_) {
            if (producer_.closeReason() != 0) return;
            const std::uint32_t frames = std::min<std::uint32_t>(producer_.framesBelowTarget(), 65536);
            if (frames > 0) {
                const std::uint64_t position = producer_.writtenFrames();
                signal_(block.data(), position, frames);
                producer_.write(block.data(), frames);
                written_ = producer_.writtenFrames();
            }
            producer_.waitForNeed(20);
        }
    }

    SignalFunction signal_;
    tools::RingProducer producer_;
    std::string openError_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> written_{0};
    std::thread thread_;
};

// Opens a card as a client would and checks it worked.
inline core::OpenCardResult openOrFail(win::Router& router, std::uint64_t client, const std::string& cardId) {
    core::OpenCardResult opened;
    const std::string status = router.openCard(client, cardId, "test player", opened);
    EXPECT_EQ(status, "") << "open " << cardId;
    return opened;
}

}  // namespace router_testing
