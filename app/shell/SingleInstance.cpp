#include "app/shell/SingleInstance.h"

namespace app {

std::uint64_t fnv1a64(std::wstring_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](unsigned byte) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    };
    for (wchar_t unit : text) {
        mix(static_cast<unsigned>(unit) & 0xff);
        mix((static_cast<unsigned>(unit) >> 8) & 0xff);
    }
    return hash;
}

std::wstring singleInstanceMutexName(std::wstring_view userSid, std::wstring_view pipeName) {
    std::wstring name = L"Local\\QOVA-single-";
    name += userSid;
    if (!pipeName.empty()) {
        name += L'-';
        name += std::to_wstring(fnv1a64(pipeName));
    }
    return name;
}

bool SingleInstance::claim(const std::wstring& mutexName) {
    win::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, mutexName.c_str()));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        if (HWND window = FindWindowW(kMainWindowClass, nullptr)) PostMessageW(window, kShowRequestMessage, 0, 0);
        return false;
    }
    mutex_ = std::move(mutex);
    return true;
}

void SingleInstance::release() {
    if (mutex_) ReleaseMutex(mutex_.get());
    mutex_.reset();
}

}  // namespace app
