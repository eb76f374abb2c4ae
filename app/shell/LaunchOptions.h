#pragma once

// The command line, read once at start-up on the UI thread.

#include <string>
#include <string_view>
#include <vector>

namespace app {

struct LaunchOptions {
    bool tray = false;            // "--tray": start hidden in the notification area
    std::wstring pipeName;        // "--pipe": control pipe instead of the per-session default
    int nullDevices = 0;          // "--null-devices": test sound cards to add to the scan
    std::wstring screenshotPath;  // "--screenshot": render, save a picture, quit
    int tab = -1;                 // "--tab": the tab shown first; -1 none
    bool showVersion = false;     // "--version" was met: print the version line and end
};

// Reads the arguments that follow the program name, left to right. "--data-dir" sets
// dataDirOverride as it is read; "--version" ends the reading where it stands.
LaunchOptions parseLaunchOptions(const std::vector<std::wstring>& arguments);

// parseLaunchOptions over this process's own command line.
LaunchOptions readCommandLine();

// Signed decimal as the C library reads it: leading white space and a sign allowed, stops at
// the first non-digit, no digits gives 0. Saturates at the limits of int.
int readSignedDecimal(std::wstring_view text);

// "QOVA 0.1.2\n" to standard output, or to the parent's console when there is none.
void writeVersionLine();

}  // namespace app
