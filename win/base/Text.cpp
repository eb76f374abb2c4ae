#include "win/base/Text.h"

#include <windows.h>

#include <cstdio>

#include "win/base/LocalMemory.h"

namespace win {

std::string systemErrorText(unsigned long code) {
    wchar_t* rawBuffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&rawBuffer), 0, nullptr);
    const UniqueLocal<wchar_t> buffer(rawBuffer);
    std::string text;
    if (length > 0 && buffer) text = toUtf8(std::wstring_view(buffer.get(), length));
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

}  // namespace win
