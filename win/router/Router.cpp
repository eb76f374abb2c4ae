// The router's life and its build. The card clients are in RouterClients.cpp, the health
// monitor in RouterHealth.cpp, the status snapshot in RouterStatus.cpp and the render path in
// RouterRender.cpp.
//
// Index: the test render gate; construction and destruction; rescan, apply, setTestTone,
// showControlPanel, closeAll; the build (outputs, cards, far links, vanished rings, start);
// lookups.

#include "win/router/Router.h"

#include <windows.h>

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/ring/CardRingLayout.h"
#include "core/ring/RingSizing.h"
#include "core/settings/DeviceKey.h"
#include "win/base/Log.h"
#include "win/base/Text.h"

namespace win {

namespace {

// Frames for a delay in milliseconds at a rate, to the nearest frame.
std::uint32_t delayFrames(double rateHz, double delayMs) {
    const double frames = std::floor(rateHz * delayMs / 1000.0 + 0.5);
    return frames > 0.0 ? static_cast<std::uint32_t>(frames) : 0;
}

std::int64_t steadyClock(void*) {
    return steadyNowNs();
}

// Two sound cards' clocks, each at the rate it runs at: what a learned offset belongs to.
std::string clockPairKey(const OutputNode& primary, const OutputNode& farNode) {
    return primary.info.key + '\n' + std::to_string(primary.rate) + '\n' + farNode.info.key + '\n' +
           std::to_string(farNode.rate);
}

std::string resamplerProblem(int error) {
    return std::string("resampler: ") + src_strerror(error);
}

}  // namespace

// A test's render gate in front of one output node's render function.
struct GatedRender {
    RenderGate gate = nullptr;
    void* context = nullptr;
    OutputNode* node = nullptr;
};

namespace {

// Render thread.
void renderGated(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    const auto& gated = *static_cast<const GatedRender*>(context);
    if (gated.gate(gated.context, gated.node->info.key)) renderOutputNode(gated.node, samples, frames, channels);
}

}  // namespace

// --- life -----------------------------------------------------------------------------------

// UI thread, at start-up.
Router::Router(RouterOptions options) : options_(std::move(options)), ringPrefix_(toUtf8(options_.ringPrefix)) {}

// UI thread, at shutdown.
Router::~Router() {
    const std::lock_guard guard(lock_);
    teardown();
    closeEveryRing();
    buildOwed_ = false;
}

// UI thread. The scan talks to Windows and may take a while, so it runs without the lock.
void Router::rescan() {
    std::vector<DeviceInfo> found = options_.extraDevices;
    if (options_.scanDevices) {
        std::string error;
        std::vector<DeviceInfo> wasapi = listWasapiDevices(error);
        if (!error.empty()) logLine("scan: %s", error.c_str());
        std::vector<DeviceInfo> asio = listAsioDevices();
        found.insert(found.end(), std::make_move_iterator(wasapi.begin()), std::make_move_iterator(wasapi.end()));
        found.insert(found.end(), std::make_move_iterator(asio.begin()), std::make_move_iterator(asio.end()));
    }
    const std::lock_guard guard(lock_);
    devices_ = std::move(found);
    lastScanTick_ = GetTickCount64();
}

// UI thread.
std::vector<core::ValidationIssue> Router::apply(const core::Settings& settings) {
    std::vector<core::ValidationIssue> issues = core::validateSettings(settings);
    if (!issues.empty()) return issues;
    const std::lock_guard guard(lock_);
    settings_.devices = settings.devices;
    settings_.cards = settings.cards;
    settings_.language = settings.language;
    build();
    return {};
}

// UI thread.
void Router::setTestTone(std::string_view deviceKey, std::uint32_t channel, bool on) {
    const std::lock_guard guard(lock_);
    OutputNode* node = findOutput(deviceKey);
    if (node == nullptr || node->state != DeviceState::Open || channel >= node->channels) return;
    // Nothing else is published with the flag; the render thread just picks it up.
    node->tones[channel].store(on, std::memory_order_relaxed);
}

// UI thread.
void Router::showControlPanel(std::string_view deviceKey) {
    const std::lock_guard guard(lock_);
    OutputNode* node = findOutput(deviceKey);
    if (node != nullptr && node->output) node->output->showControlPanel();
}

// UI thread.
void Router::closeAll() {
    const std::lock_guard guard(lock_);
    teardown();
    closeEveryRing();
    buildOwed_ = false;
}

// Any thread.
void Router::inspect(const std::function<void(const RouterGraph*)>& visit) {
    const std::lock_guard guard(lock_);
    visit(graph_.get());
}

// Any thread.
std::uint64_t Router::buildCount() {
    const std::lock_guard guard(lock_);
    return buildCount_;
}

// Under the router lock. Every output is closed (its render thread has stopped once close
// returns) before anything it renders is destroyed.
void Router::teardown() {
    if (!graph_) return;
    for (const auto& node : graph_->outputs) {
        if (node->output) node->output->close();
    }
    // With every render thread stopped, what each settled far half learned about its two
    // clocks is kept for the next far half between the same sound cards.
    for (const auto& link : graph_->farLinks) {
        double offset = 0.0;
        if (link->half->learnedOffset(offset))
            learnedOffsets_[clockPairKey(*link->card->primary, *link->farOutput)] = offset;
    }
    graph_.reset();
    gatedRenders_.clear();
}

// Under the router lock, with no graph left to read the slots.
void Router::closeEveryRing() {
    for (auto& [id, slot] : ringSlots_) closeRing(*slot, core::RingCloseReason::ByQova);
    ringSlots_.clear();
}

// --- build ----------------------------------------------------------------------------------

// Under the router lock. Never fails as a whole: every device and every card gets a node,
// and what does not work carries its reason.
void Router::build() {
    teardown();
    ++buildCount_;
    buildOwed_ = true;
    auto graph = std::make_unique<RouterGraph>();

    for (const core::DeviceSettings& device : settings_.devices) {
        if (device.enabled) addOutputNode(*graph, device);
    }

    std::set<std::string, std::less<>> cardIds;
    for (const core::CardSettings& card : settings_.cards) {
        cardIds.insert(card.id);
        addCardNode(*graph, card);
    }

    for (auto it = ringSlots_.begin(); it != ringSlots_.end();) {
        if (cardIds.contains(it->first)) {
            ++it;
            continue;
        }
        closeRing(*it->second, core::RingCloseReason::ByQova);
        it = ringSlots_.erase(it);
    }

    // The outputs start rendering silence: the graph is armed only once each of them has
    // started or failed, and what a failed one leaves behind has been taken out of it.
    for (const auto& node : graph->outputs) {
        if (node->state != DeviceState::Open) continue;
        std::string error;
        if (node->output->start(error)) continue;
        node->state = DeviceState::Failed;
        node->problem = error;
        logLine("start %s: %s", node->info.key.c_str(), error.c_str());
        // Keeps no half-started device around; its render function is not called after this.
        node->output->close();
        dropFailedOutput(*node);
    }
    graph->armed.store(true, std::memory_order_release);  // pairs with the acquire in renderOutput

    // Every output's grace counts from here, after the slowest open.
    const std::uint64_t now = GetTickCount64();
    std::set<std::string, std::less<>> keys;
    for (const auto& node : graph->outputs) {
        keys.insert(node->info.key);
        if (node->state == DeviceState::Open) stallWatch_.opened(node->info.key, now);
    }
    stallWatch_.forgetAllBut(keys);

    graph_ = std::move(graph);
    buildOwed_ = false;
}

// Under the router lock, before the graph is armed: no render thread reads its cards yet.
// The cards it was the primary of go silent; the far halves it played are dropped, so that
// their primaries no longer feed FIFOs nobody reads, and their near halves play undelayed.
void Router::dropFailedOutput(OutputNode& node) {
    for (core::RenderCard* rendered : node.cards) {
        CardNode* card = cardNode(rendered);
        card->live = false;
        card->problem = "sound card did not start";
        for (core::RenderFarLink* link : card->farLinks) std::erase(farLink(link)->farOutput->farLinks, link);
        card->farLinks.clear();
    }
    for (core::RenderFarLink* rendered : node.farLinks) {
        FarLink* link = farLink(rendered);
        CardNode& card = *link->card;
        std::erase(card.farLinks, link);
        for (NearTap& tap : card.taps) tap.delay.setLength(tap.delay.lengthFrames() - link->nearExtraFrames);
        card.problem = link->source == TapSource::Left ? "left output unavailable" : "right output unavailable";
        card.live = !card.taps.empty() || !card.farLinks.empty();
    }
    node.farLinks.clear();
}

// Under the router lock.
void Router::addOutputNode(RouterGraph& graph, const core::DeviceSettings& device) {
    auto node = std::make_unique<OutputNode>();
    node->config = device;
    node->armed = &graph.armed;
    const DeviceInfo* info = findDevice(device.key);
    if (info == nullptr) {
        node->info.key = device.key;
        node->info.name = device.name;
        node->info.family = core::familyOfKey(device.key);
        node->state = DeviceState::Missing;
        graph.outputs.push_back(std::move(node));
        return;
    }

    node->info = *info;
    node->key = info->key;
    node->observer = options_.bufferObserver;
    node->observerContext = options_.bufferObserverContext;
    node->output = info->family == DeviceFamily::Asio ? makeAsioOutput() : makeMiniaudioOutput();

    std::string error;
    bool opened = false;
    if (options_.holdCheck && options_.holdCheck(*info)) {
        error = "held by another program (test)";
    } else {
        RenderFunction render = renderOutputNode;
        void* context = node.get();
        if (options_.renderGate != nullptr) {
            auto& gated = gatedRenders_.emplace_back(std::make_unique<GatedRender>(
                GatedRender{options_.renderGate, options_.renderGateContext, node.get()}));
            render = renderGated;
            context = gated.get();
        }
        opened = node->output->open(*info, device, render, context, error);
    }
    if (!opened) {
        node->state = DeviceState::Failed;
        node->problem = error;
        logLine("open %s: %s", device.key.c_str(), error.c_str());
        node->output.reset();
        graph.outputs.push_back(std::move(node));
        return;
    }

    node->channels = node->output->channels();
    node->rate = node->output->sampleRate();
    if (node->channels == 0 || node->rate == 0) {
        // Nothing could be sized or converted for it; better a reason than a division by zero.
        error = "the sound card reported no format";
        node->output->close();
        node->output.reset();
        node->state = DeviceState::Failed;
        node->problem = error;
        node->channels = 0;
        node->rate = 0;
        logLine("open %s: %s", device.key.c_str(), error.c_str());
        graph.outputs.push_back(std::move(node));
        return;
    }
    node->peaks = std::make_unique<std::atomic<float>[]>(node->channels);
    node->tones = std::make_unique<std::atomic<bool>[]>(node->channels);
    for (std::uint32_t c = 0; c < node->channels; ++c) {
        node->peaks[c].store(0.0f, std::memory_order_relaxed);
        node->tones[c].store(false, std::memory_order_relaxed);
    }
    const double step = node->rate != 0 ? kTonePhaseStepTimesRate / node->rate : 0.0;
    node->oscillators.assign(node->channels, Oscillator{0.0, step});
    node->state = DeviceState::Open;
    logLine("open %s: %s, %u ch, latency %u frames", device.key.c_str(), node->output->describe().c_str(),
            node->channels, node->output->latencyFrames());
    graph.outputs.push_back(std::move(node));
}

// Under the router lock.
void Router::addCardNode(RouterGraph& graph, const core::CardSettings& settings) {
    auto owned = std::make_unique<CardNode>();
    CardNode& card = *owned;
    graph.cards.push_back(std::move(owned));
    card.id = settings.id;
    card.name = settings.name;
    card.members = settings.members;
    card.mono = settings.mono;

    auto& slot = ringSlots_[settings.id];
    if (!slot) slot = std::make_unique<RingSlot>();
    connectCard(card, *slot);

    // A member can play only on an open output that has its channel.
    // The graph being built is not yet graph_, so look in it.
    auto usableNode = [&graph](const core::CardMember& member) -> OutputNode* {
        OutputNode* node = nullptr;
        for (const auto& candidate : graph.outputs) {
            if (candidate->info.key == member.device) node = candidate.get();
        }
        if (node == nullptr || node->state != DeviceState::Open || member.channel >= node->channels) return nullptr;
        return node;
    };
    for (const core::CardMember& member : card.members) {
        card.primary = usableNode(member);
        if (card.primary != nullptr) break;
    }
    if (card.primary == nullptr) {
        card.problem = "sound card off or not connected";
        return;
    }
    OutputNode& primary = *card.primary;
    card.primaryRate = primary.rate;
    const std::uint64_t primaryPeriod = primary.output->periodFrames();
    card.period = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(1, (primaryPeriod * core::kRingRateHz + card.primaryRate - 1) / card.primaryRate));
    // Rings are never resized: one made for a shorter period holds too little for this one,
    // and every buffer would run dry. Withdrawn, it is opened again at the right size.
    const std::uint32_t needed = std::min(2 * card.period, core::ringSizing(card.period).targetFrames);
    if (slot->owner && slot->owner->targetFrames < needed) {
        logLine("card %s: ring withdrawn, its target of %u frames is short of the new period of %u frames",
                card.id.c_str(), slot->owner->targetFrames, card.period);
        closeRing(*slot, core::RingCloseReason::ByQova);
    }

