// qova-player: speaks for a player app over QOVA's control pipe, so that cards can be tried
// without the app (and so that the end-to-end tests have a real second program).
//
//   qova-player [--pipe NAME] cards
//   qova-player [--pipe NAME] play CARD (--tone HZ | --wav FILE) [--seconds N] [--name TEXT]
//
// Contents: command line and exit codes; console output; the pipe client; sound sources
// (tone, WAV); the "cards" command; the "play" command; wmain.
//
// The command line arrives in UTF-16 (wmain); everything printed is UTF-8.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ring/CardRingLayout.h"
#include "tools/player/RingProducer.h"
#include "tools/player/WavReader.h"
#include "win/base/Session.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

namespace {

using nlohmann::json;

// --- exit codes ---------------------------------------------------------------------------------

// Each failure a script may want to tell apart has its own code. 5 is left out: under Wine
// a crash ends a program with 5.
enum ExitCode : int {
    kExitDone = 0,            // played to the end, stopped with Ctrl+C, or listed the cards
    kExitOther = 1,           // an error reply this program does not know
    kExitUsage = 2,           // bad command line
    kExitNotRunning = 3,      // no pipe of that name: QOVA is not running there
    kExitPipe = 4,            // the pipe cannot be opened or broke, or a reply is not readable
    kExitUnknownCard = 6,     // "unknown_card", or no card of that name
    kExitAmbiguous = 7,       // several cards carry that name
    kExitBusy = 8,            // "busy"
    kExitOffline = 9,         // "offline"
    kExitInternal = 10,       // "internal"
    kExitProtocol = 11,       // "protocol_mismatch"
    kExitBadRequest = 12,     // "bad_request"
    kExitRingUnusable = 13,   // the ring QOVA handed out cannot be attached
    kExitWithdrawn = 14,      // QOVA withdrew the ring while it played
    kExitBadSound = 15,       // the WAV file cannot be played
};

struct ExitCodeText {
    int code;
    const char* meaning;
};

constexpr ExitCodeText kExitCodeTexts[] = {
    {kExitDone, "done (also after Ctrl+C)"},
    {kExitOther, "QOVA answered with an error this program does not know"},
    {kExitUsage, "bad command line"},
    {kExitNotRunning, "QOVA is not running (no pipe of that name)"},
    {kExitPipe, "the pipe cannot be used (access denied, broken, unreadable reply)"},
    {kExitUnknownCard, "no such card (\"unknown_card\")"},
    {kExitAmbiguous, "several cards have that name"},
    {kExitBusy, "the card is busy: another player has it (\"busy\")"},
    {kExitOffline, "the card is offline: its sound cards are not playing (\"offline\")"},
    {kExitInternal, "QOVA failed inside (\"internal\")"},
    {kExitProtocol, "QOVA speaks another protocol (\"protocol_mismatch\")"},
    {kExitBadRequest, "QOVA did not understand a request (\"bad_request\")"},
    {kExitRingUnusable, "the card's ring cannot be opened"},
    {kExitWithdrawn, "QOVA withdrew the ring while it played"},
    {kExitBadSound, "the WAV file cannot be played"},
};
static_assert(std::size(kExitCodeTexts) == 15, "every exit code has its line in the usage text");

// What each error reply means to the person at the console. %s is the card for the card's own
// troubles, else the request QOVA refused.
struct ErrorReplyText {
    std::string_view code;
    int exitCode;
    bool aboutCard;
    const char* message;
};

constexpr ErrorReplyText kErrorReplies[] = {
    {"unknown_card", kExitUnknownCard, true, "QOVA has no card %s"},
    {"busy", kExitBusy, true, "card %s is busy: another player has it open"},
    {"offline", kExitOffline, true, "card %s is offline: none of its sound cards is playing"},
    {"internal", kExitInternal, false, "QOVA failed to answer \"%s\" (an internal error; its log says more)"},
    {"protocol_mismatch", kExitProtocol, false, "QOVA refused \"%s\": it does not speak protocol 1"},
    {"bad_request", kExitBadRequest, false, "QOVA did not understand the \"%s\" request"},
};

constexpr std::uint32_t kRateHz = core::kRingRateHz;
constexpr double kToneAmplitude = 0.25;  // -12 dBFS: clearly audible, far from clipping
constexpr std::uint32_t kChunkFrames = 4096;
constexpr DWORD kNeedWaitMs = 20;       // also how soon Ctrl+C and a withdrawal are noticed
constexpr ULONGLONG kStatusEveryMs = 200;
constexpr ULONGLONG kDrainSlackMs = 2000;  // past what the ring holds, before giving up waiting
// A pipe name not found is looked for again this often, this far apart: half a second in all.
constexpr int kPipeMissingRetries = 10;
constexpr DWORD kPipeMissingPauseMs = 50;

// --- console output -----------------------------------------------------------------------------

void writeTo(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void say(std::string_view text) {
    writeTo(stdout, text);
}

// Errors go to the standard error, one line each, prefixed so that they stand out in scripts.
void complain(std::string_view text) {
    writeTo(stderr, "qova-player: " + std::string(text) + "\n");
}

template <typename... Args>
std::string formatText(const char* pattern, Args... args) {
    const int length = std::snprintf(nullptr, 0, pattern, args...);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(out.data(), out.size(), pattern, args...);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// Columns line up by characters, not bytes, so that names like "Küche" keep the table straight.
std::size_t displayWidth(std::string_view utf8) {
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string padded(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t shown = displayWidth(text);
    if (shown < width) out.append(width - shown, ' ');
    return out;
}

// --- command line -------------------------------------------------------------------------------

enum class Command { Help, Cards, Play };

struct Options {
    Command command = Command::Help;
    std::wstring pipeName;  // empty: this session's default
    std::string card;       // a "qova:" id or a card name
    std::optional<double> toneHz;
    std::wstring wavPath;
    std::optional<double> seconds;
    std::string clientName = "qova-player";
};

std::string usageText() {
    std::string text =
        "Usage:\n"
        "  qova-player [--pipe NAME] cards\n"
        "      Lists QOVA's cards (id, name, channels, state) and the sound cards it holds.\n"
        "  qova-player [--pipe NAME] play CARD (--tone HZ | --wav FILE) [--seconds N] [--name TEXT]\n"
        "      Opens CARD (its \"qova:\" id or its exact name) and plays into it until N seconds\n"
        "      are played, the WAV file ends, or Ctrl+C; then closes the card.\n"
        "\n"
        "Options:\n"
        "  --pipe NAME    the control pipe's full path (default \\\\.\\pipe\\qova-<session>)\n"
        "  --tone HZ      a sine of HZ hertz (up to 24000) at -12 dBFS on both channels\n"
        "  --wav FILE     a 48000 Hz WAV file: 16, 24 or 32-bit integer or 32-bit float PCM,\n"
        "                 mono or stereo (other rates are refused; convert them first)\n"
        "  --seconds N    play N seconds (fractions allowed); default: until Ctrl+C, or the\n"
        "                 end of the WAV file\n"
        "  --name TEXT    the player name QOVA shows (default qova-player)\n"
        "  --help         this text\n"
        "\n"
        "While it plays, one status line shows the seconds played, how full the card's ring is\n"
        "and how many frames QOVA had to fill with silence (underruns).\n"
        "\n"
        "Exit codes:\n";
    for (const ExitCodeText& exit : kExitCodeTexts) text += formatText("  %2d  %s\n", exit.code, exit.meaning);
    return text;
}

bool parseNumber(std::wstring_view wide, double& value) {
    const std::string text = win::toUtf8(wide);
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end && std::isfinite(value);
}

// Fills options from argv; false with a one-line reason on a bad command line.
bool parseArguments(int argc, wchar_t** argv, Options& options, std::string& error) {
    std::vector<std::wstring_view> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.command = Command::Help;
            return true;
        }
        const bool takesValue = arg == L"--pipe" || arg == L"--tone" || arg == L"--wav" || arg == L"--seconds" ||
                                arg == L"--name";
        if (!takesValue) {
            if (arg.starts_with(L"--")) {
                error = "unknown option " + win::toUtf8(arg);
                return false;
            }
            positional.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) {
            error = win::toUtf8(arg) + " needs a value";
            return false;
        }
        const std::wstring_view value = argv[++i];
        double number = 0.0;
        if (arg == L"--pipe") {
            options.pipeName = value;
        } else if (arg == L"--wav") {
            options.wavPath = value;
        } else if (arg == L"--name") {
            options.clientName = win::toUtf8(value);
        } else if (arg == L"--tone") {
            if (!parseNumber(value, number) || number <= 0.0 || number > kRateHz / 2.0) {
                error = "--tone wants a frequency above 0 and up to 24000 Hz, not " + win::toUtf8(value);
                return false;
            }
            options.toneHz = number;
        } else {
            if (!parseNumber(value, number) || number <= 0.0 || number > 1e7) {
                error = "--seconds wants a positive number of seconds, not " + win::toUtf8(value);
                return false;
            }
            options.seconds = number;
        }
    }

    if (positional.empty()) {
        error = "no command given (cards or play)";
        return false;
    }
    const std::wstring_view command = positional[0];
    const bool playOptions = options.toneHz || !options.wavPath.empty() || options.seconds;
    if (command == L"cards") {
        if (positional.size() > 1 || playOptions) {
            error = "cards takes no card and no sound options";
            return false;
        }
        options.command = Command::Cards;
        return true;
    }
    if (command != L"play") {
        error = "unknown command " + win::toUtf8(command) + " (cards or play)";
        return false;
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? "play needs a card (its qova: id or its name)" : "play takes one card only";
        return false;
    }
    if (options.toneHz.has_value() == !options.wavPath.empty()) {
        error = "play needs exactly one of --tone HZ and --wav FILE";
        return false;
    }
    options.command = Command::Play;
    options.card = win::toUtf8(positional[1]);
    return true;
}

// --- pipe client --------------------------------------------------------------------------------

std::wstring defaultPipeName() {
    return L"\\\\.\\pipe\\qova-" + std::to_wstring(win::sessionId());
}

// One connection to QOVA: one request message, then its whole reply message.
class PipeClient {
public:
    // Returns kExitDone when connected, else the exit code, with a message for the user.
    int connect(const std::wstring& pipeName, std::string& message) {
        pipeName_ = win::toUtf8(pipeName);
        int missing = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            pipe_.reset(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
            if (pipe_) break;
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                // Between handing one instance to a client and making the next, a busy QOVA has
                // no instance for a moment, so the name is looked for again before giving up.
                if (++missing <= kPipeMissingRetries) {
                    Sleep(kPipeMissingPauseMs);
                    --attempt;
                    continue;
                }
                message = "QOVA is not running: there is no pipe " + pipeName_;
                return kExitNotRunning;
            }
            // Every instance taken: QOVA makes the next one as soon as it has handed this one out.
            if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(pipeName.c_str(), 2000)) {
                message = "cannot open the pipe " + pipeName_ + ": " + win::systemErrorText(error);
                return kExitPipe;
            }
        }
        if (!pipe_) {
            message = "cannot open the pipe " + pipeName_ + ": it stays busy";
            return kExitPipe;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
            message = "pipe " + pipeName_ + ": " + win::systemErrorText(GetLastError());
            return kExitPipe;
        }
        return kExitDone;
    }

