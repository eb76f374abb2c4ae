#pragma once

// The program's log: one timestamped line per call, to the debugger output and, once
// openLog has run, to qova.log in the log folder. Any thread may log except the real-time
// render threads.

#include <cstdint>
#include <cstdio>
#include <string>

#if defined(__MINGW_PRINTF_FORMAT)
#define QOVA_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define QOVA_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

namespace win {

inline constexpr std::uint64_t kLogRotateBytes = 0x200000;  // a larger qova.log is rotated at start-up
inline constexpr std::size_t kLogMessageBytes = 2048;       // longer messages are cut to 2047 bytes
inline constexpr std::size_t kLogLineBytes = 2200;

// Any thread. Never fails visibly; allocates nothing.
void logLine(const char* format, ...) QOVA_PRINTF(1, 2);

// UI thread, once at start-up: from then on lines also go to folder\qova.log. A second call
// does nothing.
void openLog(const std::wstring& folder);

// Opens folder\qova.log for appending (others may read it, not write it), first moving an
// oversized one to qova.old.log. Null when the file cannot be opened.
std::FILE* openLogFile(const std::wstring& folder);

}  // namespace win
