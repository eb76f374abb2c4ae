#include "app/shell/ConfigFile.h"

#include <windows.h>

#include "app/shell/Folders.h"
#include "core/settings/SettingsFile.h"
#include "win/base/Log.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

namespace app {

namespace {

// A backup program or a virus scanner may hold the file open for a moment.
constexpr int kSharingRetries = 10;
constexpr DWORD kSharingRetryMs = 100;

// Set by loadSettings when the file on disk must not be saved over in this run. UI thread.
bool g_keepFile = false;

bool missingFile(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

unsigned long readFileText(const std::wstring& path, std::string& text) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    LARGE_INTEGER sizeBytes;
    if (!GetFileSizeEx(file.get(), &sizeBytes)) return GetLastError();
    if (sizeBytes.QuadPart > static_cast<LONGLONG>(kMaxConfigFileBytes)) return ERROR_FILE_TOO_LARGE;
    std::string bytes(static_cast<std::size_t>(sizeBytes.QuadPart), '\0');
    DWORD readBytes = 0;
    if (!bytes.empty()) {
        if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &readBytes, nullptr))
            return GetLastError();
        if (readBytes != bytes.size()) return ERROR_HANDLE_EOF;  // shortened while we read
    }
    text = std::move(bytes);
    return ERROR_SUCCESS;
}

bool writeFileAtomically(const std::wstring& path, std::string_view bytes) {
    const std::wstring temporaryPath = path + L".tmp";
    win::UniqueHandle file(
        CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD writtenBytes = 0;
    const bool written =
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &writtenBytes, nullptr) &&
        writtenBytes == bytes.size() && FlushFileBuffers(file.get());
    file.reset();
    if (!written) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    return MoveFileExW(temporaryPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

core::Settings loadSettings() {
    g_keepFile = false;
    const std::wstring path = configFilePath();
    std::string text;
    DWORD readError = readFileText(path, text);
    for (int retry = 0;
         retry < kSharingRetries && (readError == ERROR_SHARING_VIOLATION || readError == ERROR_LOCK_VIOLATION);
         ++retry) {
        Sleep(kSharingRetryMs);
        readError = readFileText(path, text);
    }
    // An oversized file is no settings file of ours: the next save replaces it.
    if (missingFile(readError) || readError == ERROR_FILE_TOO_LARGE) return {};
    if (readError != ERROR_SUCCESS) {
        g_keepFile = true;
        win::logLine("config: cannot read %s: %s; starting without settings, and the file is kept as it is",
                     win::toUtf8(path).c_str(), win::systemErrorText(readError).c_str());
        return {};
    }

    core::Settings settings;
    std::string error;
    if (core::readSettings(text, settings, error)) return settings;

    // Keep the file for the user instead of letting the next save overwrite it.
    const std::wstring asidePath = dataFolder() + L"\\config.unreadable.json";
    if (MoveFileExW(path.c_str(), asidePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        win::logLine("config: %s; moved aside to config.unreadable.json", error.c_str());
    } else {
        g_keepFile = true;
        win::logLine("config: %s; could not move it aside: %s; the file is kept as it is", error.c_str(),
                     win::systemErrorText(GetLastError()).c_str());
    }
    return {};
}

SaveOutcome saveSettings(const core::Settings& settings) {
    const std::wstring path = configFilePath();
    if (g_keepFile) {
        win::logLine("config: not saved, to keep %s as it was found at start-up", win::toUtf8(path).c_str());
        return SaveOutcome::Withheld;
    }
    // Text that is not UTF-8 cannot be written as JSON; refusing it keeps the last good file.
    if (!core::settingsTextIsUtf8(settings) || !writeFileAtomically(path, core::writeSettings(settings))) {
        win::logLine("config: could not save %s", win::toUtf8(path).c_str());
        return SaveOutcome::Failed;
    }
    return SaveOutcome::Saved;
}

}  // namespace app