    // Sends one request and parses its reply. False with a message when the pipe fails or
    // the reply is not a JSON object.
    bool ask(const json& request, json& reply, std::string& message) {
        const std::string text = request.dump();
        DWORD written = 0;
        if (!WriteFile(pipe_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            message = brokenText(GetLastError());
            return false;
        }
        std::string received;
        if (!readMessage(received)) {
            message = brokenText(GetLastError());
            return false;
        }
        reply = json::parse(received, nullptr, false);
        if (reply.is_discarded() || !reply.is_object()) {
            message = "QOVA's reply is not readable: " + received.substr(0, 200);
            return false;
        }
        return true;
    }

private:
    bool readMessage(std::string& message) {
        char buffer[4096];
        for (;;) {
            DWORD got = 0;
            const BOOL complete = ReadFile(pipe_.get(), buffer, sizeof buffer, &got, nullptr);
            message.append(buffer, got);
            if (complete) return true;
            if (GetLastError() != ERROR_MORE_DATA) return false;
        }
    }

    std::string brokenText(DWORD error) const {
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
            return "QOVA closed the pipe " + pipeName_;
        return "pipe " + pipeName_ + ": " + win::systemErrorText(error);
    }

    win::UniqueHandle pipe_;
    std::string pipeName_;
};

std::string stringMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

std::uint32_t numberMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_unsigned() && *it <= UINT32_MAX ? it->get<std::uint32_t>() : 0;
}

