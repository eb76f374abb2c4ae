#pragma once

// The two UTF-8/UTF-16 conversions at the edge to Windows' wide-character functions, and the
// text of Windows error codes. Any thread.

#include <string>
#include <string_view>

namespace win {

// An empty result stands for empty input or a conversion Windows refused.
std::string toUtf8(std::wstring_view wide);
std::wstring toWide(std::string_view utf8);

// The system's text for a Windows error or HRESULT, then " (0x%08lx)".
std::string systemErrorText(unsigned long code);

}  // namespace win
