// The program's entry: command line, "--version", the single-instance check, then the
// shell (Shell.h) runs it from start-up to shutdown.

#include <windows.h>

#include "app/shell/Folders.h"
#include "app/shell/LaunchOptions.h"
#include "app/shell/Shell.h"
#include "app/shell/SingleInstance.h"
#include "win/base/Session.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const app::LaunchOptions options = app::readCommandLine();
    if (options.showVersion) {
        app::writeVersionLine();
        return 0;
    }

    app::SingleInstance singleInstance;
    if (!singleInstance.claim(app::singleInstanceMutexName(win::userSidString(), options.pipeName))) return 0;
    return app::runShell(instance, options, singleInstance);
}
