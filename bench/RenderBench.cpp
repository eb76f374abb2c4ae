// What the render path costs: cards and outputs built by hand as the router builds them,
// rendered on this thread as fast as they go from rings kept full between calls (the player's
// writing is not counted). Each case is printed beside a plain copy-and-add of the same frames
// and beside libsamplerate alone doing the conversions the case needs.
//
// Built natively it runs the render path's own code on rings in ordinary memory whose wake-up
// is a counter: QOVA's own work. Built for Windows and run under Wine it reads real card rings,
// whose every read sets the player's event (a round trip to the Wine server there); that
// time is measured apart and printed beside the rest.
//
// Usage: render_bench [seconds per case, default 2]. The last line is for scripts:
//   render summary: passthrough-vs-copy=X mono8-vs-src-stereo8=X joined-vs-src=X

#include <samplerate.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/render/Render.h"
#include "core/ring/CardRingLayout.h"
#include "core/ring/RingRead.h"
#include "core/ring/RingSizing.h"

#ifdef _WIN32
#include <windows.h>

#include "win/ring/CardRing.h"
#include "win/router/RouterGraph.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using core::RenderCard;
using core::RenderOutput;

constexpr std::uint32_t kRingPeriod = 480;

// The graphs' time: advanced by one round's length after every round, so that the far half
// sees its two sides at their nominal rates however fast the bench renders.
std::int64_t gVirtualNs = 0;
std::int64_t virtualNow() {
    return gVirtualNs;
}

// A card ring fed with a 1 kHz sine, as a player would, and the card's reader of it.
class BenchRing {
public:
    BenchRing() {
#ifdef _WIN32
        static std::uint64_t ringNumber = 0;
        win::RingRequest request;
        request.namePrefix = "Local\\qova-bench";
        request.ringNumber = ++ringNumber;
        request.cardId = "0000beef";
        request.periodFrames = kRingPeriod;
        request.clientId = 1;
        request.clientName = "bench";
        win::CreatedRing created;
        if (!win::createRing(slot_, request, created).empty()) {
            std::fprintf(stderr, "cannot make a card ring\n");
            std::exit(1);
        }
        header_ = slot_.owner->header;
        samples_ = const_cast<float*>(slot_.owner->samples);
        capacity_ = slot_.owner->capacityFrames;
#else
        capacity_ = core::ringSizing(kRingPeriod).capacityFrames;
        memory_.resize(core::ringSectionBytes(capacity_) / sizeof(std::uint64_t) + 1);
        header_ = new (memory_.data()) core::RingHeader{};
        samples_ = reinterpret_cast<float*>(reinterpret_cast<std::uint8_t*>(memory_.data()) + core::kRingHeaderBytes);
#endif
    }

    void connect(RenderCard& card) {
#ifdef _WIN32
        card.readRing = win::readCardRing;
        card.ringContext = &slot_;
#else
        card.readRing = [](void* context, float* destination, std::uint32_t frames) {
            auto& self = *static_cast<BenchRing*>(context);
            const std::uint32_t taken =
                core::readRingFrames(*self.header_, self.samples_, self.capacity_, destination, frames);
            ++self.wakeUps_;  // the player's event in the product
            return taken;
        };
        card.ringContext = this;
#endif
        card.now = virtualNow;
    }

    // Tops the ring up to half its size.
    void feed() {
        const std::uint64_t readPos = header_->readPos.load(std::memory_order_acquire);
        while (written_ - readPos < capacity_ / 2) {
            const auto index = static_cast<std::size_t>(written_ & (capacity_ - 1));
            const auto v = static_cast<float>(0.5 * std::sin(6.283185307179586 * 1000.0 * written_ / 48000.0));
            samples_[2 * index] = v;
            samples_[2 * index + 1] = v;
            ++written_;
        }
        header_->writePos.store(written_, std::memory_order_release);
    }

    std::uint64_t reads() const {
        return header_->readCount.load();
    }

private:
#ifdef _WIN32
    win::RingSlot slot_;
#else
    std::vector<std::uint64_t> memory_;
    std::uint64_t wakeUps_ = 0;
#endif
    core::RingHeader* header_ = nullptr;
    float* samples_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint64_t written_ = 0;
};

// The graphs here are armed from the start.
const std::atomic<bool> gArmed{true};

