// e2e_probe: the Windows-side chores of the end-to-end suite that a Linux script cannot do.
//
//   e2e_probe endpoints
//       One line per WASAPI playback endpoint: device key, tab, name, tab, channels, tab,
//       rate. The script picks its sinks by name; the keys are made per Wine prefix.
//   e2e_probe quit PIPE
//       Quits the QOVA that serves PIPE as a user would from the tray menu, answering Yes
//       when it asks because a player still plays. Exit 0 once QOVA's process has ended, 1
//       when it is not running, 3 when it does not end within 20 s.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/shell/MainWindow.h"
#include "app/shell/SingleInstance.h"
#include "app/ui/Localisation.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/DeviceScan.h"

namespace {

using namespace std::chrono_literals;

int listEndpoints() {
    std::string error;
    const std::vector<win::DeviceInfo> devices = win::listWasapiDevices(error);
    if (!error.empty()) std::fprintf(stderr, "e2e_probe: %s\n", error.c_str());
    for (const win::DeviceInfo& device : devices)
        std::printf("%s\t%s\t%u\t%u\n", device.key.c_str(), device.name.c_str(), device.channels, device.sampleRate);
    return devices.empty() ? 1 : 0;
}

struct DialogSearch {
    DWORD processId;
    std::wstring caption;
    HWND found;
};

BOOL CALLBACK matchDialog(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<DialogSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    wchar_t caption[128] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, caption, 128);
    if (owner != search.processId || wcscmp(className, L"#32770") != 0 || search.caption != caption) return TRUE;
    search.found = window;
    return FALSE;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchMainWindow(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (owner != search.processId || wcscmp(className, app::kMainWindowClass) != 0) return TRUE;
    search.found = window;
    return FALSE;
}

// The main window of the QOVA that serves this pipe (several may run, one per pipe).
HWND qovaWindowServing(const std::wstring& pipe) {
    win::UniqueHandle client(
        CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ULONG serverId = 0;
    if (!client || !GetNamedPipeServerProcessId(client.get(), &serverId)) return nullptr;
    WindowSearch search{serverId, nullptr};
    EnumWindows(matchMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int quitQova(const std::wstring& pipe) {
    HWND window = qovaWindowServing(pipe);
    if (window == nullptr) {
        std::fprintf(stderr, "e2e_probe: no QOVA window serves %s\n", win::toUtf8(pipe).c_str());
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        std::fprintf(stderr, "e2e_probe: cannot watch QOVA's process %lu\n", processId);
        return 1;
    }
    PostMessageW(window, WM_COMMAND, app::kQuitCommand, 0);

    const std::wstring question = win::toWide(app::uiText(app::UiLanguage::English, app::UiText::QuitAppQuestion));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool answered = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) {
            std::printf("QOVA ended%s\n", answered ? " after Yes to its question" : " without a question");
            return 0;
        }
        if (answered) continue;
        DialogSearch search{processId, question, nullptr};
        EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            PostMessageW(search.found, WM_COMMAND, IDYES, 0);
            answered = true;
        }
    }
    std::fprintf(stderr, "e2e_probe: QOVA did not end within 20 s%s\n", answered ? " after Yes" : "");
    return 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc >= 2 ? argv[1] : L"";
    if (command == L"endpoints" && argc == 2) return listEndpoints();
    if (command == L"quit" && argc == 3) return quitQova(argv[2]);
    std::fprintf(stderr, "usage: e2e_probe endpoints | quit PIPE\n");
    return 2;
}
