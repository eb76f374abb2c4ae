#include "core/render/Render.h"

// The render path. The only calls out are the card's ring reader (which wakes the player) and
// its clock; see Render.h for who may touch what.

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/ring/CardRingLayout.h"

namespace core {

void ConverterDeleter::operator()(SRC_STATE_tag* state) const {
    src_delete(state);
}

namespace {

// Render thread. The member's signal for this chunk, as the build chose its source.
void copySource(const RenderCard& card, TapSource source, float* destination, std::uint32_t frames) {
    if (source == TapSource::Mono) {
        std::memcpy(destination, card.monoMix.data(), std::size_t{frames} * sizeof(float));
        return;
    }
    const float* stereo = card.stereo.data() + (source == TapSource::Right ? 1 : 0);
    for (std::uint32_t f = 0; f < frames; ++f) destination[f] = stereo[2 * f];
}

// Render thread. Adds a mono signal into one channel of an interleaved chunk.
void addToChannel(const float* signal, float* chunk, std::uint32_t frames, std::uint32_t channels,
                  std::uint32_t channel) {
    float* out = chunk + channel;
    for (std::uint32_t f = 0; f < frames; ++f) out[std::size_t{f} * channels] += signal[f];
}

// Render thread. A one-member card's signal from its stereo frames; may work in place
// (mono == stereo), as f never passes 2f.
void foldToMono(MonoMode mode, const float* stereo, float* mono, std::uint32_t frames) {
    switch (mode) {
    case MonoMode::Left:
        for (std::uint32_t f = 0; f < frames; ++f) mono[f] = stereo[2 * f];
        break;
    case MonoMode::Right:
        for (std::uint32_t f = 0; f < frames; ++f) mono[f] = stereo[2 * f + 1];
        break;
    case MonoMode::Sum:
    default:
        for (std::uint32_t f = 0; f < frames; ++f) mono[f] = (stereo[2 * f] + stereo[2 * f + 1]) * 0.5f;
        break;
    }
}

// Render thread. Adds the member's signal for this chunk, as the build chose its source, into
// one channel of an interleaved chunk.
void addSource(const RenderCard& card, TapSource source, float* chunk, std::uint32_t frames, std::uint32_t channels,
               std::uint32_t channel) {
    if (source == TapSource::Mono) return addToChannel(card.monoMix.data(), chunk, frames, channels, channel);
    const float* stereo = card.stereo.data() + (source == TapSource::Right ? 1 : 0);
    float* out = chunk + channel;
    for (std::uint32_t f = 0; f < frames; ++f) out[std::size_t{f} * channels] += stereo[2 * f];
}

// Render thread. libsamplerate reports failure as a negative count.
std::uint32_t deliveredFrames(long got, std::uint32_t asked) {
    if (got <= 0) return 0;
    return static_cast<std::uint32_t>(std::min<long>(got, asked));
}

// Render thread.
void addTones(RenderOutput& node, float* chunk, std::uint32_t frames, std::uint32_t channels) {
    for (std::uint32_t c = 0; c < channels; ++c) {
        // Relaxed: nothing else is published with the flag.
        if (!node.tones[c].load(std::memory_order_relaxed)) continue;
        Oscillator& oscillator = node.oscillators[c];
        float* out = chunk + c;
        for (std::uint32_t f = 0; f < frames; ++f) {
            out[std::size_t{f} * channels] += static_cast<float>(std::sin(oscillator.phase) * kToneAmplitude);
            oscillator.phase += oscillator.step;
            if (oscillator.phase >= kTwoPi) oscillator.phase -= kTwoPi;
        }
    }
}

// Render thread. Peaks only rise here; the status view takes them with an exchange against 0,
// and a lost race just leaves the higher of the two.
void raisePeaks(RenderOutput& node, const float* samples, std::uint32_t frames, std::uint32_t channels) {
    // One pass over the interleaved buffer in rows of whole frames at least 16 samples wide,
    // each row's samples against running maxima of the same width: contiguous, so it
    // vectorises, where a pass per channel would stride.
    constexpr std::uint32_t kRowSamples = 256;
    const std::uint32_t framesPerRow = std::max(1u, 16 / std::max(channels, 1u));
    const std::uint32_t width = framesPerRow * channels;
    if (width > kRowSamples) return;  // more channels than any output has
    float row[kRowSamples] = {};
    const std::uint32_t rows = frames / framesPerRow;
    for (std::uint32_t r = 0; r < rows; ++r) {
        const float* in = samples + std::size_t{r} * width;
        for (std::uint32_t i = 0; i < width; ++i) row[i] = std::max(row[i], std::fabs(in[i]));
    }
    const float* rest = samples + std::size_t{rows} * width;
    for (std::uint32_t i = 0; i < (frames - rows * framesPerRow) * channels; ++i)
        row[i] = std::max(row[i], std::fabs(rest[i]));

    for (std::uint32_t c = 0; c < channels; ++c) {
        float peak = 0.0f;
        for (std::uint32_t i = c; i < width; i += channels) peak = std::max(peak, row[i]);
        std::atomic<float>& stored = node.peaks[c];
        float seen = stored.load(std::memory_order_relaxed);
        while (peak > seen && !stored.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
        }
    }
}

}  // namespace

// Render thread. The buffer arrives silent; everything is added into it.
void renderOutput(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    auto& node = *static_cast<RenderOutput*>(context);
    // Every buffer was sized for the channel count the output reported at open.
    if (channels != node.channels) return;
    // Silence until the graph is armed; acquire pairs with the release store at the build's end.
    if (!node.armed->load(std::memory_order_acquire)) return;

    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t chunkFrames = std::min(kChunkFrames, frames - done);
        float* chunk = samples + std::size_t{done} * channels;
        for (RenderCard* card : node.cards) renderCard(*card, chunk, chunkFrames, channels);
        for (RenderFarLink* link : node.farLinks) renderFarLink(*link, chunk, chunkFrames, channels);
        addTones(node, chunk, chunkFrames, channels);
        done += chunkFrames;
    }