std::unique_ptr<RenderOutput> makeOutput(std::uint32_t channels, std::uint32_t rate) {
    auto output = std::make_unique<RenderOutput>();
    output->armed = &gArmed;
    output->channels = channels;
    output->rate = rate;
    output->peaks = std::make_unique<std::atomic<float>[]>(channels);
    output->tones = std::make_unique<std::atomic<bool>[]>(channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
        output->peaks[c].store(0.0f);
        output->tones[c].store(false);
    }
    output->oscillators.assign(channels, core::Oscillator{0.0, core::kTonePhaseStepTimesRate / rate});
    return output;
}

// A case: outputs with their buffer sizes, cards with their rings.
struct Case {
    std::vector<std::unique_ptr<RenderOutput>> outputs;
    std::vector<std::uint32_t> framesPerCall;
    std::vector<std::unique_ptr<BenchRing>> rings;
    std::vector<std::unique_ptr<RenderCard>> cards;
    std::vector<std::unique_ptr<core::RenderFarLink>> links;

    // A card of `members` members (1: mono, folding both sides) on `output`, at its rate,
    // with taps on the given channels.
    RenderCard& addCard(RenderOutput& output, const std::vector<std::uint32_t>& channels) {
        rings.push_back(std::make_unique<BenchRing>());
        auto card = std::make_unique<RenderCard>();
        card->members.resize(channels.size() == 1 ? 1 : 2);
        card->primaryRate = output.rate;
        rings.back()->connect(*card);
        if (output.rate != core::kRingRateHz && core::makeCardConverter(*card) != 0) {
            std::fprintf(stderr, "cannot make a converter\n");
            std::exit(1);
        }
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const core::TapSource source = channels.size() == 1 ? core::TapSource::Mono
                                           : i == 0             ? core::TapSource::Left
                                                                : core::TapSource::Right;
            card->taps.push_back(core::NearTap{channels[i], source, core::DelayLine{}});
        }
        output.cards.push_back(card.get());
        cards.push_back(std::move(card));
        return *cards.back();
    }
};

// One output of `channels` at `rate`, rendered `frames` at a call, with a card on each group
// of channels (one channel: a mono card; two: a stereo card).
Case oneOutput(std::uint32_t channels, std::uint32_t rate, std::uint32_t frames, std::uint32_t channelsPerCard) {
    Case bench;
    bench.outputs.push_back(makeOutput(channels, rate));
    bench.framesPerCall = {frames};
    for (std::uint32_t c = 0; c < channels; c += channelsPerCard) {
        std::vector<std::uint32_t> cardChannels;
        for (std::uint32_t k = 0; k < channelsPerCard; ++k) cardChannels.push_back(c + k);
        bench.addCard(*bench.outputs[0], cardChannels);
    }
    return bench;
}

struct Figures {
    double nsPerFrame = 0.0;   // per frame of the first output
    double readsPerFrame = 0;  // ring reads (each sets the player's event in the product)
};

// Renders every output once per round, each its own buffer size, until `seconds` of work
// are done.
Figures run(Case& bench, double seconds) {
    std::vector<std::vector<float>> buffers;
    for (std::size_t i = 0; i < bench.outputs.size(); ++i)
        buffers.emplace_back(std::size_t{bench.framesPerCall[i]} * bench.outputs[i]->channels);
    auto reads = [&] {
        std::uint64_t count = 0;
        for (const auto& ring : bench.rings) count += ring->reads();
        return count;
    };
    const std::uint64_t readsBefore = reads();
    const auto roundNs = static_cast<std::int64_t>(1e9 * bench.framesPerCall[0] / bench.outputs[0]->rate);
    Clock::duration spent{};
    std::uint64_t frames = 0;
    while (std::chrono::duration<double>(spent).count() < seconds) {
        for (const auto& ring : bench.rings) ring->feed();
        const auto start = Clock::now();
        for (int repeat = 0; repeat < 8; ++repeat) {
            for (std::size_t i = 0; i < bench.outputs.size(); ++i) {
                std::fill(buffers[i].begin(), buffers[i].end(), 0.0f);
                core::renderOutput(bench.outputs[i].get(), buffers[i].data(), bench.framesPerCall[i],
                                   bench.outputs[i]->channels);
            }
            gVirtualNs += roundNs;
        }
        spent += Clock::now() - start;
        frames += 8 * bench.framesPerCall[0];
    }
    const double ns = std::chrono::duration<double, std::nano>(spent).count();
    // readCount wraps at 2^32; a few seconds here stay far below that.
    const auto readCount = static_cast<double>((reads() - readsBefore) & 0xFFFFFFFFu);
    return {ns / static_cast<double>(frames), readCount / static_cast<double>(frames)};
}

