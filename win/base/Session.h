#pragma once

// Who and where this process runs: the names of the objects QOVA shares with a player (the
// control pipe, the single-instance mutex) are per user and per Windows session.

#include <cstdint>
#include <string>

namespace win {

// The SID of the user this process runs as, in its text form ("S-1-5-21-..."); empty when it
// cannot be read.
std::wstring userSidString();

// The Windows session this process runs in.
std::uint32_t sessionId();

}  // namespace win
