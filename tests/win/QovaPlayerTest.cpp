#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RingTestSupport.h"
#include "RouterTestSupport.h"
#include "TestSupport.h"
#include "win/base/Text.h"
#include "win/control/ControlServer.h"
#include "win/router/Router.h"

// qova-player.exe as a real second process against a real control pipe served by the real
// router on test outputs: what it lists, what it plays (recorded through the router's buffer
// observer), and how each failure ends it. The rings it fills are watched through a second
// view of their sections, found by the names the router gives them.

namespace win {
namespace {

using namespace router_testing;
using ring_testing::kCloseReasonAt;
using ring_testing::kReadPosAt;
using ring_testing::kUnderrunAt;
using ring_testing::kWritePosAt;
using ring_testing::SectionView;
using testing_support::AsyncProgram;
using testing_support::ProcessResult;

constexpr wchar_t kPlayer[] = L"qova-player.exe";
constexpr std::uint64_t kOtherPlayer = 1000;  // a client that talks to the router directly
constexpr DWORD kRunTimeoutMs = 15000;

const DeviceInfo kEight = makeTestOutput(0, 8, 48000);

// Lounge is stereo on channels 0 and 1, Küche mono on 2, Porch mono on 3, and Attic sits on a
// configured sound card that is not there.
core::Settings rigSettings() {
    core::Settings settings;
    settings.devices = {deviceSettings(kEight), unpluggedDevice("null:7", "Unplugged")};
    settings.cards = {stereoCard("0000000a", "Lounge", kEight),
                      card("0000000b",
                           "K\xc3\xbc"
                           "che",
                           {member(kEight.key, 2)}),
                      card("0000000c", "Attic", {member("null:7", 0)}),
                      card("0000000d", "Porch", {member(kEight.key, 3)})};
    return settings;
}

// A router with its control server on a pipe of its own, as QOVA runs them.
class Rig {
public:
    explicit Rig(double recordSeconds = 6.0, const core::Settings& settings = rigSettings(),
                 const std::vector<DeviceInfo>& extra = {kEight}, bool scan = false)
        : recorder_(recordSeconds) {
        static int counter = 0;
        ++counter;
        const std::wstring unique = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter);
        pipe_ = L"\\\\.\\pipe\\qova-player-test-" + unique;
        ringPrefix_ = "Local\\qova-player-test" + std::to_string(counter);
        for (const DeviceInfo& device : extra) recorder_.track(device);
        RouterOptions options = testOptions(extra, &recorder_);
        options.scanDevices = scan;
        options.ringPrefix = toWide(ringPrefix_);
        router_ = appliedRouter(std::move(options), settings);
        server_ =
            std::make_unique<ControlServer>(*router_, [this](std::uint64_t client) { router_->clientGone(client); });
        std::string error;
        EXPECT_TRUE(server_->start(pipe_, error)) << error;
    }
    ~Rig() {
        server_.reset();  // before the router it serves
        router_.reset();
    }

    Router& router() { return *router_; }
    const Recorder& recorder() const { return recorder_; }
    std::wstring args(const std::wstring& rest) const { return L"--pipe " + pipe_ + L" " + rest; }
    ProcessResult run(const std::wstring& rest) const {
        return AsyncProgram(kPlayer, args(rest)).finish(kRunTimeoutMs);
    }

    // A second view of the card's live ring, found by trying the ring numbers this router
    // can have given out so far; empty when none appears in time.
    std::optional<SectionView> waitForRing(const std::string& cardId) const {
        std::optional<SectionView> ring;
        eventually(
            [&] {
                for (int n = 1; n <= 8; ++n) {
                    ring.emplace(ringPrefix_ + "-" + std::to_string(GetCurrentProcessId()) + "-" + cardId + "-" +
                                 std::to_string(n));
                    if (ring->ok() && ring->u32(kCloseReasonAt) == 0) return true;
                }
                return false;
            },
            10000ms);
        if (!ring->ok()) ring.reset();
        return ring;
    }