    if (node.observer != nullptr) node.observer(node.observerContext, node.key, samples, frames, channels);
    raisePeaks(node, samples, frames, channels);
    node.callbackCount.fetch_add(1, std::memory_order_relaxed);
}

// Render thread of the card's primary output.
void renderCard(RenderCard& card, float* chunk, std::uint32_t frames, std::uint32_t channels) {
    const bool mono = card.members.size() == 1;
    // Converted, a one-member card was folded to mono before its converter: one channel's work.
    float* converted = mono ? card.monoMix.data() : card.stereo.data();
    const std::uint32_t convertedChannels = mono ? 1 : 2;
    if (card.resampler) {
        const long read = src_callback_read(card.resampler.get(), card.ratio, frames, converted);
        const std::uint32_t got = deliveredFrames(read, frames);
        std::fill(converted + std::size_t{got} * convertedChannels, converted + std::size_t{frames} * convertedChannels,
                  0.0f);
    } else {
        card.readRing(card.ringContext, card.stereo.data(), frames);  // pads with silence itself
        if (mono) foldToMono(card.mono, card.stereo.data(), card.monoMix.data(), frames);
    }

    float* scratch = card.scratch.data();
    for (NearTap& tap : card.taps) {
        if (tap.delay.lengthFrames() == 0) {
            addSource(card, tap.source, chunk, frames, channels, tap.channel);  // no copy to delay
            continue;
        }
        copySource(card, tap.source, scratch, frames);
        tap.delay.process(scratch, frames);
        addToChannel(scratch, chunk, frames, channels, tap.channel);
    }

    if (card.farLinks.empty()) return;
    const std::int64_t clockNs = card.now();
    const std::int64_t now = chunkTimeNs(clockNs, card.lastPushNs, card.lastClockNs, card.lastChunkNs);
    card.lastPushNs = now;
    card.lastClockNs = clockNs;
    card.lastChunkNs = static_cast<std::int64_t>(frames * 1e9 / card.primaryRate);
    for (RenderFarLink* link : card.farLinks) {
        copySource(card, link->source, scratch, frames);
        link->half->push(scratch, frames, now);
    }
}

// Render thread of the link's far output.
void renderFarLink(RenderFarLink& link, float* chunk, std::uint32_t frames, std::uint32_t channels) {
    const float* played = nullptr;
    link.half->render(frames, played);
    addToChannel(played, chunk, frames, channels, link.channel);
}

// Inside src_callback_read on the card's primary output thread.
long pullCardStereo(void* data, float** samples) {
    auto& card = *static_cast<RenderCard*>(data);
    card.readRing(card.ringContext, card.pullBuffer.data(), kNearPullFrames);  // missing frames are silence
    *samples = card.pullBuffer.data();
    return kNearPullFrames;
}

// Inside src_callback_read on the card's primary output thread.
long pullCardMono(void* data, float** samples) {
    auto& card = *static_cast<RenderCard*>(data);
    card.readRing(card.ringContext, card.pullBuffer.data(), kNearPullFrames);
    foldToMono(card.mono, card.pullBuffer.data(), card.pullBuffer.data(), kNearPullFrames);
    *samples = card.pullBuffer.data();
    return kNearPullFrames;
}

// Build time.
int makeCardConverter(RenderCard& card) {
    const bool mono = card.members.size() == 1;
    int error = 0;
    card.resampler.reset(
        src_callback_new(mono ? pullCardMono : pullCardStereo, SRC_SINC_MEDIUM_QUALITY, mono ? 1 : 2, &error, &card));
    card.ratio = static_cast<double>(card.primaryRate) / kRingRateHz;
    return card.resampler ? 0 : error;
}

}  // namespace core
