#include "app/shell/LaunchOptions.h"

#include "app/shell/Folders.h"
#include "core/Version.h"
#include "win/base/LocalMemory.h"
#include "win/base/UniqueHandle.h"

#include <windows.h>

#include <shellapi.h>

#include <climits>
#include <cwctype>

namespace app {

LaunchOptions parseLaunchOptions(const std::vector<std::wstring>& arguments) {
    LaunchOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& name = arguments[i];
        if (name == L"--version") {
            options.showVersion = true;
            return options;
        }
        if (name == L"--tray") {
            options.tray = true;
            continue;
        }
        const bool takesValue = name == L"--data-dir" || name == L"--pipe" || name == L"--null-devices" ||
                                name == L"--screenshot" || name == L"--tab";
        if (!takesValue || i + 1 >= arguments.size()) continue;  // unknown, or a value is missing
        const std::wstring& value = arguments[++i];
        if (name == L"--data-dir") dataDirOverride = value;
        else if (name == L"--pipe") options.pipeName = value;
        else if (name == L"--null-devices") options.nullDevices = readSignedDecimal(value);
        else if (name == L"--screenshot") options.screenshotPath = value;
        else options.tab = readSignedDecimal(value);
    }
    return options;
}

LaunchOptions readCommandLine() {
    int count = 0;
    const win::UniqueLocal<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i) arguments.emplace_back(argv.get()[i]);
    return parseLaunchOptions(arguments);
}

int readSignedDecimal(std::wstring_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) negative = text[at++] == L'-';
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        value = value * 10 + (text[at] - L'0');
        if (value > INT_MAX) {
            value = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
            break;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

void writeVersionLine() {
    static constexpr char line[] = QOVA_PRODUCT_NAME " " QOVA_VERSION_TEXT "\n";
    constexpr DWORD lengthBytes = sizeof line - 1;
    DWORD written = 0;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) {
        WriteFile(output, line, lengthBytes, &written, nullptr);
        return;
    }
    // A GUI program started from a console has no standard output of its own. Attaching
    // fails when a console is already attached; CONOUT$ is worth trying either way.
    AttachConsole(ATTACH_PARENT_PROCESS);
    win::UniqueHandle console(
        CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (console) WriteFile(console.get(), line, lengthBytes, &written, nullptr);
}

}  // namespace app