    std::string state(const std::string& cardId) {
        for (const core::CardInfo& info : router_->listCards(kOtherPlayer + 1)) {
            if (info.id == "qova:" + cardId) return info.state;
        }
        return "missing";
    }

private:
    Recorder recorder_;
    std::wstring pipe_;
    std::string ringPrefix_;
    std::unique_ptr<Router> router_;
    std::unique_ptr<ControlServer> server_;
};

// The level of one frequency in a stretch of samples: twice the magnitude of its DFT bin,
// so a sine of amplitude a gives a.
double levelAt(const std::vector<float>& samples, std::size_t from, std::size_t count, double hz) {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        const double phase = 6.283185307179586 * hz * static_cast<double>(n) / 48000.0;
        re += samples[from + n] * std::cos(phase);
        im -= samples[from + n] * std::sin(phase);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(count);
}

struct Span {
    std::size_t first = 0;
    std::size_t last = 0;            // inclusive
    std::size_t longestSilence = 0;  // zero samples in a row between first and last
    bool any = false;
};

Span soundSpan(const std::vector<float>& samples) {
    Span span;
    std::size_t run = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] == 0.0f) {
            ++run;
            continue;
        }
        if (!span.any) span.first = i;
        else span.longestSilence = std::max(span.longestSilence, run);
        span.any = true;
        span.last = i;
        run = 0;
    }
    return span;
}

