#include "win/base/Log.h"

#include <windows.h>

#include <share.h>

#include <cstdarg>
#include <mutex>

namespace win {

namespace {

std::mutex logMutex;
std::FILE* logFile = nullptr;  // under logMutex; closed by the process exit

}  // namespace

void logLine(const char* format, ...) {
    char message[kLogMessageBytes];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);

    SYSTEMTIME time;
    GetLocalTime(&time);
    char line[kLogLineBytes];
    std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] %s\n", unsigned{time.wYear},
                  unsigned{time.wMonth}, unsigned{time.wDay}, unsigned{time.wHour}, unsigned{time.wMinute},
                  unsigned{time.wSecond}, unsigned{time.wMilliseconds}, GetCurrentThreadId(), message);

    OutputDebugStringA(line);
    std::lock_guard lock(logMutex);
    if (logFile != nullptr) {
        std::fputs(line, logFile);
        std::fflush(logFile);
    }
}

std::FILE* openLogFile(const std::wstring& folder) {
    const std::wstring path = folder + L"\\qova.log";
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        const std::uint64_t sizeBytes = (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
        if (sizeBytes > kLogRotateBytes) {
            const std::wstring oldPath = folder + L"\\qova.old.log";
            MoveFileExW(path.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }
    return _wfsopen(path.c_str(), L"ab", _SH_DENYWR);
}

void openLog(const std::wstring& folder) {
    std::lock_guard lock(logMutex);
    if (logFile == nullptr) logFile = openLogFile(folder);
}
}  // namespace win
