#include "tools/player/Playback.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ring/CardRingLayout.h"
#include "tools/player/PlayerConsole.h"
#include "tools/player/QovaConnection.h"
#include "tools/player/RingProducer.h"
#include "tools/player/SoundSources.h"

namespace player {

namespace {

constexpr DWORD kNeedWaitMs = 20;  // also how soon Ctrl+C and a withdrawal are noticed
constexpr ULONGLONG kStatusEveryMs = 200;
constexpr ULONGLONG kDrainSlackMs = 2000;  // past what the ring holds, before giving up waiting

std::atomic<bool> g_stopRequested{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    g_stopRequested = true;
    return TRUE;
}

enum class PlayEnd { Finished, Interrupted, Withdrawn };

// One open card being fed: the producer side of its ring and the sound that goes in.
class Playback {
public:
    Playback(tools::RingProducer& producer, SoundSource& source, std::uint64_t limitFrames)
        : producer_(producer),
          source_(source),
          limitFrames_(limitFrames),
          block_(std::size_t{kChunkFrames} * core::kRingChannels) {}

    PlayEnd run(const std::string& cardName) {
        ULONGLONG nextStatus = 0;
        for (;;) {
            if (g_stopRequested) return PlayEnd::Interrupted;
            if (producer_.closeReason() != 0) return PlayEnd::Withdrawn;
            if (soundEnded_ && (consumedFrames() >= soundFrames_ || GetTickCount64() > drainDeadline_))
                return PlayEnd::Finished;
            // The fill shown is what QOVA left after its last read: the ring's low point.
            if (GetTickCount64() >= nextStatus) {
                say("\r" + statusLine(cardName));
                nextStatus = GetTickCount64() + kStatusEveryMs;
            }
            topUp();
            producer_.waitForNeed(kNeedWaitMs);
        }
    }

    double playedSeconds() const { return static_cast<double>(std::min(consumedFrames(), soundFrames_)) / kRateHz; }

    std::string statusLine(const std::string& cardName) const {
        const std::uint64_t fill = producer_.fillFrames();
        return formatText("%s: %8.1f s played   fill %5llu frames (%5.1f ms)   underruns %llu frames   ",
                          cardName.c_str(), playedSeconds(), static_cast<unsigned long long>(fill),
                          static_cast<double>(fill) * 1000.0 / kRateHz,
                          static_cast<unsigned long long>(producer_.underrunFrames()));
    }

private:
    std::uint64_t consumedFrames() const { return producer_.writtenFrames() - producer_.fillFrames(); }

    // Brings the fill up to the target. After the sound's end the ring is padded with silence
    // until QOVA has read the last real frame, so the end is neither cut nor counted as an
    // underrun.
    void topUp() {
        std::uint32_t wanted = producer_.framesBelowTarget();
        while (wanted > 0) {
            const std::uint32_t frames = std::min(wanted, kChunkFrames);
            std::uint32_t sound = 0;
            if (!soundEnded_) {
                const auto ask =
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, limitFrames_ - soundFrames_));
                sound = source_.read(block_.data(), ask);
                soundFrames_ += sound;
                if (sound < ask || soundFrames_ >= limitFrames_) endSound();
            }
            std::fill(block_.begin() + std::size_t{sound} * core::kRingChannels,
                      block_.begin() + std::size_t{frames} * core::kRingChannels, 0.0f);
            const std::uint32_t written = producer_.write(block_.data(), frames);
            if (written < frames) return;  // closed meanwhile
            wanted -= written;
        }
    }

    void endSound() {
        soundEnded_ = true;
        const std::uint64_t pending = soundFrames_ - std::min(soundFrames_, consumedFrames());
        drainDeadline_ = GetTickCount64() + pending * 1000 / kRateHz + kDrainSlackMs;
    }

    tools::RingProducer& producer_;
    SoundSource& source_;
    std::uint64_t limitFrames_;
    std::vector<float> block_;
    std::uint64_t soundFrames_ = 0;  // frames of the sound itself written so far
    bool soundEnded_ = false;
    ULONGLONG drainDeadline_ = 0;
};

// Finds CARD among the listed cards: an exact id first, then an exact name. A "qova:" text
// that is not listed is still tried, so that QOVA itself says what it thinks of it.
int resolveCard(const std::vector<CardEntry>& cards, const std::string& wanted, CardEntry& found,
                std::string& message) {
    for (const CardEntry& card : cards) {
        if (card.id == wanted) {
            found = card;
            return kExitDone;
        }
    }
    std::vector<const CardEntry*> named;
    for (const CardEntry& card : cards) {
        if (card.name == wanted) named.push_back(&card);
    }
    if (named.size() == 1) {
        found = *named[0];
        return kExitDone;
    }
    if (named.size() > 1) {
        message = formatText("%zu cards are named \"%s\"; use an id:", named.size(), wanted.c_str());
        for (const CardEntry* card : named) message += " " + card->id;
        return kExitAmbiguous;
    }
    if (wanted.starts_with("qova:")) {
        found = CardEntry{wanted, wanted, 0, ""};
        return kExitDone;
    }
    message = "no card is named \"" + wanted + "\" (qova-player cards lists them)";
    return kExitUnknownCard;
}

}  // namespace

int playCard(const Options& options) {
    std::unique_ptr<SoundSource> source;
    if (const int status = openSource(options, source); status != kExitDone) return status;

    QovaConnection pipe;
    nlohmann::json cardsReply;
    std::string message;
    CardEntry card;
    int status = introduce(pipe, options, cardsReply, message);
    if (status == kExitDone) status = resolveCard(cardEntries(cardsReply), options.card, card, message);
    tools::RingProducer producer;
    if (status == kExitDone) status = openCard(pipe, card, producer, message);
    if (status != kExitDone) {
        complain(message);
        return status;
    }

    const std::uint64_t limitFrames =
        options.seconds ? static_cast<std::uint64_t>(std::llround(*options.seconds * kRateHz)) : UINT64_MAX;
    say(formatText("playing %s on %s \"%s\" (ring: target %u frames, capacity %u frames)%s\n",
                   source->describe().c_str(), card.id.c_str(), card.name.c_str(), producer.targetFrames(),
                   producer.capacityFrames(), options.seconds ? "" : "; Ctrl+C stops"));

    SetConsoleCtrlHandler(nullptr, FALSE);  // a child started in a new process group ignores Ctrl+C otherwise
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    Playback playback(producer, *source, limitFrames);
    const PlayEnd end = playback.run(card.name);
    say("\r" + playback.statusLine(card.name) + "\n");

    if (end == PlayEnd::Withdrawn) {
        complain(
            formatText("QOVA withdrew the ring of card %s after %.1f s (the card was removed or reopened, or "
                       "QOVA is shutting down)",
                       card.id.c_str(), playback.playedSeconds()));
        return kExitWithdrawn;
    }
    status = closeCard(pipe, card, message);
    if (status != kExitDone) {
        complain(message);
        return status;
    }
    say(formatText("%s: closed card %s after %.1f s, %llu underrun frames\n",
                   end == PlayEnd::Interrupted ? "stopped" : "done", card.id.c_str(), playback.playedSeconds(),
                   static_cast<unsigned long long>(producer.underrunFrames())));
    return kExitDone;
}

}  // namespace player
