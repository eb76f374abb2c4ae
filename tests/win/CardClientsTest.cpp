#include "win/router/Router.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RouterTestSupport.h"
#include "core/control/ControlBackend.h"
#include "tools/player/RingProducer.h"

// The router as the control channel sees it: card lists, opening, closing and clients that
// go away, on test outputs with real rings that a producer attaches to by name.

namespace win {
namespace {

using namespace router_testing;

const DeviceInfo kStereo = makeTestOutput(0, 2, 48000);
const DeviceInfo kEight = makeTestOutput(1, 8, 44100);

constexpr std::uint64_t kAlice = 11;
constexpr std::uint64_t kBob = 12;

// Three cards: two on the stereo output and one on a configured device that is not there.
core::Settings clientSettings() {
    core::Settings settings;
    settings.devices = {deviceSettings(kStereo), deviceSettings(kEight), unpluggedDevice("null:7", "Unplugged")};
    settings.cards = {stereoCard("0000000a", "Lounge", kStereo), card("0000000b", "Porch", {member(kEight.key, 2)}),
                      card("0000000c", "Attic", {member("null:7", 0)})};
    return settings;
}

std::unique_ptr<Router> clientRouter() {
    return appliedRouter(testOptions({kStereo, kEight}), clientSettings());
}

std::vector<std::string> states(Router& router, std::uint64_t client) {
    std::vector<std::string> out;
    for (const core::CardInfo& info : router.listCards(client)) out.push_back(info.state);
    return out;
}

// A producer attached to a ring by the names the open handed out.
struct Attached {
    explicit Attached(const core::OpenCardResult& opened) { error = producer.open(opened.mapping, opened.event); }
    tools::RingProducer producer;
    std::string error;
};

TEST(CardClients, ListShowsEveryCardAsTheCallerSeesIt) {
    auto router = clientRouter();
    const std::vector<core::CardInfo> cards = router->listCards(kAlice);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].id, "qova:0000000a");
    EXPECT_EQ(cards[0].name, "Lounge");
    EXPECT_EQ(cards[0].channels, 2);
    EXPECT_EQ(cards[1].channels, 1);
    EXPECT_EQ(states(*router, kAlice), (std::vector<std::string>{"ready", "ready", "offline"}));

    core::OpenCardResult opened = openOrFail(*router, kAlice, "0000000a");
    EXPECT_EQ(states(*router, kAlice), (std::vector<std::string>{"ready", "ready", "offline"})) << "the holder";
    EXPECT_EQ(states(*router, kBob), (std::vector<std::string>{"busy", "ready", "offline"})) << "another client";

    // Before any settings, and after shutdown, nothing is open to anyone.
    Router empty(testOptions({kStereo, kEight}));
    empty.rescan();
    EXPECT_TRUE(empty.listCards(kAlice).empty());
    router->closeAll();
    EXPECT_EQ(states(*router, kBob), (std::vector<std::string>{"offline", "offline", "offline"}));
}

TEST(CardClients, OpenChecksTheCardThenHandsOutAFreshRing) {
    auto router = clientRouter();
    core::OpenCardResult result;
    EXPECT_EQ(router->openCard(kAlice, "000000ff", "alice", result), "unknown_card");
    EXPECT_EQ(router->openCard(kAlice, "0000000c", "alice", result), "offline");
    EXPECT_EQ(result.mapping, "") << "a failed open fills nothing";

    ASSERT_EQ(router->openCard(kAlice, "0000000b", "alice", result), "");
    EXPECT_TRUE(result.mapping.starts_with("Local\\qova-" + std::to_string(GetCurrentProcessId()) + "-0000000b-"))
        << result.mapping;
    EXPECT_EQ(result.event, result.mapping + "-need");
    EXPECT_EQ(result.period, 480u) << "441 frames at 44100 Hz";
    EXPECT_EQ(result.target, 1216u);
    EXPECT_EQ(result.capacity, 8192u);
    Attached first(result);
    ASSERT_EQ(first.error, "");
    EXPECT_EQ(first.producer.closeReason(), 0u);

    core::OpenCardResult busy;
    EXPECT_EQ(router->openCard(kBob, "0000000b", "bob", busy), "busy");
    EXPECT_EQ(first.producer.closeReason(), 0u) << "another client's open must not touch the ring";

    // The same client again: the old ring is withdrawn by QOVA and a new name handed out.
    core::OpenCardResult again;
    ASSERT_EQ(router->openCard(kAlice, "0000000b", "alice", again), "");
    EXPECT_NE(again.mapping, result.mapping);
    EXPECT_EQ(first.producer.closeReason(), 1u);
    Attached second(again);
    ASSERT_EQ(second.error, "");
    EXPECT_EQ(second.producer.closeReason(), 0u);
    EXPECT_EQ(first.producer.write(std::vector<float>(64).data(), 32), 0u) << "the old ring still takes frames";
}