    if (card.primaryRate != core::kRingRateHz) {
        const int error = core::makeCardConverter(card);
        if (error != 0) {
            card.problem = resamplerProblem(error);
            return;
        }
    }

    for (std::size_t i = 0; i < card.members.size(); ++i) {
        const core::CardMember& member = card.members[i];
        const TapSource source =
            card.members.size() == 1 ? TapSource::Mono : (i == 0 ? TapSource::Left : TapSource::Right);
        OutputNode* node = usableNode(member);
        if (node == &primary) {
            NearTap& tap = card.taps.emplace_back();
            tap.channel = member.channel;
            tap.source = source;
            tap.delay.setLength(delayFrames(card.primaryRate, member.delayMs));
        } else if (node == nullptr) {
            card.problem = i == 0 ? "left output unavailable" : "right output unavailable";
        } else {
            addFarLink(graph, card, *node, member, source);
        }
    }

    card.live = !card.taps.empty() || !card.farLinks.empty();
    if (card.live) primary.cards.push_back(&card);
}

// Under the router lock. False (with the card's problem set) when the converter cannot be made;
// the member then does not play.
bool Router::addFarLink(RouterGraph& graph, CardNode& card, OutputNode& farNode, const core::CardMember& member,
                        TapSource source) {
    const OutputNode& primary = *card.primary;
    const core::FarHalfPlan plan =
        core::planFarHalf(card.primaryRate, primary.output->periodFrames(), primary.output->latencyFrames(),
                          farNode.rate, farNode.output->periodFrames(), farNode.output->latencyFrames());

    auto link = std::make_unique<FarLink>();
    link->card = &card;
    link->farOutput = &farNode;
    link->channel = member.channel;
    link->source = source;
    // Whichever half reaches the air sooner waits for the other.
    const std::uint32_t farDelay = delayFrames(plan.farRateHz, std::max(-plan.mismatchMs, 0.0) + member.delayMs);
    std::optional<double> learned;
    if (const auto it = learnedOffsets_.find(clockPairKey(primary, farNode)); it != learnedOffsets_.end())
        learned = it->second;
    link->half = std::make_unique<core::FarHalf>(plan, farDelay, steadyClock, nullptr, learned);
    if (!link->half->valid()) {
        card.problem = resamplerProblem(link->half->error());
        return false;
    }
    if (plan.mismatchMs > 0.0) {
        link->nearExtraFrames = delayFrames(plan.primaryRateHz, plan.mismatchMs);
        for (NearTap& tap : card.taps) tap.delay.setLength(tap.delay.lengthFrames() + link->nearExtraFrames);
    }

    FarLink* raw = link.get();
    farNode.farLinks.push_back(raw);
    card.farLinks.push_back(raw);
    graph.farLinks.push_back(std::move(link));
    return true;
}

// --- lookups, under the router lock -------------------------------------------------------------

const DeviceInfo* Router::findDevice(std::string_view key) const {
    for (const DeviceInfo& device : devices_) {
        if (device.key == key) return &device;
    }
    return nullptr;
}

OutputNode* Router::findOutput(std::string_view key) const {
    if (!graph_) return nullptr;
    for (const auto& node : graph_->outputs) {
        if (node->info.key == key) return node.get();
    }
    return nullptr;
}

CardNode* Router::findCardNode(std::string_view id) const {
    if (!graph_) return nullptr;
    for (const auto& card : graph_->cards) {
        if (card->id == id) return card.get();
    }
    return nullptr;
}

RingSlot* Router::findSlot(std::string_view id) const {
    const auto it = ringSlots_.find(id);
    return it != ringSlots_.end() ? it->second.get() : nullptr;
}

}  // namespace win
