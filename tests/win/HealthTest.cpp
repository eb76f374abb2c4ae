#include "win/router/Router.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "LogCapture.h"
#include "RouterTestSupport.h"
#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "core/ring/CardRingLayout.h"
#include "tools/player/RingProducer.h"
#include "win/base/MappedView.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/router/RouterGraph.h"

// The router's health monitor and its status snapshot, on test outputs (miniaudio's null
// backend) and, in UnpluggedSink, on a PulseAudio sink that unplug-sink.sh takes away and
// brings back while the test plays on it.
//
// A test output never stops on its own: the null backend's thread runs until the router
// closes it, and nothing outside the output can reach its miniaudio device. It can be made to
// stall, though: the router's render gate skips its callbacks, as a hung driver that never
// calls back again would. A stop the output reports itself is seen with a real endpoint
// (UnpluggedSink) and with the test ASIO driver (AsioOutputTest).

namespace win {
namespace {

using win_testing::LogCapture;

using namespace router_testing;

const DeviceInfo kStereo48 = makeTestOutput(0, 2, 48000);
const DeviceInfo kMono44 = makeTestOutput(5, 1, 44100);
const DeviceInfo kMono48 = makeTestOutput(4, 1, 48000);

const std::vector<DeviceInfo> kDevices = {kStereo48, kMono48, kMono44};

std::vector<std::string> loggedLines(std::size_t from, const std::string& part) {
    return LogCapture::instance().linesWith(from, part);
}

const DeviceStatus* deviceIn(const StatusSnapshot& snapshot, const std::string& key) {
    for (const DeviceStatus& device : snapshot.devices) {
        if (device.info.key == key) return &device;
    }
    return nullptr;
}

const CardStatus* cardIn(const StatusSnapshot& snapshot, const std::string& id) {
    for (const CardStatus& card : snapshot.cards) {
        if (card.id == id) return &card;
    }
    return nullptr;
}

float loudest(const Recorder::Track& track, std::uint32_t channel, std::uint64_t fromFrame) {
    float peak = 0.0f;
    for (std::uint64_t f = fromFrame; f < track.recordedFrames(); ++f) {
        peak = std::max(peak, std::fabs(track.at(f, channel)));
    }
    return peak;
}

// Both channels of the track carry the players' 0.5 sine from frame `from` on.
void expectSineFrom(const Recorder::Track& track, std::uint64_t from) {
    EXPECT_NEAR(loudest(track, 0, from), 0.5f, 0.01f) << "left";
    EXPECT_NEAR(loudest(track, 1, from), 0.5f, 0.01f) << "right";
}

// --- health monitor -----------------------------------------------------------------------------

// Every health test reads the log.
class Health : public testing::Test {
protected:
    void SetUp() override { REQUIRE_OUR_LOG(); }
};

TEST_F(Health, ARingItsPlayerGaveUpIsClosedByTheNextCheck) {
    Router router(testOptions(kDevices));
    router.rescan();
    core::Settings settings =
        settingsOf({deviceSettings(kStereo48)}, {card("0000000a", "Left", {member(kStereo48.key, 0)}),
                                                 card("0000000b", "Right", {member(kStereo48.key, 1)})});
    ASSERT_TRUE(router.apply(settings).empty());
    tools::RingProducer leaving;
    tools::RingProducer staying;
    const core::OpenCardResult left = openOrFail(router, 5, "0000000a");
    const core::OpenCardResult right = openOrFail(router, 6, "0000000b");
    ASSERT_EQ(leaving.open(left.mapping, left.event), "");
    ASSERT_EQ(staying.open(right.mapping, right.event), "");

    const std::size_t from = LogCapture::instance().mark();
    leaving.giveUp();
    EXPECT_TRUE(cardIn(router.statusSnapshot(), "0000000a")->playing) << "nothing happens before the check";
    router.checkHealth();
    StatusSnapshot snapshot = router.statusSnapshot();
    EXPECT_FALSE(cardIn(snapshot, "0000000a")->playing);
    EXPECT_TRUE(cardIn(snapshot, "0000000b")->playing);
    EXPECT_EQ(staying.closeReason(), 0u);
    EXPECT_EQ(leaving.closeReason(), 2u);
    EXPECT_EQ(router.listCards(7)[0].state, "ready") << "free for the next player";

    router.checkHealth();
    EXPECT_EQ(loggedLines(from, "card ring closed"),
              (std::vector<std::string>{"card ring closed (client 5, by the player)"}));
}

// The device is held at the first trial and let go at once; the next trial may come only
// 5 s after the first, and it opens the device, rebuilds, and the card plays again from the
// same ring.
TEST_F(Health, AHeldSoundCardIsTriedEveryFiveSecondsAndPlaysOnceLetGo) {
    Recorder recorder(12.0);
    recorder.track(kStereo48);
    std::atomic<bool> held{false};
    std::vector<std::uint64_t> checkTicks;  // holdCheck runs under the router lock, on this thread
    RouterOptions options = testOptions(kDevices, &recorder);
    options.holdCheck = [&](const DeviceInfo& device) {
        if (device.key != kStereo48.key) return false;
        checkTicks.push_back(GetTickCount64());
        return held.load();
    };
    Router router(std::move(options));
    router.rescan();
    core::Settings settings = settingsOf({deviceSettings(kStereo48)}, {stereoCard("0000000a", "Lounge", kStereo48)});
    ASSERT_TRUE(router.apply(settings).empty());
    Player player(openOrFail(router, 3, "0000000a"), sineSignal(1000.0, 0.5));
    ASSERT_EQ(player.openError(), "");
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, 4800));

