#include "app/Log.h"

#include "app/Folders.h"

#include <windows.h>

#include <share.h>

#include <cstdarg>
#include <mutex>

namespace app {

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
        const std::uint64_t sizeBytes =
            (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
        if (sizeBytes > kLogRotateBytes) {
            const std::wstring oldPath = folder + L"\\qova.old.log";
            MoveFileExW(path.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }
    return _wfsopen(path.c_str(), L"ab", _SH_DENYWR);
}

void openLog() {
    std::lock_guard lock(logMutex);
    if (logFile == nullptr) logFile = openLogFile(logFolder());
}

std::wstring logFilePath() {
    return logFolder() + L"\\qova.log";
}

std::string systemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) text = toUtf8(std::wstring_view(buffer, length));
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " (0x%08lx)", code);
    return text + suffix;
}

std::string toUtf8(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int length = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::wstring toWide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int length = static_cast<int>(utf8.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, text.data(), units);
    return text;
}

}  // namespace app
