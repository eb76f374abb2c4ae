#pragma once

// The routing engine: the settings in force, the sound cards of the last scan, the open
// outputs and the card graph they render (RouterGraph.h), and one ring slot per card through
// which player apps hand in their audio. It is also the control channel's ControlBackend.
//
// One mutex, the router lock, guards everything here. It is taken by every public operation
// (on the UI thread and on the control server's connection threads) and never on a render
// thread: those reach the graph only through the outputs they were opened with, and the
// graph never changes shape while an output runs.
//
// Lock order: the router lock first; while it is held the router logs and opens outputs.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/control/ControlBackend.h"
#include "core/health/StallWatch.h"
#include "core/settings/Settings.h"
#include "core/settings/Validation.h"
#include "win/devices/DeviceScan.h"
#include "win/ring/CardRing.h"
#include "win/router/RouterGraph.h"

namespace win {

// One sound card as the Sound cards tab shows it: found by the scan, named by the settings,
// or both.
struct DeviceStatus {
    DeviceInfo info;                  // for a configured card the scan missed: key, name, family only
    core::DeviceSettings configured;  // empty key when the settings do not name the card
    DeviceState state = DeviceState::Off;
    std::string problem;
    std::uint32_t channels = 0;
    // Only while open:
    std::string description;
    std::uint32_t rate = 0;
    std::uint32_t period = 0;
    std::uint32_t latency = 0;
    std::vector<float> peaks;  // highest absolute sample per channel since the last snapshot
    std::vector<bool> tones;
};

// One card of the settings in force, with its player and its ring and far-half figures.
struct CardStatus {
    std::string id;
    std::string name;
    bool live = false;
    std::string problem;
    bool playing = false;  // a player holds its ring
    std::string player;
    std::uint32_t fill = 0;  // frames in the ring
    std::uint32_t target = 0;
    std::uint64_t underrunFrames = 0;
    std::uint64_t farDropFrames = 0;  // far halves' underrun and overflow frames
    std::uint32_t farStarts = 0;
    double farDriftPpm = 0.0;  // of the last far half that started
};

// A copy the user interface can draw from without touching the router.
struct StatusSnapshot {
    std::vector<DeviceStatus> devices;  // scan order, then configured cards the scan missed
    std::vector<CardStatus> cards;      // settings order
    std::uint64_t buildCount = 0;
};

// Tests only: asked on the render thread before each render callback of an output, with its
// device key; false skips that callback as if the sound card had not asked for it (nothing is
// rendered, observed or counted). Must not block, lock or allocate.
using RenderGate = bool (*)(void* context, std::string_view deviceKey);

struct RouterOptions {
    // False: the device list holds only extraDevices (tests, and runs without sound cards).
    bool scanDevices = true;
    // Always at the head of the device list: the shell's test outputs.
    std::vector<DeviceInfo> extraDevices;
    // Name prefix of card rings; the shell passes L"Local\\qova".
    std::wstring ringPrefix = L"Local\\qova";
    // When set and true for a device, the device is treated as held by another program.
    std::function<bool(const DeviceInfo&)> holdCheck;
    // When set, called on the render thread after every rendered buffer of every output.
    BufferObserver bufferObserver = nullptr;
    void* bufferObserverContext = nullptr;
    // Tests only: makes a test output stall. None in the shell.
    RenderGate renderGate = nullptr;
    void* renderGateContext = nullptr;
};

struct GatedRender;

class Router final : public core::ControlBackend {
public:
    // Nothing is scanned or opened yet.
    explicit Router(RouterOptions options);
    // Stops every output and withdraws every ring (reason 1).
    ~Router() override;

    // UI thread. Scans the sound cards without the lock, then replaces the device list.
    void rescan();

    // UI thread. Validates; with any issue returns them and changes nothing. Otherwise puts
    // the settings in force and rebuilds the graph; rings of cards that remain stay open.
    std::vector<core::ValidationIssue> apply(const core::Settings& settings);

