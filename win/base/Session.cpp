#include "win/base/Session.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

#include "win/base/LocalMemory.h"
#include "win/base/UniqueHandle.h"

namespace win {

std::wstring userSidString() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
    const UniqueHandle token(rawToken);

    DWORD sizeBytes = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &sizeBytes);
    if (sizeBytes == 0) return {};
    std::vector<unsigned char> buffer(sizeBytes);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), sizeBytes, &sizeBytes)) return {};

    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    wchar_t* rawText = nullptr;
    if (!ConvertSidToStringSidW(user->User.Sid, &rawText)) return {};
    const UniqueLocal<wchar_t> text(rawText);
    return text.get();
}

std::uint32_t sessionId() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

}  // namespace win
