#pragma once

// The card graph: what each output's render callback plays. The router builds one graph per
// build, complete before any of its outputs starts, and destroys it as a whole only after
// every output has been closed; while outputs run nothing in it changes shape, which is why
// the render threads can walk it without a lock. The render path itself, and who touches
// what while outputs run, is in core/render/Render.h: each node here is the render path's
// piece with what the router keeps beside it.
//
// Index: DeviceState, FarLink, CardNode, OutputNode, RouterGraph, then the platform's part of
// the render path (RouterRender.cpp).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/render/Render.h"
#include "core/settings/Settings.h"
#include "win/devices/DeviceScan.h"
#include "win/devices/Output.h"
#include "win/ring/CardRing.h"

namespace win {

using core::BufferObserver;
using core::kChunkFrames;
using core::kNearPullFrames;
using core::kTonePhaseStepTimesRate;
using core::NearTap;
using core::Oscillator;
using core::TapSource;

// A sound card's state. The graph's output nodes are Open, Missing or Failed; Off is only
// the status of a card the settings leave off (or do not name), which has no node.
enum class DeviceState : std::uint8_t {
    Off = 0,
    Open = 1,
    Missing = 2,  // the key is not in the device list
    Failed = 3,   // open or start failed
};

struct OutputNode;
struct CardNode;

// The far half of a joined card, and the nodes it joins.
struct FarLink : core::RenderFarLink {
    CardNode* card = nullptr;
    OutputNode* farOutput = nullptr;
    std::uint32_t nearExtraFrames = 0;  // added to the near taps' delays to wait for this half

    // The health monitor's, under the router lock.
    std::uint32_t reportedStarts = 0;
    bool reportedMeasured = false;
    std::uint32_t reportedFits = 0;
    std::uint32_t reportedSharedFits = 0;
    std::uint32_t reportedRealigns = 0;
    double reportedOffset = 0.0;
    std::uint64_t sharedStreamFit = 0;  // the last fit of its stream passed to the other far halves
};

struct CardNode : core::RenderCard {
    std::string id;
    std::string name;
    RingSlot* slot = nullptr;       // in the router's ring slots, which outlive the graph
    OutputNode* primary = nullptr;  // none when no member's sound card is usable
    bool live = false;              // has a tap or a far link; only live cards are rendered and opened
    std::string problem;
    std::uint32_t period = 0;  // the primary output's period in 48 kHz frames
};

struct OutputNode : core::RenderOutput {
    DeviceInfo info;
    core::DeviceSettings config;
    std::unique_ptr<Output> output;
    DeviceState state = DeviceState::Missing;
    std::string problem;
};

// Every card and far link the render path's pointers of a RouterGraph lead to is the
// router's node.
inline CardNode* cardNode(core::RenderCard* card) {
    return static_cast<CardNode*>(card);
}
inline FarLink* farLink(core::RenderFarLink* link) {
    return static_cast<FarLink*>(link);
}
inline const FarLink* farLink(const core::RenderFarLink* link) {
    return static_cast<const FarLink*>(link);
}

// Nodes live behind pointers so that the outputs, the converters and the nodes themselves
// can hold plain pointers to them for the graph's whole life.
struct RouterGraph {
    RouterGraph() = default;
    RouterGraph(const RouterGraph&) = delete;
    RouterGraph& operator=(const RouterGraph&) = delete;
    // Stops every render thread before anything they read is freed, also when a graph is
    // dropped half-built (an exception while its outputs start). Closing twice is harmless.
    ~RouterGraph() {
        for (const auto& node : outputs) {
            if (node->output) node->output->close();
        }
    }

    // Set once every output has started or failed; until then they render silence. Written
    // under the router lock, read by the render threads.
    std::atomic<bool> armed{false};
    std::vector<std::unique_ptr<OutputNode>> outputs;  // settings' device order
    std::vector<std::unique_ptr<CardNode>> cards;      // settings' card order
    std::vector<std::unique_ptr<FarLink>> farLinks;
};

// The RenderFunction handed to each output, with its OutputNode as the context.
void renderOutputNode(void* context, float* samples, std::uint32_t frames, std::uint32_t channels);

// Render thread of the card's primary output: a RingReader over the card's RingSlot.
std::uint32_t readCardRing(void* slot, float* destination, std::uint32_t frames);

// Build time: the card's ring reader and clock, as the router plays it.
void connectCard(CardNode& card, RingSlot& slot);

// The process's monotonic clock in nanoseconds. Any thread.
std::int64_t steadyNowNs();

}  // namespace win
