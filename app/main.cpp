// The program's entry: command line, "--version", the single-instance check, then the
// start-up proper.

#include <windows.h>

#include "app/ConfigFile.h"
#include "app/Folders.h"
#include "app/LaunchOptions.h"
#include "app/Log.h"
#include "app/SingleInstance.h"
#include "core/Version.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const app::LaunchOptions options = app::readCommandLine();
    if (options.showVersion) {
        app::writeVersionLine();
        return 0;
    }

    app::SingleInstance instance;
    if (!instance.claim(app::singleInstanceMutexName(app::userSidString(), options.pipeName))) return 0;

    app::openLog();
    app::logLine("QOVA %s starting (session %lu)", QOVA_VERSION_TEXT, static_cast<unsigned long>(app::sessionId()));
    // Loaded now so that an unreadable file is moved aside and reported at every start.
    [[maybe_unused]] const core::Settings settings = app::loadSettings();
    return 0;
}