    // UI thread. The Sound cards tab's test tone: a 440 Hz sine on one channel of an open output.
    void setTestTone(std::string_view deviceKey, std::uint32_t channel, bool on);

    // UI thread. Opens the driver's own settings window of that output (ASIO only).
    void showControlPanel(std::string_view deviceKey);

    // UI thread, at shutdown. Closes every output, drops the graph, withdraws every ring.
    void closeAll();

    // ControlBackend; any thread.
    std::vector<core::CardInfo> listCards(std::uint64_t clientId) override;
    std::vector<std::string> managedDevices() override;
    std::string openCard(std::uint64_t clientId, const std::string& cardId, const std::string& clientName,
                         core::OpenCardResult& result) override;
    bool closeCard(std::uint64_t clientId, const std::string& cardId) override;

    // Connection thread, when a client's connection ends: withdraws its rings (reason 1).
    void clientGone(std::uint64_t clientId);

    // Any thread. True while some player holds a card open.
    bool anyCardPlaying();

    // UI thread, from the window's timer. Closes rings their players gave up, logs far halves
    // that started, and rebuilds the graph (at most once per call) when an output stopped on
    // its own or stalled (StallWatch), a missing sound card is back (looked for every 3 s) or
    // a failed one opens again (tried every 5 s). Never throws: a failure (memory, a driver's
    // exception) is logged, and a graph it left unbuilt is built again by the next check.
    void checkHealth() noexcept;

    // UI thread. Everything the window shows; takes the peaks, so each snapshot shows the
    // peaks since the one before.
    StatusSnapshot statusSnapshot();

    // Any thread. Runs `visit` under the router lock with the current graph (null before the
    // first build and after closeAll). For diagnostics and tests; `visit` must not call back
    // into the router.
    void inspect(const std::function<void(const RouterGraph*)>& visit);

    // Any thread. Builds made so far.
    std::uint64_t buildCount();

private:
    // checkHealth's work; may throw.
    void runHealthCheck();
    // All under the router lock.
    void shareFits();
    void build();
    void teardown();
    void addOutputNode(RouterGraph& graph, const core::DeviceSettings& device);
    void addCardNode(RouterGraph& graph, const core::CardSettings& card);
    bool addFarLink(RouterGraph& graph, CardNode& card, OutputNode& farNode, const core::CardMember& member,
                    TapSource source);
    void closeEveryRing();
    void dropFailedOutput(OutputNode& node);
    bool reopensNow(const OutputNode& node);
    const DeviceInfo* findDevice(std::string_view key) const;
    OutputNode* findOutput(std::string_view key) const;
    CardNode* findCardNode(std::string_view id) const;
    RingSlot* findSlot(std::string_view id) const;

    std::mutex lock_;
    RouterOptions options_;
    std::string ringPrefix_;  // options_.ringPrefix in UTF-8, as rings are named
    core::Settings settings_;
    std::vector<DeviceInfo> devices_;
    std::uint64_t lastScanTick_ = 0;   // GetTickCount64 when devices_ was last replaced
    std::uint64_t lastRetryTick_ = 0;  // GetTickCount64 of the last trial reopen of failed outputs
    std::unique_ptr<RouterGraph> graph_;
    std::map<std::string, std::unique_ptr<RingSlot>, std::less<>> ringSlots_;  // by card id
    // The clocks' offsets settled far halves learned, by their two sound cards and rates.
    std::map<std::string, double> learnedOffsets_;
    std::uint64_t buildCount_ = 0;
    bool buildOwed_ = false;         // a build failed part way: no graph until the next one
    std::uint64_t ringCounter_ = 0;  // numbers ring names; never reset
    core::StallWatch stallWatch_;    // survives builds: the grace of a device that keeps stalling
    // With a render gate: what each open output calls back, for as long as the graph lives.
    std::vector<std::unique_ptr<GatedRender>> gatedRenders_;
};

}  // namespace win
