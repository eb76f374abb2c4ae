#pragma once

// Starting at logon through the current user's Run key: no administrator rights needed, and
// the registry value itself is the setting, read back every time it is shown. The program
// never turns it on by itself.

#include <string>

namespace app {

inline constexpr wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"QOVA";

// UI thread. The running executable's full path in double quotes, then " --tray".
std::wstring startCommandLine();

// UI thread. True only when the Run value is a string equal to startCommandLine(), so a value
// left by a copy of the program in another folder reads as off.
bool isStartWithWindowsOn();

// UI thread. Writes or deletes the Run value and logs the outcome; false when that failed.
// Turning it off when there is no value succeeds.
bool setStartWithWindows(bool on);

}  // namespace app