// A plain copy-and-add of the same frames: for every tap, its side of a stereo source added
// into its channel of an interleaved buffer of `frames` frames; ns per frame.
double copyAndAdd(std::uint32_t channels, const std::vector<std::uint32_t>& tapChannels, std::uint32_t frames,
                  double seconds) {
    std::vector<float> source(std::size_t{frames} * 2);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i % 97) * 0.01f;
    std::vector<float> out(std::size_t{frames} * channels);
    Clock::duration spent{};
    std::uint64_t done = 0;
    while (std::chrono::duration<double>(spent).count() < seconds) {
        const auto start = Clock::now();
        for (int repeat = 0; repeat < 64; ++repeat) {
            std::fill(out.begin(), out.end(), 0.0f);
            for (std::size_t t = 0; t < tapChannels.size(); ++t) {
                const float* in = source.data() + (t % 2);
                float* to = out.data() + tapChannels[t];
                for (std::uint32_t f = 0; f < frames; ++f) to[std::size_t{f} * channels] += in[2 * f];
            }
        }
        spent += Clock::now() - start;
        done += 64 * frames;
        // Keeps the work from being optimised away.
        if (out[0] == 12345.0f) std::printf(" ");
    }
    return std::chrono::duration<double, std::nano>(spent).count() / static_cast<double>(done);
}

// libsamplerate alone: `converters` converters of the given kind turning 48 kHz audio into
// `outRate`, read `frames` at a time like the render path does; ns per output frame.
double converterOnly(int converters, int type, int channels, double outRate, std::uint32_t frames, double seconds) {
    struct Input {
        std::vector<float> samples;
        std::size_t position = 0;
        int channels = 2;
        static long pull(void* data, float** out) {
            auto* self = static_cast<Input*>(data);
            const std::size_t pullFrames = core::kNearPullFrames;
            if (self->position + pullFrames * self->channels > self->samples.size()) self->position = 0;
            *out = self->samples.data() + self->position;
            self->position += pullFrames * self->channels;
            return static_cast<long>(pullFrames);
        }
    };
    std::vector<Input> inputs(converters);
    std::vector<SRC_STATE*> states;
    for (Input& input : inputs) {
        input.channels = channels;
        input.samples.resize(std::size_t{48000} * channels);
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

#ifdef _WIN32
// What one SetEvent costs here: under Wine a round trip to the Wine server, where Windows
// takes about a microsecond.
double setEventNs() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    constexpr int kCalls = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) SetEvent(event);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    CloseHandle(event);
    return ns / kCalls;
}
#else
double setEventNs() {
    return 0.0;  // the wake-up is a counter here
}
#endif

double gEventNs = 0.0;

void printCase(const char* name, const Figures& figures) {
    const double events = figures.readsPerFrame * gEventNs;
    std::printf("%-56s %9.1f ns/frame", name, figures.nsPerFrame);
    if (gEventNs > 0.0) std::printf("  (setting events %.1f, the rest %.1f)", events, figures.nsPerFrame - events);
    std::printf("\n");
}

void printBeside(const char* name, double ns, double caseNs) {
    std::printf("    %-52s %9.1f ns/frame   the case is %.2f times this\n", name, ns, caseNs / ns);
}

