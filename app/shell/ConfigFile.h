#pragma once

// config.json on disk: the start-up load with its fall-backs, the save after Apply, and the
// two file primitives they stand on. UI thread.

#include <string>
#include <string_view>

#include "core/settings/Settings.h"

namespace app {

inline constexpr unsigned long kMaxConfigFileBytes = 0xFFFFFF;

// The settings in config.json, or default settings when there is no readable file. A file
// that does not read as settings is moved aside to config.unreadable.json, with a log line.
// A file that is there but cannot be read (held open by another program past a short wait,
// an I/O error), or could not be moved aside, is the user's only copy: saveSettings leaves
// it alone until the next load, and the log says why.
core::Settings loadSettings();

enum class SaveOutcome {
    Saved,
    Failed,    // the write failed, or the settings hold text that is not UTF-8; logged
    Withheld,  // the file found at load is kept as it is
};

// Writes the settings to config.json atomically.
SaveOutcome saveSettings(const core::Settings& settings);

// The whole file, when it exists, can be read and is at most kMaxConfigFileBytes long.
// ERROR_SUCCESS, or why not: the system's error, ERROR_FILE_TOO_LARGE for a longer file.
unsigned long readFileText(const std::wstring& path, std::string& text);

// Writes path + ".tmp", flushes it, then renames it over path. When the rename fails the
// temporary file stays and the old file is left as it was.
bool writeFileAtomically(const std::wstring& path, std::string_view bytes);

}  // namespace app
