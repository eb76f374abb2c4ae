#pragma once

// qova-player's command line: what it asks for, how argv is read into that, and the usage
// text that describes it.

#include <optional>
#include <string>

namespace player {

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

// The whole help text, exit codes included.
std::string usageText();

// Fills options from argv; false with a one-line reason on a bad command line.
bool parseArguments(int argc, wchar_t** argv, Options& options, std::string& error);

}  // namespace player