bool replyOk(const json& reply) {
    const auto it = reply.find("ok");
    return it != reply.end() && it->is_boolean() && it->get<bool>();
}

// The exit code and message for an error reply, about `card` when the request named one.
int errorReplyExit(const json& reply, const std::string& card, std::string& message) {
    const std::string code = stringMember(reply, "error");
    const std::string op = stringMember(reply, "op");
    for (const ErrorReplyText& known : kErrorReplies) {
        if (known.code != code) continue;
        message = formatText(known.message, (known.aboutCard ? card : op).c_str());
        return known.exitCode;
    }
    message = "QOVA answered \"" + op + "\" with the error \"" + code + "\"";
    return kExitOther;
}

// hello, then cards: what every command starts with. kExitDone with the "cards" reply, or an
// exit code with its message.
int introduce(PipeClient& pipe, const Options& options, json& cards, std::string& message) {
    const int connected = pipe.connect(options.pipeName.empty() ? defaultPipeName() : options.pipeName, message);
    if (connected != kExitDone) return connected;
    json reply;
    if (!pipe.ask(json{{"op", "hello"}, {"protocol", 1}, {"client", options.clientName}}, reply, message))
        return kExitPipe;
    if (!replyOk(reply)) return errorReplyExit(reply, "", message);
    if (!pipe.ask(json{{"op", "cards"}}, cards, message)) return kExitPipe;
    if (!replyOk(cards)) return errorReplyExit(cards, "", message);
    if (!cards.contains("cards") || !cards["cards"].is_array()) {
        message = "QOVA's card list is not readable";
        return kExitPipe;
    }
    return kExitDone;
}