    // Another program takes the sound card: a rebuild leaves it failed, the ring stays.
    held = true;
    ASSERT_TRUE(router.apply(settings).empty());
    ASSERT_EQ(router.buildCount(), 2u);
    StatusSnapshot snapshot = router.statusSnapshot();
    ASSERT_EQ(deviceIn(snapshot, kStereo48.key)->state, DeviceState::Failed);
    EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->problem, "held by another program (test)");
    EXPECT_TRUE(cardIn(snapshot, "0000000a")->playing);
    EXPECT_FALSE(cardIn(snapshot, "0000000a")->live);

    const std::size_t from = LogCapture::instance().mark();
    checkTicks.clear();
    router.checkHealth();
    ASSERT_EQ(checkTicks.size(), 1u) << "the first check tries the failed output at once";
    const std::uint64_t firstTrial = checkTicks[0];
    EXPECT_EQ(deviceIn(router.statusSnapshot(), kStereo48.key)->state, DeviceState::Failed)
        << "still held: stays failed";
    EXPECT_EQ(router.buildCount(), 2u);

    held = false;
    const bool rebuilt = eventually(
        [&] {
            router.checkHealth();
            return router.buildCount() != 2u;
        },
        7000ms);
    ASSERT_TRUE(rebuilt) << "no trial succeeded within 7 s";
    EXPECT_EQ(router.buildCount(), 3u) << "one rebuild";
    ASSERT_EQ(checkTicks.size(), 3u) << "one more trial, then the rebuild's own open";
    EXPECT_GE(checkTicks[1] - firstTrial, 5000u) << "a trial came too soon";
    // Late by as much as a busy machine holds the checking thread up, never by a whole interval.
    EXPECT_LE(checkTicks[1] - firstTrial, 6500u) << "a trial came too late";
    EXPECT_EQ(loggedLines(from, "rebuilding"), (std::vector<std::string>{kStereo48.key + " opens again; rebuilding"}));

    // The card plays again from the ring the player has held all along.
    snapshot = router.statusSnapshot();
    EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->state, DeviceState::Open);
    EXPECT_TRUE(cardIn(snapshot, "0000000a")->live);
    EXPECT_TRUE(cardIn(snapshot, "0000000a")->playing);
    const std::uint64_t mark = recorder.of(kStereo48.key).recordedFrames();
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, mark + 9600));
    expectSineFrom(recorder.of(kStereo48.key), mark);
    EXPECT_EQ(player.closeReason(), 0u);
    router.closeAll();
}

// A card joined from a 48 kHz and a 44.1 kHz output: each start of its far half is reported
// once, with the trim of the last start when several came between two checks.
TEST_F(Health, AFarHalfStartIsReportedOnceWithItsTrim) {
    Router router(testOptions(kDevices));
    router.rescan();
    const core::Settings settings = joinedCardSettings(kMono48, kMono44);
    ASSERT_TRUE(router.apply(settings).empty());
    const std::size_t from = LogCapture::instance().mark();
    Player player(openOrFail(router, 1, "0000a01b"), sineSignal(440.0, 0.5));
    ASSERT_EQ(player.openError(), "");

    auto figures = [&router] {
        std::pair<std::uint32_t, std::uint32_t> startsAndTrim;
        router.inspect([&](const RouterGraph* graph) {
            const core::FarHalf::Figures& figures = graph->farLinks[0]->half->figures();
            startsAndTrim = {figures.starts.load(), figures.trimmedFrames.load()};
        });
        return startsAndTrim;
    };
    ASSERT_TRUE(eventually([&] { return figures().first >= 1; }, kFirstFarStart));
    const std::string prefix = "card 0000a01b: far half on " + kMono44.name + " started; trimmed ";
    auto expectedLine = [&](std::uint32_t trimmed) {
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.1f", trimmed * 1000.0 / 48000.0);
        return prefix + std::to_string(trimmed) + " frames (" + ms + " ms) to line up with the near half";
    };

    // A far half may start again on its own (an underrun); check over until a check sees
    // figures that did not move under it.
    std::pair<std::uint32_t, std::uint32_t> seen;
    for (int attempt = 0; attempt < 5; ++attempt) {
        seen = figures();
        router.checkHealth();
        if (figures() == seen) break;
    }
    std::vector<std::string> reported = loggedLines(from, "far half");
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), expectedLine(seen.second));
    router.checkHealth();
    if (figures() == seen) {
        EXPECT_EQ(loggedLines(from, "far half").size(), reported.size()) << "reported again";
    }

    StatusSnapshot snapshot = router.statusSnapshot();
    const CardStatus* joined = cardIn(snapshot, "0000a01b");
    EXPECT_TRUE(joined->live);
    EXPECT_EQ(joined->problem, "");
    EXPECT_GE(joined->farStarts, 1u);
    // Within the converter's limit of 1000 ppm, where a busy machine can hold it; the factor is
    // kept as a float, which puts 1.001 at 1000.05 ppm.
    EXPECT_LE(std::fabs(joined->farDriftPpm), 1000.1);

    // Three starts between two checks, the last one trimming 123 frames: one line.
    router.inspect([&](const RouterGraph* graph) {
        graph->farLinks[0]->half->figures().starts.fetch_add(3);
        graph->farLinks[0]->half->figures().trimmedFrames.store(123);
        graph->farLinks[0]->half->figures().factor.store(1.0005f);
    });
    const std::size_t before = LogCapture::instance().mark();
    router.checkHealth();
    EXPECT_EQ(loggedLines(before, "far half"), (std::vector<std::string>{expectedLine(123)}));
    snapshot = router.statusSnapshot();
    EXPECT_GE(cardIn(snapshot, "0000a01b")->farStarts, seen.first + 3);
    EXPECT_NEAR(cardIn(snapshot, "0000a01b")->farDriftPpm, 500.0, 1.0);
    router.closeAll();
}

