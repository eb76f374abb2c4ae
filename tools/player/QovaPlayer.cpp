// qova-player: speaks for a player app over QOVA's control pipe, so that cards can be tried
// without the app (and so that the end-to-end tests have a real second program).
//
//   qova-player [--pipe NAME] cards
//   qova-player [--pipe NAME] play CARD (--tone HZ | --wav FILE) [--seconds N] [--name TEXT]
//
// This file holds the "cards" command and wmain. Beside it: the exit codes and console output
// (PlayerConsole), the command line (CommandLine), the pipe client (QovaConnection), the tone
// and WAV sources (SoundSources) and the "play" command (Playback).
//
// The command line arrives in UTF-16 (wmain); everything printed is UTF-8.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/player/CommandLine.h"
#include "tools/player/Playback.h"
#include "tools/player/PlayerConsole.h"
#include "tools/player/QovaConnection.h"

namespace player {

namespace {

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
    QovaConnection pipe;
    nlohmann::json reply;
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

}  // namespace

}  // namespace player

int wmain(int argc, wchar_t** argv) {
    using namespace player;
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
