// What the render path costs: graphs built by hand as the router builds them, rendered
// directly on this thread as fast as they go, with real card rings kept full between calls
// (the player's writing is not counted). Each case is printed beside the cost of
// libsamplerate alone converting the same audio through the same interface.
//
// Run under Wine like the tests: render_bench.exe [seconds per case, default 2].

#include <windows.h>

#include <samplerate.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "win/ring/CardRing.h"
#include "win/router/RouterGraph.h"

namespace {

using namespace win;
using Clock = std::chrono::steady_clock;

std::uint64_t gRingNumber = 0;

struct BenchRing {
    RingSlot slot;
    bool ok = false;
    std::uint64_t written = 0;

    explicit BenchRing(std::uint32_t periodFrames) {
        RingRequest request;
        request.namePrefix = "Local\\qova-bench";
        request.ringNumber = ++gRingNumber;
        request.cardId = "0000beef";
        request.periodFrames = periodFrames;
        request.clientId = 1;
        request.clientName = "bench";
        CreatedRing created;
        ok = createRing(slot, request, created).empty();
    }

    // Tops the ring up to half its size with a 1 kHz sine, as a player would.
    void feed() {
        CardRing& ring = *slot.owner;
        auto* samples = reinterpret_cast<float*>(reinterpret_cast<std::uint8_t*>(ring.header) + core::kRingHeaderBytes);
        const std::uint64_t readPos = ring.header->readPos.load(std::memory_order_acquire);
        const std::uint32_t capacity = ring.capacityFrames;
        while (written - readPos < capacity / 2) {
            const auto index = static_cast<std::size_t>(written & (capacity - 1));
            const double t = static_cast<double>(written) / 48000.0;
            const auto v = static_cast<float>(0.5 * std::sin(6.283185307179586 * 1000.0 * t));
            samples[2 * index] = v;
            samples[2 * index + 1] = v;
            ++written;
        }
        ring.header->writePos.store(written, std::memory_order_release);
    }
};

std::unique_ptr<OutputNode> makeNode(std::uint32_t channels, std::uint32_t rate) {
    auto node = std::make_unique<OutputNode>();
    node->channels = channels;
    node->rate = rate;
    node->state = DeviceState::Open;
    node->peaks = std::make_unique<std::atomic<float>[]>(channels);
    node->tones = std::make_unique<std::atomic<bool>[]>(channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
        node->peaks[c].store(0.0f);
        node->tones[c].store(false);
    }
    node->oscillators.assign(channels, Oscillator{0.0, kTonePhaseStepTimesRate / rate});
    return node;
}

std::unique_ptr<CardNode> makeCard(RingSlot& slot, std::size_t members, std::uint32_t primaryRate) {
    auto card = std::make_unique<CardNode>();
    card->slot = &slot;
    card->members.resize(members);
    card->primaryRate = primaryRate;
    if (primaryRate != 48000) {
        int error = 0;
        card->resampler.reset(src_callback_new(pullCardStereo, SRC_SINC_MEDIUM_QUALITY, 2, &error, card.get()));
        if (!card->resampler) {
            std::fprintf(stderr, "resampler: %s\n", src_strerror(error));
            std::exit(1);
        }
        card->ratio = primaryRate / 48000.0;
    }
    return card;
}

struct Figures {
    double nsPerFrame = 0.0;
    double realTime = 0.0;  // seconds of audio per second of work
};

// Renders `frames` per call on each node in turn until `seconds` of work are done; figures
// are per frame of the first node.
Figures run(const std::vector<OutputNode*>& nodes, const std::vector<std::uint32_t>& framesPerCall,
            const std::vector<BenchRing*>& rings, double seconds) {
    std::vector<std::vector<float>> buffers;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        buffers.emplace_back(std::size_t{framesPerCall[i]} * nodes[i]->channels);
    }
    Clock::duration spent{};
    std::uint64_t frames = 0;
    while (std::chrono::duration<double>(spent).count() < seconds) {
        for (BenchRing* ring : rings) ring->feed();
        const auto start = Clock::now();
        for (int repeat = 0; repeat < 8; ++repeat) {
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                std::fill(buffers[i].begin(), buffers[i].end(), 0.0f);
                renderOutput(nodes[i], buffers[i].data(), framesPerCall[i], nodes[i]->channels);
            }
        }
        spent += Clock::now() - start;
        frames += 8 * framesPerCall[0];
    }
    const double ns = std::chrono::duration<double, std::nano>(spent).count();
    return {ns / static_cast<double>(frames), static_cast<double>(frames) / nodes[0]->rate / (ns * 1e-9)};
}

struct Input {
    std::vector<float> samples;
    std::size_t position = 0;
    int channels = 2;
    static long pull(void* data, float** out) {
        auto* self = static_cast<Input*>(data);
        const std::size_t frames = 256;
        if (self->position + frames * self->channels > self->samples.size()) self->position = 0;
        *out = self->samples.data() + self->position;
        self->position += frames * self->channels;
        return static_cast<long>(frames);
    }
};