// --- outputs that stall --------------------------------------------------------------------------

// Makes one test output stall: while set, the router's render gate skips its callbacks.
class Staller {
public:
    explicit Staller(std::string key) : key_(std::move(key)) {}
    void attach(RouterOptions& options) {
        options.renderGate = pass;
        options.renderGateContext = this;
    }
    void set(bool stalled) { stalled_.store(stalled); }

private:
    // Render thread.
    static bool pass(void* context, std::string_view key) {
        const auto* self = static_cast<const Staller*>(context);
        return key != self->key_ || !self->stalled_.load(std::memory_order_relaxed);
    }

    std::string key_;
    std::atomic<bool> stalled_{false};
};

// Runs the health monitor every 20 ms for a span (the window's timer runs it every 500 ms;
// more often only sharpens when a rebuild is seen). `each` runs before every check with the
// milliseconds since the start. Returns when each rebuild came, in milliseconds from the start.
std::vector<std::int64_t> watchHealth(Router& router, std::chrono::milliseconds span,
                                      const std::function<void(std::int64_t)>& each = {}) {
    std::vector<std::int64_t> rebuilds;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t builds = router.buildCount();
    for (;;) {
        const std::int64_t elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (elapsedMs >= span.count()) break;
        if (each) each(elapsedMs);
        router.checkHealth();
        if (router.buildCount() != builds) {
            builds = router.buildCount();
            rebuilds.push_back(elapsedMs);
        }
        std::this_thread::sleep_for(20ms);
    }
    return rebuilds;
}

// A stereo card with a player on kStereo48, which the test makes stall, and the healthy
// kMono48 beside it.
struct StallRig {
    Recorder recorder{30.0};
    Staller staller{kStereo48.key};
    std::atomic<bool> throwAtNextOpen{false};  // the next build fails part way
    std::unique_ptr<Router> router;
    std::unique_ptr<Player> player;

    // Plays the card until the output has rendered 100 ms of it, unless it stalls from the open.
    void start(bool stalledFromTheOpen = false) {
        recorder.track(kStereo48);
        recorder.track(kMono48);
        RouterOptions options = testOptions(kDevices, &recorder);
        staller.attach(options);
        options.holdCheck = [this](const DeviceInfo&) {
            if (throwAtNextOpen.exchange(false)) throw std::bad_alloc();
            return false;
        };
        router = std::make_unique<Router>(std::move(options));
        router->rescan();
        core::Settings settings = settingsOf({deviceSettings(kStereo48), deviceSettings(kMono48)},
                                             {stereoCard("0000000a", "Lounge", kStereo48)});
        staller.set(stalledFromTheOpen);
        ASSERT_TRUE(router->apply(settings).empty());
        player = std::make_unique<Player>(openOrFail(*router, 3, "0000000a"), sineSignal(1000.0, 0.5));
        ASSERT_EQ(player->openError(), "");
        if (!stalledFromTheOpen) {
            ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, 4800));
        }
    }

    std::uint64_t frames(const DeviceInfo& device) const { return recorder.of(device.key).recordedFrames(); }

    // Stalls the output and watches the health checks for `span`; the stall ends with the
    // first rebuild it causes. When each rebuild came, as watchHealth says.
    std::vector<std::int64_t> stallUntilRebuilt(std::chrono::milliseconds span) {
        const std::uint64_t builds = router->buildCount();
        staller.set(true);
        return watchHealth(*router, span, [&](std::int64_t) {
            if (router->buildCount() != builds) staller.set(false);
        });
    }

    // The card plays the player's sine again, from the ring it has held all along.
    void expectPlaying() {
        const std::uint64_t mark = frames(kStereo48);
        ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, mark + 9600)) << "the output does not call back";
        expectSineFrom(recorder.of(kStereo48.key), mark);
        const StatusSnapshot snapshot = router->statusSnapshot();
        EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->state, DeviceState::Open);
        EXPECT_TRUE(cardIn(snapshot, "0000000a")->playing);
        EXPECT_EQ(player->closeReason(), 0u) << "the player never had to reopen";
    }

    ~StallRig() {
        staller.set(false);
        if (router) router->closeAll();
    }
};

