#pragma once

// The render path: what each output's real-time thread runs once per device buffer, on the
// pieces of the card graph it reads. The router builds these pieces (as parts of its own graph
// nodes) and hands renderOutput to each output; benchmarks and tests build them by hand. The
// only calls out are the card's ring reader and clock, both set by whoever builds the card.
//
// Who touches what while outputs run:
//  - An output's render thread owns its output's oscillators, its cards (their converters and
//    buffers, their taps' delay lines) and the consuming side of its far links.
//  - The primary output's thread of a joined card is the producing side of that card's far
//    links (FarHalf::push).
//  - Every other thread reads only the atomics: peaks, tones, callbackCount and the far
//    links' figures. All of them are relaxed: each is a figure on its own, and nothing else
//    is published with it.
//
// Every function here runs on a render thread (or inside libsamplerate, called from one) and
// therefore takes no lock, allocates nothing and logs nothing: every buffer was made at build
// time, and work goes in chunks of at most kChunkFrames.

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
#include "core/signal/FarHalf.h"

struct SRC_STATE_tag;  // libsamplerate's converter

namespace core {

// Render work is done in chunks of at most this many frames, so every buffer can be made at
// build time.
inline constexpr std::uint32_t kChunkFrames = 1024;
static_assert(kChunkFrames <= FarHalf::kMaxChunkFrames);
// What the near converter pulls from the ring at a time.
inline constexpr std::uint32_t kNearPullFrames = 256;
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
    void operator()(SRC_STATE_tag* state) const;
};
// A libsamplerate converter on the callback interface; it pulls its input through the
// function and data given to src_callback_new.
using Converter = std::unique_ptr<SRC_STATE_tag, ConverterDeleter>;

// Called on the output's render thread after each rendered buffer: no locks, no allocation.
// deviceKey stays valid only for the call.
using BufferObserver = void (*)(void* context, std::string_view deviceKey, const float* samples, std::uint32_t frames,
                                std::uint32_t channels);

// Render thread: fills destination (frames x 2 floats) with the next frames of the card's
// ring, silence for whatever the ring does not hold, and returns how many came from it.
using RingReader = std::uint32_t (*)(void* context, float* destination, std::uint32_t frames);

// The clock the far halves' chunks are stamped with, in nanoseconds.
using NowNs = std::int64_t (*)();

enum class TapSource : std::uint8_t {
    Left = 0,
    Right = 1,
    Mono = 2,  // the mono mix of a one-member card
};

// A member on the card's primary output.
struct NearTap {
    std::uint32_t channel = 0;
    TapSource source = TapSource::Left;
    DelayLine delay;
};

// The far half of a card whose members sit on two sound cards: the primary output's thread
// pushes the member's signal into it; the far output's thread plays it at its own rate and
// clock.
struct RenderFarLink {
    std::uint32_t channel = 0;
    TapSource source = TapSource::Right;
    std::unique_ptr<FarHalf> half;
};

// What the render path reads of a card.
struct RenderCard {
    std::vector<CardMember> members;  // one member makes a mono card
    MonoMode mono = MonoMode::Sum;
    RingReader readRing = nullptr;
    void* ringContext = nullptr;
    NowNs now = nullptr;  // needed once the card has far links
    std::uint32_t primaryRate = 0;
    // 48 kHz to primaryRate, none at 48 kHz: mono for a one-member card (its side or sum
    // taken before it), stereo otherwise.
    Converter resampler;
    double ratio = 1.0;  // primaryRate / 48000

    AlignedFloats pullBuffer{std::size_t{kNearPullFrames} * 2};
    AlignedFloats stereo{std::size_t{kChunkFrames} * 2};
    AlignedFloats monoMix{kChunkFrames};
    AlignedFloats scratch{kChunkFrames};

    std::vector<NearTap> taps;
    std::vector<RenderFarLink*> farLinks;  // owned by the graph

    // The primary output's thread only: when the last chunk was pushed to the far links and
    // how long it plays.
    std::int64_t lastPushNs = 0;
    std::int64_t lastClockNs = 0;  // the clock at the last push
    std::int64_t lastChunkNs = 0;
};

struct Oscillator {
    double phase = 0.0;  // radians
    double step = 0.0;   // radians per frame
};

// What the render path reads of an output.
struct RenderOutput {
    std::string key;  // the sound card's, for the observer
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::vector<RenderCard*> cards;        // whose primary output this is, rendered first
    std::vector<RenderFarLink*> farLinks;  // far halves played here, rendered after the cards

    // One entry per channel, made when the output opens.
    std::unique_ptr<std::atomic<float>[]> peaks;  // raised here, taken by the status view
    std::unique_ptr<std::atomic<bool>[]> tones;   // set by the UI thread
    std::vector<Oscillator> oscillators;          // the render thread's
    std::atomic<std::uint64_t> callbackCount{0};
    const std::atomic<bool>* armed = nullptr;  // silent until it holds true
    BufferObserver observer = nullptr;
    void* observerContext = nullptr;
};

// Render thread, with its RenderOutput as the context. The buffer arrives silent; everything
// is added into it.
void renderOutput(void* context, float* samples, std::uint32_t frames, std::uint32_t channels);

// Render thread of the card's primary output; frames <= kChunkFrames; chunk is interleaved
// with `channels` samples per frame.
void renderCard(RenderCard& card, float* chunk, std::uint32_t frames, std::uint32_t channels);

// Render thread of the link's far output; frames <= kChunkFrames.
void renderFarLink(RenderFarLink& link, float* chunk, std::uint32_t frames, std::uint32_t channels);

// Build time: card.resampler and card.ratio for a card whose primaryRate is not 48 kHz.
// 0, or libsamplerate's error number.
int makeCardConverter(RenderCard& card);

// libsamplerate's input callbacks (src_callback_new; data is the RenderCard): the card's pull
// from its ring, stereo, or folded to mono as the card's mono mode says.
long pullCardStereo(void* data, float** samples);
long pullCardMono(void* data, float** samples);

}  // namespace core
