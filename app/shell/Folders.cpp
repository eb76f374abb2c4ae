#include "app/shell/Folders.h"

#include <windows.h>

#include <shlobj.h>

#include <vector>

#include "win/base/UniqueHandle.h"

namespace app {

std::wstring dataDirOverride;

namespace {

std::wstring programFolder(REFKNOWNFOLDERID base) {
    std::wstring folder = dataDirOverride;
    if (folder.empty()) {
        wchar_t* basePath = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(base, KF_FLAG_CREATE, nullptr, &basePath))) folder = basePath;
        CoTaskMemFree(basePath);  // also owed when the call failed
        folder += L"\\QOVA";
    }
    // An existing folder is fine; a folder that cannot be made shows up when its files fail.
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

std::wstring dataFolder() {
    return programFolder(FOLDERID_RoamingAppData);
}

std::wstring logFolder() {
    return programFolder(FOLDERID_LocalAppData);
}

std::wstring logFilePath() {
    return logFolder() + L"\\qova.log";
}

std::wstring configFilePath() {
    return dataFolder() + L"\\config.json";
}

}  // namespace app