TEST_F(Health, AnOutputThatStallsForTwoSecondsIsRebuiltOnce) {
    StallRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const std::uint64_t builds = rig.router->buildCount();
    const std::size_t from = LogCapture::instance().mark();

    std::vector<std::int64_t> rebuilds = rig.stallUntilRebuilt(4000ms);
    ASSERT_FALSE(rebuilds.empty()) << "the stall was not noticed";
    EXPECT_GE(rebuilds[0], 1900) << "rebuilt before the output stood still for 2 s";
    EXPECT_LE(rebuilds[0], 3000);
    EXPECT_EQ(rebuilds.size(), 1u);
    EXPECT_EQ(rig.router->buildCount(), builds + 1);
    EXPECT_EQ(loggedLines(from, "rebuilding"),
              (std::vector<std::string>{kStereo48.key + " stopped unexpectedly; rebuilding"}));
    rig.expectPlaying();
}

// A rebuild that throws part way leaves no graph; the failure is logged, nothing leaves the
// check, and the next check builds again: the card plays on from its ring.
TEST_F(Health, ARebuildThatThrowsIsLoggedAndTheNextCheckBuildsAgain) {
    StallRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const std::size_t from = LogCapture::instance().mark();

    rig.throwAtNextOpen = true;
    const std::vector<std::int64_t> rebuilds = rig.stallUntilRebuilt(3500ms);
    ASSERT_EQ(rebuilds.size(), 2u) << "the failed build, then the one after it";
    EXPECT_LE(rebuilds[1] - rebuilds[0], 500);
    EXPECT_EQ(loggedLines(from, "health check failed"),
              (std::vector<std::string>{"health check failed: std::bad_alloc"}));
    EXPECT_EQ(loggedLines(from, "after a failed build").size(), 1u);
    rig.expectPlaying();
}

// Neither an output that is slow to call back after its open nor one that pauses for 1.5 s
// is torn down, and the healthy output beside them never is.
TEST_F(Health, AnOutputThatStandsStillForLessThanTwoSecondsIsLeftAlone) {
    StallRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start(true));
    const std::uint64_t builds = rig.router->buildCount();
    const std::size_t from = LogCapture::instance().mark();
    std::optional<std::uint64_t> framesBeforeItStarts;
    std::optional<std::uint64_t> framesAsThePauseStarts;
    std::optional<std::uint64_t> framesAsThePauseEnds;
    std::vector<std::int64_t> rebuilds = watchHealth(*rig.router, 5500ms, [&](std::int64_t elapsedMs) {
        if (elapsedMs >= 1400 && !framesBeforeItStarts) framesBeforeItStarts = rig.frames(kStereo48);
        if (elapsedMs >= 1500 && elapsedMs < 2000) rig.staller.set(false);
        if (elapsedMs >= 2000 && !framesAsThePauseStarts) {
            rig.staller.set(true);
            framesAsThePauseStarts = rig.frames(kStereo48);
        }
        if (elapsedMs >= 3400 && !framesAsThePauseEnds) framesAsThePauseEnds = rig.frames(kStereo48);
        if (elapsedMs >= 3500) rig.staller.set(false);
    });
    EXPECT_TRUE(rebuilds.empty());
    EXPECT_EQ(rig.router->buildCount(), builds);
    EXPECT_EQ(loggedLines(from, "stopped unexpectedly"), std::vector<std::string>{});
    // The rig did hold the output back both times.
    ASSERT_TRUE(framesBeforeItStarts && framesAsThePauseStarts && framesAsThePauseEnds);
    EXPECT_EQ(*framesBeforeItStarts, 0u);
    EXPECT_GT(*framesAsThePauseStarts, 0u);
    EXPECT_LE(*framesAsThePauseEnds - *framesAsThePauseStarts, 2048u) << "it went on calling back";
    EXPECT_GT(rig.frames(kMono48), 48000u * 4) << "the healthy output played throughout";
    rig.expectPlaying();
}

// A device that stalls again after every rebuild: the first rebuild after 2 s, the next only
// after 4 s more (counted from the rebuild, as its new output never calls back), then 8 s.
TEST_F(Health, AnOutputThatKeepsStallingIsRebuiltLessAndLessOften) {
    StallRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const std::uint64_t builds = rig.router->buildCount();
    const std::size_t from = LogCapture::instance().mark();

    rig.staller.set(true);
    std::vector<std::int64_t> rebuilds = watchHealth(*rig.router, 7500ms);
    ASSERT_EQ(rebuilds.size(), 2u) << "rebuilt after the stall, and once more 4 s later";
    EXPECT_GE(rebuilds[0], 1900);
    EXPECT_LE(rebuilds[0], 3000);
    EXPECT_GE(rebuilds[1] - rebuilds[0], 3950);
    EXPECT_LE(rebuilds[1] - rebuilds[0], 4800);
    EXPECT_EQ(rig.router->buildCount(), builds + 2);
    EXPECT_EQ(loggedLines(from, "rebuilding"),
              std::vector<std::string>(2, kStereo48.key + " stopped unexpectedly; rebuilding"));

    rig.staller.set(false);
    rig.expectPlaying();
}