TEST(CardClients, CloseOnlyByTheHolder) {
    auto router = clientRouter();
    EXPECT_FALSE(router->anyCardPlaying());
    Attached held(openOrFail(*router, kAlice, "0000000a"));
    ASSERT_EQ(held.error, "");
    EXPECT_TRUE(router->anyCardPlaying());

    EXPECT_FALSE(router->closeCard(kBob, "0000000a")) << "not Bob's ring";
    EXPECT_FALSE(router->closeCard(kAlice, "0000000b")) << "no ring on that card";
    EXPECT_FALSE(router->closeCard(kAlice, "000000ff")) << "no such card";
    EXPECT_EQ(held.producer.closeReason(), 0u);

    EXPECT_TRUE(router->closeCard(kAlice, "0000000a"));
    EXPECT_EQ(held.producer.closeReason(), 2u) << "closed at the player's request";
    EXPECT_FALSE(router->closeCard(kAlice, "0000000a"));
    EXPECT_FALSE(router->anyCardPlaying());
    EXPECT_EQ(states(*router, kBob)[0], "ready");
}

TEST(CardClients, AClientThatGoesLosesOnlyItsOwnRings) {
    auto router = clientRouter();
    Attached alicesLounge(openOrFail(*router, kAlice, "0000000a"));
    Attached bobsPorch(openOrFail(*router, kBob, "0000000b"));
    ASSERT_EQ(alicesLounge.error, "");
    ASSERT_EQ(bobsPorch.error, "");

    router->clientGone(kAlice);
    EXPECT_EQ(alicesLounge.producer.closeReason(), 1u);
    EXPECT_EQ(bobsPorch.producer.closeReason(), 0u);
    EXPECT_TRUE(router->anyCardPlaying());
    EXPECT_EQ(states(*router, kAlice), (std::vector<std::string>{"ready", "busy", "offline"}));

    router->clientGone(kAlice);  // again: nothing left to do
    EXPECT_EQ(bobsPorch.producer.closeReason(), 0u);
    router->closeAll();
    EXPECT_EQ(bobsPorch.producer.closeReason(), 1u) << "shutdown withdraws every ring";
    EXPECT_FALSE(router->anyCardPlaying());
}

TEST(CardClients, AnOfflineCardOpensOnceItsSoundCardReturns) {
    Router router(testOptions({kStereo}));  // kEight is not plugged in yet
    router.rescan();
    ASSERT_TRUE(router.apply(clientSettings()).empty());
    core::OpenCardResult result;
    EXPECT_EQ(router.openCard(kAlice, "0000000b", "alice", result), "offline");
    EXPECT_EQ(states(router, kAlice)[1], "offline");
    // A rebuild that finds the card's sound card makes it live.
    auto replugged = clientRouter();
    EXPECT_EQ(replugged->openCard(kAlice, "0000000b", "alice", result), "");
}

// managedDevices names open Windows sound cards only: the private PulseAudio daemon's null
// sinks appear as WASAPI endpoints; test outputs never count.
TEST(CardClients, ManagedDevicesAreTheOpenWindowsSoundCards) {
    RouterOptions options = testOptions({kStereo});
    options.scanDevices = true;
    Router router(std::move(options));
    router.rescan();
    std::string error;
    const std::vector<DeviceInfo> endpoints = listWasapiDevices(error);
    const DeviceInfo* zone = nullptr;
    for (const DeviceInfo& endpoint : endpoints) {
        if (endpoint.name == "ZoneA") zone = &endpoint;
    }
    if (zone == nullptr) GTEST_SKIP() << "no ZoneA endpoint (" << error << "); run under scripts/test";

    core::Settings settings;
    settings.devices = {deviceSettings(kStereo), deviceSettings(*zone),
                        unpluggedDevice("wasapi:{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}", "Gone")};
    ASSERT_TRUE(router.apply(settings).empty());
    EXPECT_EQ(router.managedDevices(), std::vector<std::string>{"ZoneA"});
    router.closeAll();
    EXPECT_TRUE(router.managedDevices().empty());
}

}  // namespace
}  // namespace win
