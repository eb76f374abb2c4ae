#pragma once

// One copy of the program per user and control pipe. A second copy asks the first to show
// its window and ends. UI thread.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "win/base/UniqueHandle.h"

namespace app {

inline constexpr UINT kShowRequestMessage = WM_APP + 2;
inline constexpr wchar_t kMainWindowClass[] = L"QOVAWindow";

// 64-bit FNV-1a over the text's UTF-16 code units as little-endian bytes.
std::uint64_t fnv1a64(std::wstring_view text);

// "Local\QOVA-single-" + SID, and "-" + fnv1a64(pipe name) in decimal when a pipe was given.
std::wstring singleInstanceMutexName(std::wstring_view userSid, std::wstring_view pipeName);

class SingleInstance {
public:
    SingleInstance() = default;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    ~SingleInstance() { release(); }

    // True when this copy may run (it now owns the mutex, or the mutex could not be made at
    // all). False when another copy owns it; that copy has been asked to show its window.
    bool claim(const std::wstring& mutexName);

    // Releases and closes the mutex; must run on the thread that claimed it.
    void release();

private:
    win::UniqueHandle mutex_;
};

}  // namespace app
