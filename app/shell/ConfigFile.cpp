#include "app/shell/ConfigFile.h"

#include <windows.h>

#include "app/shell/Folders.h"
#include "core/settings/SettingsFile.h"
#include "win/base/Log.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

namespace app {

bool readFileText(const std::wstring& path, std::string& text) {
    win::UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER sizeBytes;
    if (!GetFileSizeEx(file.get(), &sizeBytes) || sizeBytes.QuadPart > static_cast<LONGLONG>(kMaxConfigFileBytes))
        return false;
    std::string bytes(static_cast<std::size_t>(sizeBytes.QuadPart), '\0');
    DWORD readBytes = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &readBytes, nullptr) ||
         readBytes != bytes.size()))
        return false;
    text = std::move(bytes);
    return true;
}

bool writeFileAtomically(const std::wstring& path, std::string_view bytes) {
    const std::wstring temporaryPath = path + L".tmp";
    win::UniqueHandle file(CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD writtenBytes = 0;
    const bool written = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &writtenBytes, nullptr) &&
                         writtenBytes == bytes.size() && FlushFileBuffers(file.get());
    file.reset();
    if (!written) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    return MoveFileExW(temporaryPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

core::Settings loadSettings() {
    const std::wstring path = configFilePath();
    std::string text;
    if (!readFileText(path, text)) return {};

    core::Settings settings;
    std::string error;
    if (core::readSettings(text, settings, error)) return settings;

    // Keep the file for the user instead of letting the next save overwrite it.
    const std::wstring asidePath = dataFolder() + L"\\config.unreadable.json";
    MoveFileExW(path.c_str(), asidePath.c_str(), MOVEFILE_REPLACE_EXISTING);
    win::logLine("config: %s; moved aside to config.unreadable.json", error.c_str());
    return {};
}

void saveSettings(const core::Settings& settings) {
    const std::wstring path = configFilePath();
    // Text that is not UTF-8 cannot be written as JSON; refusing it keeps the last good file.
    if (!core::settingsTextIsUtf8(settings) || !writeFileAtomically(path, core::writeSettings(settings)))
        win::logLine("config: could not save %s", win::toUtf8(path).c_str());
}

}  // namespace app