// --- sound sources ------------------------------------------------------------------------------

// Hands out the sound as 48 kHz stereo float frames, in order.
class SoundSource {
public:
    virtual ~SoundSource() = default;
    // Fills up to `frames` frames; fewer (possibly 0) once the sound has ended.
    virtual std::uint32_t read(float* stereo, std::uint32_t frames) = 0;
    virtual std::string describe() const = 0;
};

class ToneSource final : public SoundSource {
public:
    explicit ToneSource(double hz) : hz_(hz) {}

    std::uint32_t read(float* stereo, std::uint32_t frames) override {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const auto sample = static_cast<float>(kToneAmplitude * std::sin(6.283185307179586 * phaseCycles_));
            stereo[2 * i] = sample;
            stereo[2 * i + 1] = sample;
            // Kept within one cycle, so that the sine stays as clean after an hour as at the start.
            phaseCycles_ += hz_ / kRateHz;
            if (phaseCycles_ >= 1.0) phaseCycles_ -= 1.0;
        }
        return frames;
    }

    std::string describe() const override { return formatText("a %g Hz tone", hz_); }

private:
    double hz_;
    double phaseCycles_ = 0.0;
};

class WavSource final : public SoundSource {
public:
    // "" when the file can be played, else why not.
    std::string open(const std::wstring& path) {
        path_ = win::toUtf8(path);
        file_.reset(_wfopen(path.c_str(), L"rb"));
        if (!file_) return "cannot open " + path_;
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return "cannot read " + path_;
        const std::uint64_t bytes = (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
        const std::string problem = player::readWavHeader(file_.get(), bytes, format_);
        if (!problem.empty()) return path_ + " cannot be played: " + problem;
        if (_fseeki64(file_.get(), static_cast<long long>(format_.dataOffset), SEEK_SET) != 0)
            return "cannot read " + path_;
        framesLeft_ = format_.dataBytes / format_.blockBytes;
        raw_.resize(std::size_t{kChunkFrames} * format_.blockBytes);
        return {};
    }

    std::uint32_t read(float* stereo, std::uint32_t frames) override {
        frames = static_cast<std::uint32_t>(std::min<std::uint64_t>({frames, framesLeft_, kChunkFrames}));
        const std::size_t got = std::fread(raw_.data(), format_.blockBytes, frames, file_.get());
        const unsigned sampleBytes = format_.bits / 8u;
        for (std::size_t i = 0; i < got; ++i) {
            const unsigned char* frame = raw_.data() + i * format_.blockBytes;
            const float left = player::sampleAt(frame, format_);
            stereo[2 * i] = left;
            stereo[2 * i + 1] = format_.channels == 2 ? player::sampleAt(frame + sampleBytes, format_) : left;
        }
        framesLeft_ = got < frames ? 0 : framesLeft_ - got;
        return static_cast<std::uint32_t>(got);
    }

    std::string describe() const override {
        return path_ + formatText(" (%u-bit %s, %s)", unsigned{format_.bits}, format_.isFloat ? "float" : "PCM",
                                  format_.channels == 2 ? "stereo" : "mono");
    }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    player::WavFormat format_;
    std::uint64_t framesLeft_ = 0;
    std::vector<unsigned char> raw_;
};

// --- cards --------------------------------------------------------------------------------------

struct CardEntry {
    std::string id;
    std::string name;
    std::uint32_t channels = 0;
    std::string state;
};

std::vector<CardEntry> cardEntries(const json& reply) {
    std::vector<CardEntry> out;
    for (const json& card : reply["cards"]) {
        if (!card.is_object()) continue;
        out.push_back({stringMember(card, "id"), stringMember(card, "name"), numberMember(card, "channels"),
                       stringMember(card, "state")});
    }
    return out;
}

std::vector<std::string> managedNames(const json& reply) {
    std::vector<std::string> out;
    const auto managed = reply.find("managed");
    if (managed == reply.end() || !managed->is_array()) return out;
    for (const json& name : *managed) {
        if (name.is_string()) out.push_back(name.get<std::string>());
    }
    return out;
}

std::string cardTable(const std::vector<CardEntry>& cards) {
    if (cards.empty()) return "QOVA has no cards yet.\n";
    std::size_t idWidth = 2;
    std::size_t nameWidth = 4;
    for (const CardEntry& card : cards) {
        idWidth = std::max(idWidth, displayWidth(card.id));
        nameWidth = std::max(nameWidth, displayWidth(card.name));
    }
    std::string out = padded("ID", idWidth) + "  " + padded("NAME", nameWidth) + "  CHANNELS  STATE\n";
    for (const CardEntry& card : cards) {
        out += padded(card.id, idWidth) + "  " + padded(card.name, nameWidth) + "  " +
               padded(std::to_string(card.channels), 8) + "  " + card.state + "\n";
    }
    return out;
}

int listCards(const Options& options) {
    PipeClient pipe;
    json reply;
    std::string message;
    const int status = introduce(pipe, options, reply, message);
    if (status != kExitDone) {
        complain(message);
        return status;
    }
    std::string out = cardTable(cardEntries(reply));
    const std::vector<std::string> managed = managedNames(reply);
    out += managed.empty() ? "Managed sound cards: none\n" : "Managed sound cards:\n";
    for (const std::string& name : managed) out += "  " + name + "\n";
    say(out);
    return kExitDone;
}

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

// --- play ---------------------------------------------------------------------------------------

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
        : producer_(producer), source_(source), limitFrames_(limitFrames),
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

