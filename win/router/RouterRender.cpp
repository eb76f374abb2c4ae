// The render path: what each output's real-time thread runs once per device buffer.
//
// Every function here runs on a render thread (or inside libsamplerate, called from one) and
// therefore takes no lock, allocates nothing and logs nothing: every buffer was made by the
// build, work goes in chunks of at most kChunkFrames, and the only system calls are the
// steady clock and the ring's SetEvent (inside readRing).

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "win/router/RouterGraph.h"

namespace win {

namespace {

// Read once at start-up; the counter's frequency is fixed at boot.
const std::int64_t kCounterFrequency = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}();

// Render thread. The member's signal for this chunk, as the build chose its source.
void copySource(const CardNode& card, TapSource source, float* destination, std::uint32_t frames) {
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

// Render thread. libsamplerate reports failure as a negative count.
std::uint32_t deliveredFrames(long got, std::uint32_t asked) {
    if (got <= 0) return 0;
    return static_cast<std::uint32_t>(std::min<long>(got, asked));
}

// Render thread.
void addTones(OutputNode& node, float* chunk, std::uint32_t frames, std::uint32_t channels) {
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
void raisePeaks(OutputNode& node, const float* samples, std::uint32_t frames, std::uint32_t channels) {
    for (std::uint32_t c = 0; c < channels; ++c) {
        float peak = 0.0f;
        const float* in = samples + c;
        for (std::uint32_t f = 0; f < frames; ++f) peak = std::max(peak, std::fabs(in[std::size_t{f} * channels]));
        std::atomic<float>& stored = node.peaks[c];
        float seen = stored.load(std::memory_order_relaxed);
        while (peak > seen && !stored.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
        }
    }
}

}  // namespace

// Any thread.
std::int64_t steadyNowNs() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::int64_t seconds = counter.QuadPart / kCounterFrequency;
    const std::int64_t rest = counter.QuadPart % kCounterFrequency;
    return seconds * 1000000000 + rest * 1000000000 / kCounterFrequency;
}

// Render thread.
std::int64_t chunkTimeNs(std::int64_t nowNs, std::int64_t lastNs, std::int64_t lastChunkNs) {
    if (lastNs == 0) return nowNs;
    const std::int64_t due = lastNs + lastChunkNs;
    return nowNs - lastNs < lastChunkNs / 8 ? std::max(nowNs, due) : nowNs;
}

// Render thread. The buffer arrives silent; everything is added into it.
void renderOutput(void* context, float* samples, std::uint32_t frames, std::uint32_t channels) {
    auto& node = *static_cast<OutputNode*>(context);
    // Every buffer was sized for the channel count the output reported at open.
    if (channels != node.channels) return;

    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t chunkFrames = std::min(kChunkFrames, frames - done);
        float* chunk = samples + std::size_t{done} * channels;
        for (CardNode* card : node.cards) renderCard(*card, chunk, chunkFrames, channels);
        for (FarLink* link : node.farLinks) renderFarLink(*link, chunk, chunkFrames, channels);
        addTones(node, chunk, chunkFrames, channels);
        done += chunkFrames;
    }

    if (node.observer != nullptr) node.observer(node.observerContext, node.info.key, samples, frames, channels);
    raisePeaks(node, samples, frames, channels);
    node.callbackCount.fetch_add(1, std::memory_order_relaxed);
}

// Render thread of the card's primary output.
void renderCard(CardNode& card, float* chunk, std::uint32_t frames, std::uint32_t channels) {
    float* stereo = card.stereo.data();
    if (card.resampler) {
        const long read = src_callback_read(card.resampler.get(), card.ratio, frames, stereo);
        const std::uint32_t got = deliveredFrames(read, frames);
        std::fill(stereo + std::size_t{got} * 2, stereo + std::size_t{frames} * 2, 0.0f);
    } else {
        readRing(*card.slot, stereo, frames);  // pads with silence itself
    }

    if (card.members.size() == 1) {
        float* mono = card.monoMix.data();
        switch (card.mono) {
        case core::MonoMode::Left:
            for (std::uint32_t f = 0; f < frames; ++f) mono[f] = stereo[2 * f];
            break;
        case core::MonoMode::Right:
            for (std::uint32_t f = 0; f < frames; ++f) mono[f] = stereo[2 * f + 1];
            break;
        case core::MonoMode::Sum:
        default:
            for (std::uint32_t f = 0; f < frames; ++f) mono[f] = (stereo[2 * f] + stereo[2 * f + 1]) * 0.5f;
            break;
        }
    }

    float* scratch = card.scratch.data();
    for (NearTap& tap : card.taps) {
        copySource(card, tap.source, scratch, frames);
        tap.delay.process(scratch, frames);
        addToChannel(scratch, chunk, frames, channels, tap.channel);
    }

    if (card.farLinks.empty()) return;
    const std::int64_t now = chunkTimeNs(steadyNowNs(), card.lastPushNs, card.lastChunkNs);
    card.lastPushNs = now;
    card.lastChunkNs = static_cast<std::int64_t>(frames * 1e9 / card.primaryRate);
    for (FarLink* link : card.farLinks) {
        copySource(card, link->source, scratch, frames);
        const std::uint32_t stored = link->fifo->push(scratch, frames, now);
        link->pushedFrames.store(frames, std::memory_order_relaxed);
        if (stored < frames) link->overflowFrames.fetch_add(frames - stored, std::memory_order_relaxed);
    }
}

