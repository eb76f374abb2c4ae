#pragma once

// qova-player's exit codes with what each means, and its console output: results on the
// standard output, errors on the standard error, all of it UTF-8.

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

namespace player {

// Each failure a script may want to tell apart has its own code. 5 is left out: under Wine
// a crash ends a program with 5.
enum ExitCode : int {
    kExitDone = 0,           // played to the end, stopped with Ctrl+C, or listed the cards
    kExitOther = 1,          // an error reply this program does not know
    kExitUsage = 2,          // bad command line
    kExitNotRunning = 3,     // no pipe of that name: QOVA is not running there
    kExitPipe = 4,           // the pipe cannot be opened or broke, or a reply is not readable
    kExitUnknownCard = 6,    // "unknown_card", or no card of that name
    kExitAmbiguous = 7,      // several cards carry that name
    kExitBusy = 8,           // "busy"
    kExitOffline = 9,        // "offline"
    kExitInternal = 10,      // "internal"
    kExitProtocol = 11,      // "protocol_mismatch"
    kExitBadRequest = 12,    // "bad_request"
    kExitRingUnusable = 13,  // the ring QOVA handed out cannot be attached
    kExitWithdrawn = 14,     // QOVA withdrew the ring while it played
    kExitBadSound = 15,      // the WAV file cannot be played
};

struct ExitCodeText {
    int code;
    const char* meaning;
};

// Kept beside the codes, so that a new code gets its line in the usage text.
inline constexpr ExitCodeText kExitCodeTexts[] = {
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

// Writes the text and flushes it at once: the status line has no newline to do that.
void writeTo(std::FILE* stream, std::string_view text);

void say(std::string_view text);

// Errors go to the standard error, one line each, prefixed so that they stand out in scripts.
void complain(std::string_view text);

template <typename... Args>
std::string formatText(const char* pattern, Args... args) {
    const int length = std::snprintf(nullptr, 0, pattern, args...);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(out.data(), out.size(), pattern, args...);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

}  // namespace player
