#pragma once

// The program after its single-instance check: start-up, the main loop and shutdown, each
// in a fixed order. UI thread (the entry thread) only.

#include <windows.h>

#include "app/shell/LaunchOptions.h"
#include "app/shell/SingleInstance.h"

namespace app {

inline constexpr int kMaxNullDevices = 8;
inline constexpr wchar_t kRunningMutexName[] = L"QOVA-running";
inline constexpr float kLogoSidePerScale = 17.0f * 3.3f;  // the logo's side at a DPI scale of 1

// Runs the program until it quits. `instance` is this copy's claim, released before the
// end (and before a fatal error's message box). Returns the exit code: 0, or 1 when the
// control pipe or Direct3D 11 could not be had.
int runShell(HINSTANCE module, const LaunchOptions& options, SingleInstance& instance);

}  // namespace app
