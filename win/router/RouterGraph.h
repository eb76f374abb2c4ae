#pragma once

// The card graph: what each output's render callback plays. The router builds one graph per
// build, complete before any of its outputs starts, and destroys it as a whole only after
// every output has been closed; while outputs run nothing in it changes shape, which is why
// the render threads can walk it without a lock.
//
// Who touches what while outputs run:
//  - An output's render thread owns its node's oscillators, its cards (their converters and
//    buffers, their taps' delay lines) and the consuming side of its far links.
//  - The primary output's thread of a joined card is the producing side of that card's far
//    links: it pushes into their FIFOs and counts overflowFrames.
//  - Every other thread reads only the atomics: peaks, tones, callbackCount and the far
//    links' figures. All of them are relaxed: each is a figure on its own, and nothing else
//    is published with it.
//
// Index: AlignedFloats, Converter, DeviceState, BufferObserver, NearTap, FarLink, CardNode,
// OutputNode, RouterGraph, then the render entry points (RouterRender.cpp).

#include <samplerate.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings/Settings.h"
#include "core/signal/DelayLine.h"
#include "core/signal/DriftController.h"
#include "core/signal/FrameFifo.h"
#include "win/devices/DeviceScan.h"
#include "win/devices/Output.h"
#include "win/ring/CardRing.h"