// --- status snapshot ------------------------------------------------------------------------

TEST(StatusSnapshot, ListsFoundAndConfiguredSoundCardsAndCountsBuilds) {
    Router router(testOptions(kDevices));
    router.rescan();
    StatusSnapshot snapshot = router.statusSnapshot();
    EXPECT_EQ(snapshot.buildCount, 0u);
    ASSERT_EQ(snapshot.devices.size(), 3u) << "the scan, nothing configured yet";
    EXPECT_EQ(snapshot.devices[0].state, DeviceState::Off);
    EXPECT_EQ(snapshot.devices[0].channels, 2u) << "the scan's count while there is no output";
    EXPECT_TRUE(snapshot.cards.empty());

    core::Settings settings;
    const core::DeviceSettings unplugged = unpluggedDevice("null:7", "Unplugged");
    const core::DeviceSettings unpluggedOff = unpluggedDevice("null:8", "Unplugged and off", false);
    core::DeviceSettings off = deviceSettings(kMono44, 441, 3);
    off.enabled = false;
    settings.devices = {unpluggedOff, deviceSettings(kStereo48, 480, 2), off, unplugged};
    settings.cards = {stereoCard("0000000a", "Lounge", kStereo48), card("0000000c", "Attic", {member("null:7", 0)})};
    ASSERT_TRUE(router.apply(settings).empty());
    snapshot = router.statusSnapshot();
    EXPECT_EQ(snapshot.buildCount, 1u);

    // Scan order, then the configured cards the scan did not find, in settings order.
    std::vector<std::string> keys;
    for (const DeviceStatus& device : snapshot.devices) keys.push_back(device.info.key);
    EXPECT_EQ(keys, (std::vector<std::string>{kStereo48.key, kMono48.key, kMono44.key, "null:8", "null:7"}));
    ASSERT_EQ(snapshot.devices.size(), 5u);

    const DeviceStatus& open = snapshot.devices[0];
    EXPECT_EQ(open.state, DeviceState::Open);
    EXPECT_EQ(open.info.name, kStereo48.name);
    EXPECT_EQ(open.configured.key, kStereo48.key);
    EXPECT_EQ(open.configured.bufferFrames, 480u);
    EXPECT_EQ(open.channels, 2u);
    EXPECT_EQ(open.rate, 48000u);
    EXPECT_NE(open.description, "");
    EXPECT_GT(open.period, 0u);
    EXPECT_EQ(open.peaks.size(), 2u);
    EXPECT_EQ(open.tones.size(), 2u);

    const DeviceStatus& unused = snapshot.devices[1];
    EXPECT_EQ(unused.state, DeviceState::Off);
    EXPECT_EQ(unused.configured.key, "") << "not in the settings";
    EXPECT_FALSE(unused.configured.enabled);
    EXPECT_EQ(unused.channels, 1u);
    EXPECT_TRUE(unused.peaks.empty());
    EXPECT_EQ(unused.description, "");

    const DeviceStatus& disabled = snapshot.devices[2];
    EXPECT_EQ(disabled.state, DeviceState::Off);
    EXPECT_EQ(disabled.configured.key, kMono44.key);
    EXPECT_EQ(disabled.configured.periods, 3u);
    EXPECT_FALSE(disabled.configured.enabled);
    EXPECT_EQ(disabled.rate, 0u);

    for (const DeviceStatus* gone : {&snapshot.devices[3], &snapshot.devices[4]}) {
        const bool enabled = gone->info.key == "null:7";
        EXPECT_EQ(gone->info.name, enabled ? "Unplugged" : "Unplugged and off");
        EXPECT_EQ(gone->info.family, DeviceFamily::Null);
        EXPECT_EQ(gone->info.channels, 0u);
        EXPECT_EQ(gone->configured.enabled, enabled);
        EXPECT_EQ(gone->state, enabled ? DeviceState::Missing : DeviceState::Off) << gone->info.key;
        EXPECT_EQ(gone->channels, 0u);
        EXPECT_EQ(gone->rate, 0u);
        EXPECT_TRUE(gone->peaks.empty());
    }

    ASSERT_EQ(snapshot.cards.size(), 2u);
    EXPECT_EQ(snapshot.cards[0].name, "Lounge");
    EXPECT_TRUE(snapshot.cards[0].live);
    EXPECT_FALSE(snapshot.cards[0].playing);
    EXPECT_EQ(snapshot.cards[0].farStarts, 0u);
    EXPECT_EQ(snapshot.cards[0].farDropFrames, 0u);
    EXPECT_EQ(snapshot.cards[0].farDriftPpm, 0.0);
    EXPECT_EQ(snapshot.cards[1].id, "0000000c");
    EXPECT_FALSE(snapshot.cards[1].live);
    EXPECT_EQ(snapshot.cards[1].problem, "sound card off or not connected");

    // Only settings that pass validation are built.
    core::Settings invalid = settings;
    invalid.cards[0].id = "nothex!!";
    EXPECT_FALSE(router.apply(invalid).empty());
    EXPECT_EQ(router.statusSnapshot().buildCount, 1u);
    ASSERT_TRUE(router.apply(settings).empty());
    EXPECT_EQ(router.statusSnapshot().buildCount, 2u);

    router.closeAll();
    snapshot = router.statusSnapshot();
    EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->state, DeviceState::Missing) << "enabled but without an output";
    EXPECT_FALSE(snapshot.cards[0].live);
}