// The underrun count of the player's closing line for the card; empty without that line.
// How often a player runs short depends on how the machine schedules it, so tests check that
// every shortfall is counted and shows as silence, not that there was none.
std::optional<std::uint64_t> reportedUnderruns(const std::string& output, const std::string& cardId) {
    const std::string head = "done: closed card " + cardId + " after ";
    const std::size_t at = output.find(head);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t comma = output.find(", ", at);
    if (comma == std::string::npos) return std::nullopt;
    char* end = nullptr;
    const unsigned long long count = std::strtoull(output.c_str() + comma + 2, &end, 10);
    if (end == output.c_str() + comma + 2 || std::string(end).rfind(" underrun frames", 0) != 0) return std::nullopt;
    return count;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- cards ------------------------------------------------------------------------------------

TEST(QovaPlayerCards, ListsEveryCardWithItsState) {
    Rig rig;
    core::OpenCardResult held = openOrFail(rig.router(), kOtherPlayer, "0000000d");
    const ProcessResult result = rig.run(L"cards");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(result.output,
              "ID             NAME    CHANNELS  STATE\n"
              "qova:0000000a  Lounge  2         ready\n"
              "qova:0000000b  K\xc3\xbc"
              "che   1         ready\n"
              "qova:0000000c  Attic   1         offline\n"
              "qova:0000000d  Porch   1         busy\n"
              "Managed sound cards: none\n");
}

// The private PulseAudio daemon's null sinks are WASAPI endpoints; an enabled one is held open
// by the router and named under "managed".
TEST(QovaPlayerCards, NamesTheManagedSoundCards) {
    std::string error;
    std::optional<DeviceInfo> zone;
    for (const DeviceInfo& endpoint : listWasapiDevices(error)) {
        if (endpoint.name == "ZoneA") zone = endpoint;
    }
    if (!zone) GTEST_SKIP() << "no ZoneA endpoint (" << error << "); run under scripts/test";
    core::Settings settings = settingsOf({deviceSettings(*zone)},
                                         {card("0000000e", "Zone card", {member(zone->key, 0), member(zone->key, 1)})});
    Rig rig(1.0, settings, {}, true);
    const ProcessResult result = rig.run(L"cards");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_TRUE(contains(result.output, "qova:0000000e  Zone card  2         ready\n")) << result.output;
    EXPECT_TRUE(contains(result.output, "Managed sound cards:\n  ZoneA\n")) << result.output;
}

// --- play -------------------------------------------------------------------------------------

// Two players at once, one naming its card by id and one by a name with a non-ASCII letter:
// each tone lands on its own card's channels, exactly as long as asked, without a gap, and
// each card is handed back at the end.
TEST(QovaPlayerPlay, FillsTheRingSoTheRouterRendersTheTone) {
    Rig rig;
    AsyncProgram byId(kPlayer, rig.args(L"play qova:0000000a --tone 1000 --seconds 1.5 --name \"id player\""));
    AsyncProgram byName(kPlayer, rig.args(L"play K\u00fcche --tone 440 --seconds 1.5"));
    std::optional<SectionView> lounge = rig.waitForRing("0000000a");
    std::optional<SectionView> kueche = rig.waitForRing("0000000b");
    ASSERT_TRUE(lounge && kueche) << "the players opened no rings";
    EXPECT_EQ(rig.state("0000000a"), "busy") << "held by the player while it plays";

    const ProcessResult first = byId.finish(kRunTimeoutMs);
    const ProcessResult second = byName.finish(kRunTimeoutMs);
    EXPECT_EQ(first.exitCode, 0u) << first.output;
    EXPECT_EQ(second.exitCode, 0u) << second.output;
    EXPECT_TRUE(contains(first.output, "done: closed card qova:0000000a after 1.5 s, ")) << first.output;
    EXPECT_TRUE(contains(second.output,
                         "playing a 440 Hz tone on qova:0000000b \"K\xc3\xbc"
                         "che\""))
        << second.output;
    EXPECT_TRUE(contains(second.output,
                         "K\xc3\xbc"
                         "che:"))
        << "the live line: " << second.output;
    const std::optional<std::uint64_t> shortA = reportedUnderruns(first.output, "qova:0000000a");
    const std::optional<std::uint64_t> shortB = reportedUnderruns(second.output, "qova:0000000b");
    ASSERT_TRUE(shortA && shortB) << first.output << second.output;

    for (auto [ring, shortfall] : {std::pair{&*lounge, *shortA}, std::pair{&*kueche, *shortB}}) {
        EXPECT_EQ(ring->u32(kCloseReasonAt), 2u) << "closed at the player's request";
        // The ring may still run short between the player's last look and its close.
        EXPECT_GE(ring->u64(kUnderrunAt), shortfall) << "the player reports what the ring counted";
        EXPECT_GE(ring->u64(kReadPosAt), 72000u) << "QOVA read all of the tone";
        EXPECT_GE(ring->u64(kWritePosAt), ring->u64(kReadPosAt));
    }
    EXPECT_EQ(rig.state("0000000a"), "ready");
    EXPECT_EQ(rig.state("0000000b"), "ready");
    EXPECT_FALSE(rig.router().anyCardPlaying());

    const Recorder::Track& track = rig.recorder().of(kEight.key);
    struct Expected {
        std::uint32_t channel;
        double hz;
        double otherHz;
        std::uint64_t shortfall;
    };
    for (const Expected& e :
         {Expected{0, 1000, 440, *shortA}, Expected{1, 1000, 440, *shortA}, Expected{2, 440, 1000, *shortB}}) {
        SCOPED_TRACE("channel " + std::to_string(e.channel) + ", " + std::to_string(e.shortfall) + " frames short");
        const std::vector<float> samples = track.channel(e.channel);
        const Span span = soundSpan(samples);
        ASSERT_TRUE(span.any) << "silent";
        // The sine starts at 0, so its first non-zero sample is the second of 72000. Frames the
        // ring ran short of in the middle are played as silence and push the end back by as many.
        const double length = static_cast<double>(span.last - span.first);
        EXPECT_GE(length, 71997.0) << "shorter than 1.5 s";
        EXPECT_LE(length, 71999.0 + static_cast<double>(e.shortfall)) << "longer than 1.5 s and its shortfalls";
        EXPECT_LE(span.longestSilence, std::max<std::uint64_t>(e.shortfall, 1)) << "a gap the ring did not count";
        EXPECT_NEAR(levelAt(samples, span.first + 12000, 48000, e.hz), 0.25, 0.005);
        EXPECT_LT(levelAt(samples, span.first + 12000, 48000, e.otherHz), 0.005);
    }
    EXPECT_EQ(soundSpan(track.channel(3)).any, false) << "Porch played nothing";
}

// A WAV file in each sample format the player reads: the router renders exactly its samples,
// in order, and the play ends with the file.
TEST(QovaPlayerPlay, PlaysAWavFileSampleForSample) {
    struct Format {
        const char* name;
        std::uint16_t tag;  // 1 PCM, 3 float, 0xFFFE extensible
        std::uint16_t bits;
        std::uint16_t channels;
        bool sizeUnknown;  // data size left at 0xFFFFFFFF, as a recorder cut off leaves it
    };
    const Format formats[] = {{"16-bit mono", 1, 16, 1, false},
                              {"24-bit stereo, extensible", 0xFFFE, 24, 2, false},
                              {"32-bit integer stereo, size unknown", 1, 32, 2, true},
                              {"32-bit float stereo", 3, 32, 2, false}};
    constexpr std::uint32_t kFrames = 14400;  // 0.3 s
    // Every value is a multiple of 2^-15 and none is 0, so each format carries it exactly.
    auto level = [](std::uint32_t frame, int channel) {
        const auto step = static_cast<std::int32_t>(1000 + frame % 20000);
        return channel == 0 ? step : -step / 2 - 1;
    };

    testing_support::TempFolder folder;
    for (const Format& format : formats) {
        SCOPED_TRACE(format.name);
        const std::uint32_t sampleBytes = format.bits / 8u;
        const std::uint32_t blockBytes = sampleBytes * format.channels;
        std::string data;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            for (int c = 0; c < format.channels; ++c) {
                const std::int32_t value = level(f, c);
                if (format.tag == 3) {
                    const float sample = static_cast<float>(value) / 32768.0f;
                    data.append(reinterpret_cast<const char*>(&sample), 4);
                } else {
                    const std::int32_t scaled = value * (1 << (format.bits - 16));
                    data.append(reinterpret_cast<const char*>(&scaled), sampleBytes);
                }
            }
        }
        auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
        auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
        std::string fmt = u16(format.tag) + u16(format.channels) + u32(48000) + u32(48000 * blockBytes) +
                          u16(static_cast<std::uint16_t>(blockBytes)) + u16(format.bits);
        if (format.tag == 0xFFFE) {
            fmt += u16(22) + u16(format.bits) + u32(format.channels == 1 ? 4 : 3) + u16(1) +
                   std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
        }
        const std::string list = "LIST" + u32(4) + "INFO";  // a chunk the reader must step over
        const std::uint32_t dataSize = format.sizeUnknown ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data.size());
        const std::string body =
            "WAVE" + list + "fmt " + u32(static_cast<std::uint32_t>(fmt.size())) + fmt + "data" + u32(dataSize) + data;
        const std::wstring path =
            folder.file((std::to_wstring(format.bits) + L"-" + std::to_wstring(format.tag) + L".wav").c_str());
        testing_support::writeFile(path, "RIFF" + u32(static_cast<std::uint32_t>(body.size())) + body);

        Rig rig;
        const ProcessResult result = rig.run(L"play Lounge --wav \"" + path + L"\"");
        EXPECT_EQ(result.exitCode, 0u) << result.output;
        EXPECT_TRUE(contains(result.output, "done: closed card qova:0000000a after 0.3 s, ")) << result.output;
        EXPECT_TRUE(reportedUnderruns(result.output, "qova:0000000a")) << result.output;
        const Recorder::Track& track = rig.recorder().of(kEight.key);
        for (std::uint32_t c = 0; c < 2; ++c) {
            std::vector<float> rendered;
            for (float s : track.channel(c)) {
                if (s != 0.0f) rendered.push_back(s);
            }
            std::vector<float> expected;
            for (std::uint32_t f = 0; f < kFrames; ++f)
                expected.push_back(static_cast<float>(level(f, format.channels == 2 ? static_cast<int>(c) : 0)) /
                                   32768.0f);
            EXPECT_EQ(rendered, expected) << "channel " << c;
        }
    }
}

