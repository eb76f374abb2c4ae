#include "app/shell/Folders.h"

#include <windows.h>

#include <sddl.h>
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

std::wstring userSidString() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
    win::UniqueHandle token(rawToken);

    DWORD sizeBytes = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &sizeBytes);
    if (sizeBytes == 0) return {};
    std::vector<unsigned char> buffer(sizeBytes);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), sizeBytes, &sizeBytes)) return {};

    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(user->User.Sid, &text)) return {};
    std::wstring sid = text;
    LocalFree(text);
    return sid;
}

std::uint32_t sessionId() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

}  // namespace app