// Each snapshot takes the peaks, so it shows only what played since the one before.
TEST(StatusSnapshot, PeaksAreTakenBySnapshots) {
    RecordedRouter rig(kDevices, {kStereo48});
    auto& [recorder, router] = rig;
    core::Settings settings = settingsOf({deviceSettings(kStereo48)});
    ASSERT_TRUE(router.apply(settings).empty());
    router.setTestTone(kStereo48.key, 1, true);
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, 9600));
    StatusSnapshot snapshot = router.statusSnapshot();
    const DeviceStatus* device = deviceIn(snapshot, kStereo48.key);
    ASSERT_EQ(device->peaks.size(), 2u);
    EXPECT_EQ(device->peaks[0], 0.0f);
    EXPECT_NEAR(device->peaks[1], 0.125f, 0.001f);
    EXPECT_EQ(device->tones, (std::vector<bool>{false, true}));

    // Silence from here: one snapshot takes what was left of the tone, the next shows 0.
    router.setTestTone(kStereo48.key, 1, false);
    std::uint64_t mark = recorder.of(kStereo48.key).recordedFrames();
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, mark + 4800));
    snapshot = router.statusSnapshot();
    EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->tones, (std::vector<bool>{false, false}));
    mark = recorder.of(kStereo48.key).recordedFrames();
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, mark + 4800));
    snapshot = router.statusSnapshot();
    EXPECT_EQ(deviceIn(snapshot, kStereo48.key)->peaks, (std::vector<float>{0.0f, 0.0f}));
    router.closeAll();
}

// A ring as its player left it, then with positions a hostile player wrote.
TEST(StatusSnapshot, RingFiguresStayWithinTheRing) {
    RecordedRouter rig(kDevices, {kStereo48});
    auto& [recorder, router] = rig;
    core::Settings settings = settingsOf({deviceSettings(kStereo48)}, {stereoCard("0000000a", "Lounge", kStereo48)});
    ASSERT_TRUE(router.apply(settings).empty());
    const core::OpenCardResult opened = openOrFail(router, 4, "0000000a");
    tools::RingProducer producer;
    ASSERT_EQ(producer.open(opened.mapping, opened.event), "");

    // Opened, never written, while the output reads it for a while.
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, 9600));
    StatusSnapshot snapshot = router.statusSnapshot();
    const CardStatus* lounge = cardIn(snapshot, "0000000a");
    EXPECT_TRUE(lounge->playing);
    EXPECT_EQ(lounge->player, "test player");
    EXPECT_EQ(lounge->fill, 0u);
    EXPECT_EQ(lounge->underrunFrames, 0u);
    EXPECT_EQ(lounge->target, opened.target);

    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, toWide(opened.mapping).c_str()));
    ASSERT_TRUE(mapping);
    MappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, core::kRingHeaderBytes));
    ASSERT_TRUE(view);
    auto* header = static_cast<core::RingHeader*>(view.get());
    header->writePos.store(std::uint64_t{1} << 40);
    // Let the output read from it, so readPos moves too.
    std::uint64_t mark = recorder.of(kStereo48.key).recordedFrames();
    ASSERT_TRUE(recorder.waitForFrames(kStereo48.key, mark + 4800));
    lounge = cardIn(snapshot = router.statusSnapshot(), "0000000a");
    EXPECT_EQ(lounge->fill, opened.capacity);
    EXPECT_GT(header->readPos.load(), 0u);

    header->writePos.store(1);  // behind what was read
    lounge = cardIn(snapshot = router.statusSnapshot(), "0000000a");
    EXPECT_EQ(lounge->fill, 0u);
    header->underrunFrames.store(77);
    header->writePos.store(header->readPos.load() + 100);
    lounge = cardIn(snapshot = router.statusSnapshot(), "0000000a");
    EXPECT_LE(lounge->fill, 100u);
    EXPECT_GE(lounge->underrunFrames, 77u);
    EXPECT_EQ(lounge->farStarts, 0u);
    router.closeAll();
}

// --- a real sound card that goes away ------------------------------------------------------------

// Driven by unplug-sink.sh, which owns the PulseAudio sink "ZoneC" and talks to this test
// through files in the folder QOVA_UNPLUG_DIR names (a Unix path; Wine shows / as Z:):
// this test writes "ready", "replug" and "playing"; the script answers "unplugged",
// "replugged" and "heard" (the loudest sample it recorded from the sink's monitor).
std::wstring handshakeFile(const std::string& folder, const char* name) {
    std::string path = folder;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return toWide(path + "\\" + name);
}