// Render thread of the link's far output.
void renderFarLink(FarLink& link, float* chunk, std::uint32_t frames, std::uint32_t channels) {
    const double primaryRate = link.card->primaryRate;
    const std::int64_t clockNs = steadyNowNs();
    // Also kept while unstarted: a start inside a burst must measure at its own place in it.
    const std::int64_t now = chunkTimeNs(clockNs, link.lastTimeNs, link.lastChunkNs);
    const std::int64_t previousNs = link.lastTimeNs;
    link.lastTimeNs = now;
    link.lastChunkNs = static_cast<std::int64_t>(frames * 1e9 / link.farOutput->rate);
    // The FIFO's smooth level counts the primary's last block as arrived the moment it is
    // pushed, while that block only starts to play then; without the block the level is
    // what lies between the two halves at the air, which is what the delays were set for.
    auto level = [&](std::int64_t atNs) {
        return link.fifo->fillEstimate(atNs, primaryRate) -
               static_cast<double>(link.pushedFrames.load(std::memory_order_relaxed));
    };
    // The frame that plays next lies behind the FIFO's head by what the converter holds, so
    // the distance between the halves is the FIFO's level plus that.
    auto held = [&] { return static_cast<double>(link.pulledFrames) - link.consumedFrames; };
    double fill = level(now);
    double dtSeconds = 0.0;
    bool justStarted = false;
    if (!link.started) {
        // Silent until the FIFO holds enough to ride out both sides' block sizes.
        if (fill < link.fifoTarget + link.margin) return;
        link.started = true;
        link.controller.reset();
        // Whatever the converter kept from before an underrun is stale; from a fresh state
        // its hold is counted exactly.
        src_reset(link.converter.get());
        link.pulledFrames = 0;
        link.consumedFrames = 0.0;
        fill = link.fifoTarget;
        justStarted = true;
    } else {
        fill += held();
        dtSeconds = static_cast<double>(now - previousNs) * 1e-9;
    }
    const double factor = link.controller.update(fill, dtSeconds);
    link.lastFactor.store(static_cast<float>(factor), std::memory_order_relaxed);

    const double ratio = factor * link.baseRatio;
    float* work = link.work.data();
    const std::uint32_t got = deliveredFrames(src_callback_read(link.converter.get(), ratio, frames, work), frames);
    std::fill(work + got, work + frames, 0.0f);
    link.consumedFrames += got / ratio;

    if (justStarted) {
        // Cut the FIFO so that the next chunk starts at the target distance, so that both
        // halves line up from the next chunk on; this first chunk is played as silence.
        const double fillNow = level(now + (steadyNowNs() - clockNs)) + held();
        const double drop = fillNow - (link.fifoTarget - frames / ratio);
        std::uint32_t dropFrames = 0;
        if (drop >= 1.0) {
            dropFrames = drop >= 4294967295.0 ? std::numeric_limits<std::uint32_t>::max()
                                              : static_cast<std::uint32_t>(drop);
        }
        link.trimmed.store(link.fifo->discard(dropFrames), std::memory_order_relaxed);
        link.starts.fetch_add(1, std::memory_order_relaxed);
        std::fill(work, work + frames, 0.0f);
    }

    if (link.underflow) {
        // Prime again from the next chunk on.
        link.started = false;
        link.underflow = false;
    }

    link.delay.process(work, frames);
    addToChannel(work, chunk, frames, channels, link.channel);
}

// Inside src_callback_read on the card's primary output thread.
long pullCardStereo(void* data, float** samples) {
    auto& card = *static_cast<CardNode*>(data);
    readRing(*card.slot, card.pullBuffer.data(), kNearPullFrames);  // missing frames are silence
    *samples = card.pullBuffer.data();
    return kNearPullFrames;
}

// Inside src_callback_read on the far output's thread.
long pullFarMono(void* data, float** samples) {
    auto& link = *static_cast<FarLink*>(data);
    float* pull = link.pull.data();
    const std::uint32_t got = link.fifo->pop(pull, kFarPullFrames);
    link.pulledFrames += kFarPullFrames;
    if (got < kFarPullFrames) {
        std::fill(pull + got, pull + kFarPullFrames, 0.0f);
        link.underrunFrames.fetch_add(kFarPullFrames - got, std::memory_order_relaxed);
        link.underflow = true;
    }
    *samples = pull;
    return kFarPullFrames;
}

}  // namespace win
