#include "tools/player/CommandLine.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/ring/CardRingLayout.h"
#include "tools/player/PlayerConsole.h"
#include "win/base/Text.h"

namespace player {

namespace {

bool parseNumber(std::wstring_view wide, double& value) {
    const std::string text = win::toUtf8(wide);
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end && std::isfinite(value);
}

}  // namespace

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

bool parseArguments(int argc, wchar_t** argv, Options& options, std::string& error) {
    std::vector<std::wstring_view> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.command = Command::Help;
            return true;
        }
        const bool takesValue =
            arg == L"--pipe" || arg == L"--tone" || arg == L"--wav" || arg == L"--seconds" || arg == L"--name";
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
            // Up to half the rate the cards play: a higher sine would come out as a lower one.
            if (!parseNumber(value, number) || number <= 0.0 || number > core::kRingRateHz / 2.0) {
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

}  // namespace player