// Leaves `say` for the script and waits for its `answer`.
bool askScript(const std::string& folder, const char* say, const char* answer, std::chrono::milliseconds timeout) {
    testing_support::writeFile(handshakeFile(folder, say), "");
    return eventually([&] { return testing_support::fileExists(handshakeFile(folder, answer)); }, timeout);
}

// What Wine 8 does when the sink goes: PulseAudio ends the stream with its sink, but winepulse
// neither fails the audio client nor signals its event again, so miniaudio's WASAPI thread
// waits for ever: no stop is reported, the render callbacks just stop. The endpoint stays in
// Wine's list (read once per process), so the scan finds nothing missing. The health monitor
// takes the stall for a stop after 2 s; the rebuild cannot open the endpoint while its sink is
// away, so the node ends failed, and the trial reopen that comes every 5 s succeeds once the
// sink is back.
TEST(UnpluggedSink, ACardPlaysAgainWhenItsSoundCardReturns) {
    const char* folder = std::getenv("QOVA_UNPLUG_DIR");
    if (folder == nullptr || *folder == '\0') GTEST_SKIP() << "run by unplug-sink.sh";
    REQUIRE_OUR_LOG();

    std::string error;
    DeviceInfo zone;
    for (const DeviceInfo& endpoint : listWasapiDevices(error)) {
        if (endpoint.name == "ZoneC") zone = endpoint;
    }
    ASSERT_NE(zone.key, "") << "no ZoneC endpoint (" << error << ")";
    Recorder recorder(40.0);
    recorder.track(zone);
    RouterOptions options;
    options.scanDevices = true;
    recorder.attach(options);
    Router router(std::move(options));
    router.rescan();
    core::Settings settings = settingsOf({deviceSettings(zone)}, {stereoCard("0000c0de", "Zone C", zone)});
    ASSERT_TRUE(router.apply(settings).empty());
    const StatusSnapshot first = router.statusSnapshot();
    ASSERT_EQ(deviceIn(first, zone.key)->state, DeviceState::Open) << deviceIn(first, zone.key)->problem;
    Player player(openOrFail(router, 9, "0000c0de"), sineSignal(1000.0, 0.5));
    ASSERT_EQ(player.openError(), "");
    ASSERT_TRUE(recorder.waitForFrames(zone.key, 24000));
    EXPECT_NEAR(loudest(recorder.of(zone.key), 0, 0), 0.5f, 0.01f);
    const Recorder::Track& track = recorder.of(zone.key);

    const std::size_t from = LogCapture::instance().mark();
    const std::uint64_t builds = router.buildCount();
    ASSERT_TRUE(askScript(folder, "ready", "unplugged", 20000ms)) << "the script did not unplug the sink";

    // Unplugged: the output stalls without a stop; after 2 s the monitor rebuilds, and the
    // rebuild leaves the node failed.
    bool stopReported = false;
    auto outputReportsStop = [&] {
        bool reported = false;
        router.inspect([&](const RouterGraph* graph) {
            for (const auto& node : graph->outputs) {
                reported = reported || (node->output && node->output->stoppedUnexpectedly());
            }
        });
        return reported;
    };
    const bool rebuilt = eventually(
        [&] {
            stopReported = stopReported || outputReportsStop();
            router.checkHealth();
            return router.buildCount() != builds;
        },
        8000ms);
    const std::int64_t noticedNs = steadyNowNs();
    ASSERT_TRUE(rebuilt) << "the stall was not noticed";
    EXPECT_FALSE(stopReported) << "this Wine reports the stop: the stall path was not exercised";
    const std::uint32_t marks = track.markCount.load(std::memory_order_acquire);
    ASSERT_GT(marks, 0u);
    const std::int64_t lastCallbackNs = track.marks[marks - 1].timeNs;
    EXPECT_GE(noticedNs - lastCallbackNs, 1900000000) << "rebuilt before the output stood still for 2 s";
    EXPECT_EQ(router.buildCount(), builds + 1);
    EXPECT_EQ(loggedLines(from, "rebuilding"),
              (std::vector<std::string>{zone.key + " stopped unexpectedly; rebuilding"}));
    StatusSnapshot snapshot = router.statusSnapshot();
    EXPECT_EQ(deviceIn(snapshot, zone.key)->state, DeviceState::Failed)
        << "failed: the endpoint is listed but does not open";
    EXPECT_NE(deviceIn(snapshot, zone.key)->problem, "");
    EXPECT_EQ(loggedLines(from, "open " + zone.key + ": ").size(), 1u);
    EXPECT_FALSE(cardIn(snapshot, "0000c0de")->live);
    EXPECT_TRUE(cardIn(snapshot, "0000c0de")->playing) << "the ring survives";
    EXPECT_EQ(player.closeReason(), 0u);

    // While the sink stays away, for longer than a first grace, nothing more happens: no
    // rebuild, and a failed trial reopen says nothing.
    const std::size_t away = LogCapture::instance().mark();
    for (int i = 0; i < 25; ++i) {
        router.checkHealth();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(router.buildCount(), builds + 1);
    EXPECT_EQ(LogCapture::instance().messagesSince(away), std::vector<std::string>{});
    const std::uint64_t writtenWhileAway = player.written();

    ASSERT_TRUE(askScript(folder, "replug", "replugged", 20000ms)) << "the script did not bring the sink back";
    const std::uint64_t mark = track.recordedFrames();
    const bool back = eventually(
        [&] {
            router.checkHealth();
            return deviceIn(router.statusSnapshot(), zone.key)->state == DeviceState::Open;
        },
        12000ms);
    ASSERT_TRUE(back) << "the sink came back but the output did not";
    EXPECT_EQ(router.buildCount(), builds + 2);
    EXPECT_EQ(loggedLines(from, "rebuilding"), (std::vector<std::string>{zone.key + " stopped unexpectedly; rebuilding",
                                                                         zone.key + " opens again; rebuilding"}));

    // The card plays the player's signal again from the ring it has held throughout.
    ASSERT_TRUE(recorder.waitForFrames(zone.key, mark + 24000));
    expectSineFrom(track, mark);  // the card plays again
    snapshot = router.statusSnapshot();
    EXPECT_TRUE(cardIn(snapshot, "0000c0de")->live);
    EXPECT_TRUE(cardIn(snapshot, "0000c0de")->playing);
    EXPECT_EQ(cardIn(snapshot, "0000c0de")->player, "test player");
    EXPECT_EQ(player.closeReason(), 0u) << "the player never had to reopen";
    EXPECT_GT(player.written(), writtenWhileAway) << "the router reads the same ring again";

    // And it reaches the sink: the script records its monitor.
    ASSERT_TRUE(askScript(folder, "playing", "heard", 10000ms)) << "the script recorded nothing";
    const std::string heard = testing_support::readFile(handshakeFile(folder, "heard"));
    EXPECT_NEAR(std::atof(heard.c_str()), 0.5, 0.02) << "loudest sample at the sink: " << heard;
    for (const std::string& line : LogCapture::instance().messagesSince(from)) std::printf("  log: %s\n", line.c_str());
    router.closeAll();
}

// Two joined cards across the same two sound cards, one each way round, measure one pair of
// clocks: the first fit either far half takes of its own stream reaches the other, reversed.
TEST_F(Health, JoinedCardsOnTheSameSoundCardsShareTheirFits) {
    const std::size_t logFrom = LogCapture::instance().mark();
    const DeviceInfo stereo44 = makeTestOutput(6, 2, 44100);
    Router router(testOptions({kStereo48, stereo44}));
    router.rescan();
    core::Settings settings = joinedCardSettings(kStereo48, stereo44);
    settings.cards.push_back(card("0000a01c", "Joined back", {member(stereo44.key, 1), member(kStereo48.key, 1)}));
    ASSERT_TRUE(router.apply(settings).empty());
    std::uint32_t fits[2] = {};
    std::uint32_t shared[2] = {};
    double offsets[2] = {};
    std::uint64_t streamFits[2] = {};  // 0: no stretch of its own stream fitted yet
    auto read = [&] {
        router.checkHealth();
        router.inspect([&](const RouterGraph* graph) {
            ASSERT_EQ(graph->farLinks.size(), 2u);
            for (std::size_t i = 0; i < 2; ++i) {
                const core::FarHalf::Figures& figures = graph->farLinks[i]->half->figures();
                fits[i] = figures.fits.load();
                shared[i] = figures.sharedFits.load();
                streamFits[i] = figures.streamFit.load();
                double doubt = 0.0;
                core::FarHalf::unpackFit(streamFits[i], offsets[i], doubt);
            }
        });
    };
    // First a fit of either far half's own stream: the first start, then stretches of 5, 10 and
    // 20 s. Under Wine the null backend's callbacks now and then bend a stretch, which is then set
    // aside: none in the 57 s this test once waited, in a run of the whole suite.
    ASSERT_TRUE(eventually(
        [&] {
            read();
            return streamFits[0] != 0 || streamFits[1] != 0;
        },
        kFirstFarStart + 100s))
        << "no stretch fitted; fits taken: " << fits[0] << " and " << fits[1];
    // Then the other far half weighs it, from the next health check on (or the next fit, should
    // one whose own fit came first have set it aside as contradicting its own).
    ASSERT_TRUE(eventually(
        [&] {
            read();
            return shared[0] + shared[1] > 0;
        },
        25s))
        << "fits taken: " << fits[0] << " and " << fits[1];
    router.checkHealth();                            // the far thread may have taken it after the last check: told now
    const std::size_t from = shared[0] > 0 ? 1 : 0;  // the far half that shared
    EXPECT_GT(fits[from], 0u) << "shared once fitted";
    // Both sides' callbacks come from one timer: their clocks' offset is some ppm either way.
    EXPECT_LT(std::fabs(offsets[from]), 300e-6);
    EXPECT_FALSE(loggedLines(logFrom, "from another far half on the same two sound cards").empty());
}

}  // namespace
}  // namespace win