// --- failures ---------------------------------------------------------------------------------

// Every refusal ends the player with its own code and says what happened, and leaves the ring
// of the card's holder alone.
TEST(QovaPlayerFailures, EachRefusalHasItsMessageAndCode) {
    Rig rig;
    testing_support::TempFolder folder;
    const std::wstring slowWav = folder.file(L"44k.wav");
    {
        std::string header = "RIFF";
        auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
        const std::string fmt =
            std::string("\x01\x00\x02\x00", 4) + u32(44100) + u32(44100 * 4) + std::string("\x04\x00\x10\x00", 4);
        const std::string body = "WAVEfmt " + u32(16) + fmt + "data" + u32(8) + std::string(8, '\0');
        testing_support::writeFile(slowWav, header + u32(static_cast<std::uint32_t>(body.size())) + body);
    }
    const std::wstring notWav = folder.file(L"text.wav");
    testing_support::writeFile(notWav, "RIFF....TEXTsome words, not sound");
    core::OpenCardResult held = openOrFail(rig.router(), kOtherPlayer, "0000000d");
    std::optional<SectionView> heldRing = rig.waitForRing("0000000d");
    ASSERT_TRUE(heldRing);

    struct Case {
        std::wstring args;
        DWORD exitCode;
        std::string says;
    };
    const Case cases[] = {
        {L"play qova:000000ff --tone 440", 6, "QOVA has no card qova:000000ff"},
        {L"play Nowhere --tone 440", 6, "no card is named \"Nowhere\""},
        {L"play Porch --tone 440", 8, "card qova:0000000d is busy: another player has it open"},
        {L"play Attic --tone 440", 9, "card qova:0000000c is offline"},
        {L"play Lounge --wav \"" + slowWav + L"\"", 15, "it is at 44100 Hz; cards play 48000 Hz"},
        {L"play Lounge --wav \"" + notWav + L"\"", 15, "text.wav cannot be played: it is not a WAV file"},
        {L"play Lounge --wav \"" + folder.file(L"none.wav") + L"\"", 15, "cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.args));
        const ProcessResult result = rig.run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
        EXPECT_TRUE(result.output.starts_with("qova-player: ")) << result.output;
        EXPECT_TRUE(contains(result.output, c.says)) << result.output;
    }
    EXPECT_EQ(heldRing->u32(kCloseReasonAt), 0u) << "the holder lost its ring";
    EXPECT_EQ(rig.state("0000000a"), "ready") << "a failed player left a card held";

    const std::wstring nobody = L"\\\\.\\pipe\\qova-nobody-" + std::to_wstring(GetCurrentProcessId());
    const ProcessResult missing = testing_support::runProgram(kPlayer, L"--pipe " + nobody + L" cards");
    EXPECT_EQ(missing.exitCode, 3u) << missing.output;
    EXPECT_TRUE(contains(missing.output, "QOVA is not running: there is no pipe " + toUtf8(nobody))) << missing.output;
}

// A QOVA busy with other clients has no pipe instance for a moment between handing one out and
// making the next: a pipe that appears within half a second is found, not reported missing.
TEST(QovaPlayerFailures, APipeThatAppearsAMomentLaterIsFound) {
    Rig rig;
    const std::wstring late = L"\\\\.\\pipe\\qova-late-" + std::to_wstring(GetCurrentProcessId());
    AsyncProgram player(kPlayer, L"--pipe " + late + L" cards");
    ASSERT_TRUE(player.started());
    std::this_thread::sleep_for(300ms);  // the player has looked for the pipe by now
    ControlServer server(rig.router(), [&](std::uint64_t client) { rig.router().clientGone(client); });
    std::string error;
    ASSERT_TRUE(server.start(late, error)) << error;
    const ProcessResult result = player.finish(kRunTimeoutMs);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_TRUE(contains(result.output, "qova:0000000a")) << result.output;
}

// QOVA takes the ring back while the player plays: the card removed by new settings, or QOVA
// shutting its engine down.
TEST(QovaPlayerFailures, AWithdrawnRingEndsThePlayWithItsOwnCode) {
    struct Way {
        const char* name;
        void (*withdraw)(Router&);
    };
    const Way ways[] = {{"card removed",
                         [](Router& router) {
                             core::Settings settings = rigSettings();
                             settings.cards.erase(settings.cards.begin());
                             EXPECT_TRUE(router.apply(settings).empty());
                         }},
                        {"engine shut down", [](Router& router) { router.closeAll(); }}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        Rig rig;
        AsyncProgram player(kPlayer, rig.args(L"play Lounge --tone 440"));
        std::optional<SectionView> ring = rig.waitForRing("0000000a");
        ASSERT_TRUE(ring);
        ASSERT_TRUE(eventually([&] { return ring->u64(kReadPosAt) >= 4800; }));
        way.withdraw(rig.router());
        const ProcessResult result = player.finish(kRunTimeoutMs);
        EXPECT_EQ(result.exitCode, 14u) << result.output;
        EXPECT_TRUE(contains(result.output, "qova-player: QOVA withdrew the ring of card qova:0000000a"))
            << result.output;
        EXPECT_EQ(ring->u32(kCloseReasonAt), 1u);
    }
}

TEST(QovaPlayerFailures, BadCommandLinesAreRefusedBeforeAnythingElse) {
    struct Case {
        const wchar_t* args;
        const char* says;
    };
    // The pipe is never reached: none of these would find one.
    const Case cases[] = {
        {L"", "no command given"},
        {L"dance", "unknown command dance"},
        {L"cards Lounge", "cards takes no card"},
        {L"cards --volume 3", "unknown option --volume"},
        {L"play", "play needs a card"},
        {L"play Lounge Porch --tone 440", "play takes one card only"},
        {L"play Lounge", "play needs exactly one of --tone HZ and --wav FILE"},
        {L"play Lounge --tone 440 --wav x.wav", "play needs exactly one of --tone HZ and --wav FILE"},
        {L"play Lounge --tone abc", "--tone wants a frequency"},
        {L"play Lounge --tone 30000", "--tone wants a frequency"},
        {L"play Lounge --tone 440 --seconds -1", "--seconds wants a positive number"},
        {L"play Lounge --tone 440 --seconds", "--seconds needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.args));
        const ProcessResult result =
            testing_support::runProgram(kPlayer, std::wstring(L"--pipe \\\\.\\pipe\\qova-never ") + c.args);
        EXPECT_EQ(result.exitCode, 2u) << result.output;
        EXPECT_TRUE(contains(result.output, std::string("qova-player: ") + c.says)) << result.output;
        EXPECT_TRUE(contains(result.output, "Usage:")) << result.output;
    }
    const ProcessResult help = testing_support::runProgram(kPlayer, L"play Lounge --help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(contains(help.output, "Exit codes:\n   0  done")) << help.output;
    EXPECT_TRUE(contains(help.output, "  14  QOVA withdrew the ring while it played\n")) << help.output;
}

// --- Ctrl+C -----------------------------------------------------------------------------------

// Ctrl+C reaches every process on a console, so the player gets a console of its own; the test
// joins that console just long enough to press Ctrl+C on it, ignoring the key itself.
TEST(QovaPlayerStop, CtrlCClosesTheCardAndEndsWithZero) {
    Rig rig;
    testing_support::TempFolder folder;
    const std::wstring outputPath = folder.file(L"out.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(output);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(testing_support::startProgram(kPlayer, rig.args(L"play Lounge --tone 440"), true, CREATE_NEW_CONSOLE,
                                              startup, info));
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    output.reset();

    std::optional<SectionView> ring = rig.waitForRing("0000000a");
    ASSERT_TRUE(ring);
    ASSERT_TRUE(eventually([&] { return ring->u64(kReadPosAt) >= 4800; }));
    // A process joins one console at a time, and Wine gives the test program one of its own. Its
    // output goes through the handles it started with, so leaving that console loses nothing.
    FreeConsole();
    const bool attached = AttachConsole(info.dwProcessId) != 0;
    const DWORD attachError = GetLastError();
    bool sent = false;
    if (attached) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    }
    const bool ended = sent && WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    if (attached) {
        FreeConsole();
        SetConsoleCtrlHandler(nullptr, FALSE);
        AttachConsole(ATTACH_PARENT_PROCESS);
    }
    if (!ended) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 5000);
    }
    if (!sent) {
        GTEST_SKIP() << "Wine could not press Ctrl+C on the player's console ("
                     << (attached ? std::string("GenerateConsoleCtrlEvent failed")
                                  : "AttachConsole failed, error " + std::to_string(attachError))
                     << ")";
    }
    ASSERT_TRUE(ended) << "Ctrl+C did not stop the player";
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    const std::string text = testing_support::readFile(outputPath);
    EXPECT_EQ(exitCode, 0u) << text;
    EXPECT_TRUE(contains(text, "stopped: closed card qova:0000000a after ")) << text;
    EXPECT_EQ(ring->u32(kCloseReasonAt), 2u) << "closed at the player's request";
    EXPECT_EQ(rig.state("0000000a"), "ready");
}

}  // namespace
}  // namespace win
