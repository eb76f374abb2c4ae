#pragma once

// The "play" command: opens a card and feeds its ring until the sound ends, Ctrl+C comes or
// QOVA withdraws the ring, then closes the card.

#include "tools/player/CommandLine.h"

namespace player {

// Plays as the options ask and returns the exit code; what went wrong is on the standard error.
int playCard(const Options& options);

}  // namespace player