std::vector<std::uint32_t> channelRange(std::uint32_t count) {
    std::vector<std::uint32_t> channels(count);
    for (std::uint32_t c = 0; c < count; ++c) channels[c] = c;
    return channels;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    gEventNs = setEventNs();
#ifdef _WIN32
    std::printf("under Windows or Wine, on real card rings; SetEvent here: %.0f ns a call\n", gEventNs);
#else
    std::printf("native, rings in ordinary memory: QOVA's own work\n");
#endif

    double passthroughVsCopy = 0.0;
    {  // (a) one stereo card straight through at 48000 Hz
        Case bench = oneOutput(2, 48000, 480, 2);
        const Figures figures = run(bench, seconds);
        printCase("(a) stereo card, 48000 Hz, 480-frame buffers", figures);
        const double copy = copyAndAdd(2, {0, 1}, 480, seconds);
        printBeside("copy-and-add of the same frames", copy, figures.nsPerFrame);
        passthroughVsCopy = figures.nsPerFrame / copy;
    }

    double mono8VsStereo8 = 0.0;
    {  // (b) eight mono cards on one 8-channel device at 44100 Hz
        Case bench = oneOutput(8, 44100, 441, 1);
        const Figures figures = run(bench, seconds);
        printCase("(b) 8 mono cards, 8 ch at 44100 Hz, 441-frame buffers", figures);
        printBeside("copy-and-add of the same frames", copyAndAdd(8, channelRange(8), 441, seconds),
                    figures.nsPerFrame);
        printBeside("libsamplerate alone, 8 mono conversions",
                    converterOnly(8, SRC_SINC_MEDIUM_QUALITY, 1, 44100.0, 441, seconds), figures.nsPerFrame);
        const double stereo8 = converterOnly(8, SRC_SINC_MEDIUM_QUALITY, 2, 44100.0, 441, seconds);
        printBeside("libsamplerate alone, 8 stereo conversions", stereo8, figures.nsPerFrame);
        mono8VsStereo8 = figures.nsPerFrame / stereo8;
    }

    double joinedVsSrc = 0.0;
    {  // (c) one card joined across 48000 Hz (left) and 44100 Hz (right)
        Case bench;
        bench.outputs.push_back(makeOutput(2, 48000));
        bench.outputs.push_back(makeOutput(2, 44100));
        bench.framesPerCall = {480, 441};
        RenderCard& card = bench.addCard(*bench.outputs[0], {0});
        card.members.resize(2);  // a joined card: left near, right far
        card.taps[0].source = core::TapSource::Left;
        auto link = std::make_unique<core::RenderFarLink>();
        link->channel = 1;
        link->source = core::TapSource::Right;
        // As the router sizes it, with the clocks' offset known, so that it plays at once
        // rather than measuring the clocks first.
        link->half = std::make_unique<core::FarHalf>(
            core::planFarHalf(48000, 480, 0, 44100, 441, 0), 0, [](void*) { return gVirtualNs; }, nullptr, 0.0);
        card.farLinks = {link.get()};
        bench.outputs[1]->farLinks = {link.get()};
        bench.links.push_back(std::move(link));
        const Figures figures = run(bench, seconds);
        printCase("(c) joined card, 48000 + 44100 Hz, 10 ms buffers", figures);
        // Per frame of the near output: the far side's 441 frames per 480 near ones.
        const double farConversion = converterOnly(1, SRC_SINC_FASTEST, 1, 44100.0, 441, seconds) * 441.0 / 480.0;
        const double nearCopy = copyAndAdd(2, {0}, 480, seconds);
        printBeside("the far converter alone plus the near copy", farConversion + nearCopy, figures.nsPerFrame);
        joinedVsSrc = figures.nsPerFrame / (farConversion + nearCopy);
        const core::FarHalf::Figures& half = bench.links[0]->half->figures();
        std::printf("    far half: %u start(s), %llu frames missing, %llu frames over\n", half.starts.load(),
                    static_cast<unsigned long long>(half.underrunFrames.load()),
                    static_cast<unsigned long long>(half.overflowFrames.load()));
    }

    {  // (d) sixteen stereo cards on one 32-channel device at 44100 Hz
        Case bench = oneOutput(32, 44100, 441, 2);
        const Figures figures = run(bench, seconds);
        printCase("(d) 16 stereo cards, 32 ch at 44100 Hz, 441-frame buffers", figures);
        printBeside("copy-and-add of the same frames", copyAndAdd(32, channelRange(32), 441, seconds),
                    figures.nsPerFrame);
        printBeside("libsamplerate alone, 16 stereo conversions",
                    converterOnly(16, SRC_SINC_MEDIUM_QUALITY, 2, 44100.0, 441, seconds), figures.nsPerFrame);
    }

    {  // (e) sixty-four mono cards on one 64-channel device at 48000 Hz
        Case bench = oneOutput(64, 48000, 480, 1);
        const Figures figures = run(bench, seconds);
        printCase("(e) 64 mono cards, 64 ch at 48000 Hz, 480-frame buffers", figures);
        printBeside("copy-and-add of the same frames", copyAndAdd(64, channelRange(64), 480, seconds),
                    figures.nsPerFrame);
    }

    std::printf("render summary: passthrough-vs-copy=%.2f mono8-vs-src-stereo8=%.2f joined-vs-src=%.2f\n",
                passthroughVsCopy, mono8VsStereo8, joinedVsSrc);
    return 0;
}