    double playedSeconds() const {
        return static_cast<double>(std::min(consumedFrames(), soundFrames_)) / kRateHz;
    }

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

int openSource(const Options& options, std::unique_ptr<SoundSource>& source) {
    if (options.toneHz) {
        source = std::make_unique<ToneSource>(*options.toneHz);
        return kExitDone;
    }
    auto wav = std::make_unique<WavSource>();
    const std::string problem = wav->open(options.wavPath);
    if (!problem.empty()) {
        complain(problem);
        return kExitBadSound;
    }
    source = std::move(wav);
    return kExitDone;
}

// Opens the card; on success the producer is attached to its ring.
int openCard(PipeClient& pipe, const CardEntry& card, tools::RingProducer& producer, std::string& message) {
    json reply;
    if (!pipe.ask(json{{"op", "open"}, {"card", card.id}}, reply, message)) return kExitPipe;
    if (!replyOk(reply)) return errorReplyExit(reply, card.id, message);
    const std::string mapping = stringMember(reply, "mapping");
    const std::string problem = producer.open(mapping, stringMember(reply, "event"));
    if (!problem.empty()) {
        message = "cannot use the ring of card " + card.id + " (" + mapping + "): " + problem;
        return kExitRingUnusable;
    }
    return kExitDone;
}

// Sends "close" unless QOVA took the ring back already. kExitDone, or kExitWithdrawn when
// QOVA had withdrawn it in the meantime.
int closeCard(PipeClient& pipe, const CardEntry& card, std::string& message) {
    json reply;
    if (!pipe.ask(json{{"op", "close"}, {"card", card.id}}, reply, message)) return kExitPipe;
    if (replyOk(reply)) return kExitDone;
    if (stringMember(reply, "error") == "not_open") {
        message = "QOVA withdrew the ring of card " + card.id + " before it was closed";
        return kExitWithdrawn;
    }
    return errorReplyExit(reply, card.id, message);
}

int playCard(const Options& options) {
    std::unique_ptr<SoundSource> source;
    if (const int status = openSource(options, source); status != kExitDone) return status;

    PipeClient pipe;
    json cardsReply;
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
        complain(formatText("QOVA withdrew the ring of card %s after %.1f s (the card was removed or reopened, or "
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    // Bytes out as they are: the status line's carriage return must not gain company, and
    // scripts that read the output get the same lines as on Linux-side tools.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    Options options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        complain(error);
        writeTo(stderr, "\n" + usageText());
        return kExitUsage;
    }
    switch (options.command) {
    case Command::Help: say(usageText()); return kExitDone;
    case Command::Cards: return listCards(options);
    case Command::Play: return playCard(options);
    }
    return kExitUsage;
}
