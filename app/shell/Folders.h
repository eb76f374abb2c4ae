#pragma once

// Where the program keeps its files, and the two identity values used in object names.
// UI thread (the folder override is written only while the command line is read).

#include <cstdint>
#include <string>

namespace app {

// Set by "--data-dir"; when not empty it replaces both folders.
extern std::wstring dataDirOverride;

// Roaming application data + "\QOVA" (settings); created when missing.
std::wstring dataFolder();
// Local application data + "\QOVA" (log files); created when missing.
std::wstring logFolder();
// dataFolder() + "\config.json".
std::wstring configFilePath();
// logFolder() + "\qova.log".
std::wstring logFilePath();

}  // namespace app
