// A second process for the shell's tests: what needs a fresh process (the display language,
// read from the environment at process start) or the process log, opened in the given folder.
// Its own resources hold an RCDATA 1 that is not a picture and no RCDATA 2, so it stands for
// a program built without the logo.
// Usage: shell_probe language                       writes windowsLanguageCode() and a line feed
//        shell_probe start-on | start-off | logo <folder>
//        shell_probe save-loop <folder>             saves two settings by turns until killed
// Exit code 0 when the action ran as expected, 3 without a Direct3D device, 2 on bad usage.

#include <windows.h>

#include <string>
#include <string_view>

#include "TestDevice.h"
#include "app/shell/ConfigFile.h"
#include "app/shell/Folders.h"
#include "app/shell/StartWithWindows.h"
#include "app/ui/Localisation.h"
#include "app/ui/Logo.h"
#include "tests/support/SettingsBuilders.h"
#include "win/base/Log.h"

namespace {

int loadLogos() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    int exitCode = 0;
    {
        HRESULT result = S_OK;
        const auto device = testing_support::createTestDevice(result);
        if (device == nullptr) {
            exitCode = 3;
        } else {
            const HMODULE self = GetModuleHandleW(nullptr);
            if (app::loadLogo(device.Get(), self, app::kLogoResourceId, 56).view) exitCode = 1;
            if (app::loadLogo(device.Get(), self, 1, 56).view) exitCode = 1;
        }
    }
    CoUninitialize();
    return exitCode;
}

// Never returns: the test kills it at a moment of its choosing, mostly in the middle of a save.
int saveForever() {
    const core::Settings settings[2] = {test_support::oneOfTwoSettings(0), test_support::oneOfTwoSettings(1)};
    for (unsigned turn = 0;; ++turn) app::saveSettings(settings[turn % 2]);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring_view action = argv[1];
    if (action == L"language") {
        const std::string line = app::windowsLanguageCode() + "\n";
        DWORD written = 0;
        return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
                         nullptr)
                   ? 0
                   : 1;
    }
    if (argc < 3) return 2;
    app::dataDirOverride = argv[2];
    win::openLog(app::logFolder());
    if (action == L"start-on") return app::setStartWithWindows(true) ? 0 : 1;
    if (action == L"start-off") return app::setStartWithWindows(false) ? 0 : 1;
    if (action == L"logo") return loadLogos();
    if (action == L"save-loop") return saveForever();
    return 2;
}