namespace win {

// Render work is done in chunks of at most this many frames, so every buffer can be made at
// build time.
inline constexpr std::uint32_t kChunkFrames = 1024;
// What the near converter pulls from the ring at a time, and the far converter from its FIFO.
inline constexpr std::uint32_t kNearPullFrames = 256;
inline constexpr std::uint32_t kFarPullFrames = 32;
inline constexpr double kToneAmplitude = 0.125;
inline constexpr double kTonePhaseStepTimesRate = 2764.601535159018;  // 2 pi x 440 Hz
inline constexpr double kTwoPi = 6.283185307179586;

// A zeroed float buffer on a 32-byte boundary, so the loops over it vectorise cleanly.
class AlignedFloats {
public:
    AlignedFloats() = default;
    explicit AlignedFloats(std::size_t count)
        : data_(static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t{32}))), size_(count) {
        for (std::size_t i = 0; i < count; ++i) data_[i] = 0.0f;
    }
    AlignedFloats(AlignedFloats&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    AlignedFloats& operator=(AlignedFloats&& other) noexcept {
        if (this != &other) {
            release();
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;
    ~AlignedFloats() { release(); }

    float* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void release() {
        if (data_ != nullptr) ::operator delete[](data_, std::align_val_t{32});
        data_ = nullptr;
    }
    float* data_ = nullptr;
    std::size_t size_ = 0;
};

struct ConverterDeleter {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};
// A libsamplerate converter on the callback interface; it pulls its input through the
// function and data given to src_callback_new.
using Converter = std::unique_ptr<SRC_STATE, ConverterDeleter>;

// A sound card's state. The graph's output nodes are Open, Missing or Failed; Off is only
// the status of a card the settings leave off (or do not name), which has no node.
enum class DeviceState : std::uint8_t {
    Off = 0,
    Open = 1,
    Missing = 2,  // the key is not in the device list
    Failed = 3,   // open or start failed
};

// Called on the output's render thread after each rendered buffer: no locks, no allocation.
// deviceKey stays valid only for the call.
using BufferObserver = void (*)(void* context, std::string_view deviceKey, const float* samples, std::uint32_t frames,
                                std::uint32_t channels);

enum class TapSource : std::uint8_t {
    Left = 0,
    Right = 1,
    Mono = 2,  // the mono mix of a one-member card
};

struct OutputNode;
struct CardNode;

// A member on the card's primary output.
struct NearTap {
    std::uint32_t channel = 0;
    TapSource source = TapSource::Left;
    core::DelayLine delay;
};

// The far half of a card whose members sit on two sound cards: the primary output's thread
// pushes the member's signal into the FIFO; the far output's thread pulls it through a
// drift-corrected converter at its own rate and clock.
struct FarLink {
    CardNode* card = nullptr;
    OutputNode* farOutput = nullptr;
    std::uint32_t channel = 0;
    TapSource source = TapSource::Right;
    std::unique_ptr<core::FrameFifo> fifo;  // mono frames at the card's primaryRate
    Converter converter;              // mono, pulls from the FIFO
    double baseRatio = 1.0;           // far rate / primaryRate
    core::DriftController controller;
    core::DelayLine delay;
    double fifoTarget = 0.0;  // frames
    double margin = 0.0;      // frames above fifoTarget before the far half starts

    // The far output's thread only.
    bool started = false;
    bool underflow = false;  // set by the mono pull, seen after the converter returns
    std::int64_t lastTimeNs = 0;
    std::int64_t lastChunkNs = 0;  // how long the last chunk plays at the far rate
    // What the converter took from the FIFO and what its output has used of that since the
    // last start, in FIFO frames. Their difference is the input it holds: the pull blocks'
    // remainder plus its filter's look-ahead, which the far half plays that much later.
    std::uint64_t pulledFrames = 0;
    double consumedFrames = 0.0;
    AlignedFloats pull{kFarPullFrames};
    AlignedFloats work{kChunkFrames};

    // Written by the far output's thread, read by the status view and the health monitor.
    std::atomic<std::uint32_t> starts{0};
    std::atomic<std::uint32_t> trimmed{0};  // frames dropped at the last start
    std::atomic<float> lastFactor{1.0f};
    std::atomic<std::uint64_t> underrunFrames{0};
    // The fields the primary output's thread changes, on a line of their own. pushedFrames
    // is the size of its last push, stored (relaxed) after the push; nothing is published
    // with it, and a read that races a push is off by one block for one chunk, which the
    // controller's filter absorbs.
    alignas(64) std::atomic<std::uint64_t> overflowFrames{0};
    std::atomic<std::uint32_t> pushedFrames{0};

    // The health monitor's, under the router lock.
    alignas(64) std::uint32_t reportedStarts = 0;
};

struct CardNode {
    std::string id;
    std::string name;
    std::vector<core::CardMember> members;
    core::MonoMode mono = core::MonoMode::Sum;
    RingSlot* slot = nullptr;        // in the router's ring slots, which outlive the graph
    OutputNode* primary = nullptr;   // none when no member's sound card is usable
    std::uint32_t primaryRate = 0;
    bool live = false;  // has a tap or a far link; only live cards are rendered and opened
    std::string problem;
    Converter resampler;  // stereo, 48 kHz to primaryRate; none at 48 kHz
    double ratio = 1.0;   // primaryRate / 48000
    std::uint32_t period = 0;  // the primary output's period in 48 kHz frames

    AlignedFloats pullBuffer{std::size_t{kNearPullFrames} * 2};
    AlignedFloats stereo{std::size_t{kChunkFrames} * 2};
    AlignedFloats monoMix{kChunkFrames};
    AlignedFloats scratch{kChunkFrames};

    std::vector<NearTap> taps;
    std::vector<FarLink*> farLinks;  // owned by the graph

    // The primary output's thread only: when the last chunk was pushed to the far links and
    // how long it plays.
    std::int64_t lastPushNs = 0;
    std::int64_t lastChunkNs = 0;
};

struct Oscillator {
    double phase = 0.0;  // radians
    double step = 0.0;   // radians per frame
};

struct OutputNode {
    DeviceInfo info;
    core::DeviceSettings config;
    std::unique_ptr<Output> output;
    DeviceState state = DeviceState::Missing;
    std::string problem;
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::vector<CardNode*> cards;    // whose primary output this is, rendered first
    std::vector<FarLink*> farLinks;  // far halves played here, rendered after the cards

    // One entry per channel, made when the output opens.
    std::unique_ptr<std::atomic<float>[]> peaks;  // raised here, taken by the status view
    std::unique_ptr<std::atomic<bool>[]> tones;   // set by the UI thread
    std::vector<Oscillator> oscillators;          // the render thread's
    std::atomic<std::uint64_t> callbackCount{0};
    BufferObserver observer = nullptr;
    void* observerContext = nullptr;
};

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

    std::vector<std::unique_ptr<OutputNode>> outputs;  // settings' device order
    std::vector<std::unique_ptr<CardNode>> cards;      // settings' card order
    std::vector<std::unique_ptr<FarLink>> farLinks;
};

// Render thread: no locks, no allocation, no logging. The RenderFunction handed to each
// output, with its OutputNode as the context.
void renderOutput(void* context, float* samples, std::uint32_t frames, std::uint32_t channels);

// Render thread of the card's primary output; frames <= kChunkFrames; chunk is interleaved
// with `channels` samples per frame.
void renderCard(CardNode& card, float* chunk, std::uint32_t frames, std::uint32_t channels);

// Render thread of the link's far output; frames <= kChunkFrames.
void renderFarLink(FarLink& link, float* chunk, std::uint32_t frames, std::uint32_t channels);

// libsamplerate's input callbacks (src_callback_new): the card's stereo pull from its ring
// (data is the CardNode) and the far link's mono pull from its FIFO (data is the FarLink).
long pullCardStereo(void* data, float** samples);
long pullFarMono(void* data, float** samples);

// The process's monotonic clock in nanoseconds. Any thread.
std::int64_t steadyNowNs();

// Render thread. The time a chunk of an output's stream stands for: the clock reading, except
// that a chunk following the previous one closer than an eighth of that one's length (several calls
// for one device period, made at one instant, or one call cut into chunks) is placed where the
// previous one ends. Only such bursts are spread out, so a clock that runs off its nominal
// rate is still followed.
std::int64_t chunkTimeNs(std::int64_t nowNs, std::int64_t lastNs, std::int64_t lastChunkNs);

}  // namespace win
