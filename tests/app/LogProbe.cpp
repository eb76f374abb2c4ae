// A second process for the log tests: logs a line before the log file is open and one after,
// so that a test acting as its debugger can see where each line went.
// Usage: log_probe <folder>

#include <windows.h>

#include "app/Folders.h"
#include "app/Log.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    app::dataDirOverride = argv[1];
    app::logLine("probe line before the file is open");
    app::openLog();
    app::logLine("probe line after the file is open");
    return 0;
}