// libsamplerate alone: `converters` converters of the given kind turning 48 kHz audio into
// `outRate`, read `frames` at a time like the render path does; ns per output frame.
double converterOnly(int converters, int type, int channels, double outRate, std::uint32_t frames, double seconds) {
    std::vector<Input> inputs(converters);
    std::vector<SRC_STATE*> states;
    for (Input& input : inputs) {
        input.channels = channels;
        input.samples.resize(48000 * channels);
        for (std::size_t i = 0; i < input.samples.size(); ++i)
            input.samples[i] =
                static_cast<float>(0.5 * std::sin(6.283185307179586 * 1000.0 * (i / channels) / 48000.0));
        int error = 0;
        states.push_back(src_callback_new(Input::pull, type, channels, &error, &input));
    }
    std::vector<float> out(std::size_t{frames} * channels);
    Clock::duration spent{};
    std::uint64_t produced = 0;
    const double ratio = outRate / 48000.0;
    while (std::chrono::duration<double>(spent).count() < seconds) {
        const auto start = Clock::now();
        for (int repeat = 0; repeat < 8; ++repeat) {
            for (SRC_STATE* state : states) src_callback_read(state, ratio, frames, out.data());
        }
        spent += Clock::now() - start;
        produced += 8 * frames;
    }
    for (SRC_STATE* state : states) src_delete(state);
    return std::chrono::duration<double, std::nano>(spent).count() / static_cast<double>(produced);
}

void print(const char* name, const Figures& figures, double converterNs) {
    std::printf("%-52s %9.1f ns/frame  %8.0fx real time", name, figures.nsPerFrame, figures.realTime);
    if (converterNs > 0.0) std::printf("   libsamplerate alone %9.1f ns/frame", converterNs);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;

    {  // (a) one stereo card straight through at 48000 Hz
        BenchRing ring(480);
        if (!ring.ok) return 1;
        auto node = makeNode(2, 48000);
        auto card = makeCard(ring.slot, 2, 48000);
        card->taps.push_back(NearTap{0, TapSource::Left, core::DelayLine{}});
        card->taps.push_back(NearTap{1, TapSource::Right, core::DelayLine{}});
        node->cards = {card.get()};
        print("(a) stereo card, 48000 Hz, 480-frame buffers", run({node.get()}, {480}, {&ring}, seconds), 0.0);
    }

    {  // (b) eight mono cards on one 8-channel device at 44100 Hz
        std::vector<std::unique_ptr<BenchRing>> rings;
        std::vector<BenchRing*> ringPointers;
        std::vector<std::unique_ptr<CardNode>> cards;
        auto node = makeNode(8, 44100);
        for (std::uint32_t c = 0; c < 8; ++c) {
            rings.push_back(std::make_unique<BenchRing>(480));
            if (!rings.back()->ok) return 1;
            ringPointers.push_back(rings.back().get());
            cards.push_back(makeCard(rings.back()->slot, 1, 44100));
            cards.back()->taps.push_back(NearTap{c, TapSource::Mono, core::DelayLine{}});
            node->cards.push_back(cards.back().get());
        }
        print("(b) 8 mono cards, 8 ch at 44100 Hz, 441-frame buffers", run({node.get()}, {441}, ringPointers, seconds),
              converterOnly(8, SRC_SINC_MEDIUM_QUALITY, 2, 44100.0, 441, seconds));
    }

    {  // (c) one card joined across 48000 Hz (left) and 44100 Hz (right)
        BenchRing ring(480);
        if (!ring.ok) return 1;
        auto nearNode = makeNode(2, 48000);
        auto farNode = makeNode(2, 44100);
        auto card = makeCard(ring.slot, 2, 48000);
        card->primary = nearNode.get();
        card->taps.push_back(NearTap{0, TapSource::Left, core::DelayLine{}});
        FarLink link;
        link.card = card.get();
        link.farOutput = farNode.get();
        link.channel = 1;
        link.source = TapSource::Right;
        link.fifoTarget = 480 * 3 + 512;
        link.margin = 64.0 / (44100.0 / 48000.0) + 64.0;
        link.fifo = std::make_unique<core::FrameFifo>(16384);
        link.baseRatio = 44100.0 / 48000.0;
        link.controller = core::DriftController(link.fifoTarget);
        int error = 0;
        link.converter.reset(src_callback_new(pullFarMono, SRC_SINC_FASTEST, 1, &error, &link));
        card->farLinks = {&link};
        nearNode->cards = {card.get()};
        farNode->farLinks = {&link};
        // Both devices' buffers per round, 10 ms each: per frame of the near device.
        print("(c) joined card, 48000 + 44100 Hz, 10 ms buffers",
              run({nearNode.get(), farNode.get()}, {480, 441}, {&ring}, seconds),
              converterOnly(1, SRC_SINC_FASTEST, 1, 44100.0, 441, seconds) * 441.0 / 480.0);
        std::printf("    far half: %u start(s), %llu frames missing, %llu frames over\n", link.starts.load(),
                    static_cast<unsigned long long>(link.underrunFrames.load()),
                    static_cast<unsigned long long>(link.overflowFrames.load()));
    }
    return 0;
}
