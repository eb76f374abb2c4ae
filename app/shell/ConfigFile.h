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
core::Settings loadSettings();

// Writes the settings to config.json atomically; a failure is logged and otherwise ignored.
void saveSettings(const core::Settings& settings);

// The whole file, when it exists, can be read and is at most kMaxConfigFileBytes long.
bool readFileText(const std::wstring& path, std::string& text);

// Writes path + ".tmp", flushes it, then renames it over path. When the rename fails the
// temporary file stays and the old file is left as it was.
bool writeFileAtomically(const std::wstring& path, std::string_view bytes);

}  // namespace app
