#include "app/shell/StartWithWindows.h"

#include <windows.h>

#include <cwchar>
#include <utility>
#include <vector>

#include "win/base/Log.h"
#include "win/base/RegistryKey.h"

namespace app {

using win::RegistryKey;

namespace {

constexpr DWORD kFirstPathChars = MAX_PATH;
constexpr DWORD kRunValueBytes = 2048;  // a longer value is not ours and reads as off

std::wstring executablePath() {
    std::vector<wchar_t> buffer(kFirstPathChars);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD chars = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (chars == 0) return {};
        // A path that fills the buffer may have been cut short.
        if (chars < size) return std::wstring(buffer.data(), chars);
        buffer.resize(buffer.size() * 2);
    }
}

enum class RunValueChange { KeyUnavailable, Done, Failed };

// The key is closed again before the outcome is logged.
RunValueChange changeRunValue(bool on) {
    RegistryKey run;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, run.receive(),
                        nullptr) != ERROR_SUCCESS)
        return RunValueChange::KeyUnavailable;
    LSTATUS status;
    if (on) {
        const std::wstring commandLine = startCommandLine();
        status = RegSetValueExW(run.get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(commandLine.c_str()),
                                static_cast<DWORD>((commandLine.size() + 1) * sizeof(wchar_t)));
    } else {
        status = RegDeleteValueW(run.get(), kRunValueName);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;  // already off
    }
    return status == ERROR_SUCCESS ? RunValueChange::Done : RunValueChange::Failed;
}

}  // namespace

std::wstring startCommandLine() {
    return L"\"" + executablePath() + L"\" --tray";
}

bool isStartWithWindowsOn() {
    wchar_t stored[kRunValueBytes / sizeof(wchar_t)] = {};
    DWORD sizeBytes = kRunValueBytes;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName, RRF_RT_REG_SZ, nullptr, stored, &sizeBytes) !=
        ERROR_SUCCESS)
        return false;
    const std::wstring_view text(stored, wcsnlen(stored, sizeBytes / sizeof(wchar_t)));
    return text == startCommandLine();
}

bool setStartWithWindows(bool on) {
    const RunValueChange change = changeRunValue(on);
    // A key that cannot be opened goes unreported: the menu and the checkbox show the
    // unchanged state on their next read.
    if (change == RunValueChange::KeyUnavailable) return false;
    const bool ok = change == RunValueChange::Done;
    win::logLine("start with Windows %s: %s", on ? "on" : "off", ok ? "ok" : "failed");
    return ok;
}

}  // namespace app
