// e2e_probe: the Windows-side chores of the end-to-end suite that a Linux script cannot do.
//
//   e2e_probe endpoints
//       One line per WASAPI playback endpoint: device key, tab, name, tab, channels, tab,
//       rate. The script picks its sinks by name; the keys are made per Wine prefix.
//   e2e_probe quit PIPE
//       Quits the QOVA that serves PIPE as a user would from the tray menu, answering Yes
//       when it asks because a player still plays. Exit 0 once QOVA's process has ended, 1
//       when it is not running, 3 when it does not end within 20 s.
//   e2e_probe sample EXE SECONDS
//       Every SECONDS, one line about the running process named EXE (the first found):
//       "UNIX_SECONDS private=BYTES pagefile=BYTES workingset=BYTES handles=N threads=N",
//       flushed at once. Ends with exit 0 when that process has ended, 1 when none runs.
//       Wine leaves PrivateUsage at 0; PagefileUsage (the committed private memory, which
//       Windows reports as the same figure) stands in for it there.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/shell/MainWindow.h"
#include "app/shell/SingleInstance.h"
#include "app/ui/Localisation.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/DeviceScan.h"

namespace {

using namespace std::chrono_literals;

int listEndpoints() {
    std::string error;
    const std::vector<win::DeviceInfo> devices = win::listWasapiDevices(error);
    if (!error.empty()) std::fprintf(stderr, "e2e_probe: %s\n", error.c_str());
    for (const win::DeviceInfo& device : devices)
        std::printf("%s\t%s\t%u\t%u\n", device.key.c_str(), device.name.c_str(), device.channels, device.sampleRate);
    return devices.empty() ? 1 : 0;
}

struct DialogSearch {
    DWORD processId;
    std::wstring caption;
    HWND found;
};

BOOL CALLBACK matchDialog(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<DialogSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    wchar_t caption[128] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, caption, 128);
    if (owner != search.processId || wcscmp(className, L"#32770") != 0 || search.caption != caption) return TRUE;
    search.found = window;
    return FALSE;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchMainWindow(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (owner != search.processId || wcscmp(className, app::kMainWindowClass) != 0) return TRUE;
    search.found = window;
    return FALSE;
}

// The main window of the QOVA that serves this pipe (several may run, one per pipe).
HWND qovaWindowServing(const std::wstring& pipe) {
    win::UniqueHandle client(
        CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ULONG serverId = 0;
    if (!client || !GetNamedPipeServerProcessId(client.get(), &serverId)) return nullptr;
    WindowSearch search{serverId, nullptr};
    EnumWindows(matchMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int quitQova(const std::wstring& pipe) {
    HWND window = qovaWindowServing(pipe);
    if (window == nullptr) {
        std::fprintf(stderr, "e2e_probe: no QOVA window serves %s\n", win::toUtf8(pipe).c_str());
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        std::fprintf(stderr, "e2e_probe: cannot watch QOVA's process %lu\n", processId);
        return 1;
    }
    PostMessageW(window, WM_COMMAND, app::kQuitCommand, 0);

    const std::wstring question = win::toWide(app::uiText(app::UiLanguage::English, app::UiText::QuitAppQuestion));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool answered = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) {
            std::printf("QOVA ended%s\n", answered ? " after Yes to its question" : " without a question");
            return 0;
        }
        if (answered) continue;
        DialogSearch search{processId, question, nullptr};
        EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            PostMessageW(search.found, WM_COMMAND, IDYES, 0);
            answered = true;
        }
    }
    std::fprintf(stderr, "e2e_probe: QOVA did not end within 20 s%s\n", answered ? " after Yes" : "");
    return 3;
}

DWORD processIdOf(const std::wstring& exe) {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (snapshot.get() == INVALID_HANDLE_VALUE) return 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, exe.c_str()) == 0) return entry.th32ProcessID;
    return 0;
}

unsigned threadCountOf(DWORD processId) {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    unsigned count = 0;
    if (snapshot.get() == INVALID_HANDLE_VALUE) return 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == processId;
    return count;
}

// Wine's GetProcessHandleCount gives 0 for another process; the system's handle table, which
// Wine keeps too, tells the count.
struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

unsigned handleCountOf(HANDLE process, DWORD processId) {
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles) && handles != 0) return handles;
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<std::uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    LONG status = 0;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == static_cast<LONG>(0xC0000004L))  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
    if (status < 0) return 0;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    unsigned count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].processId == processId;
    return count;
}

int sampleProcess(const std::wstring& exe, DWORD everyMs) {
    const DWORD processId = processIdOf(exe);
    win::UniqueHandle process(
        processId != 0 ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, processId)
                       : nullptr);
    if (!process) {
        std::fprintf(stderr, "e2e_probe: no process %s runs\n", win::toUtf8(exe).c_str());
        return 1;
    }
    do {
        PROCESS_MEMORY_COUNTERS_EX memory{};
        memory.cb = sizeof memory;
        if (!GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
            continue;  // ended meanwhile; the wait below tells
        const unsigned handles = handleCountOf(process.get(), processId);
        FILETIME now{};
        GetSystemTimePreciseAsFileTime(&now);
        const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
        const double unixSeconds = static_cast<double>(ticks - 116444736000000000ULL) / 1e7;
        std::printf("%.3f private=%llu pagefile=%llu workingset=%llu handles=%u threads=%u\n", unixSeconds,
                    static_cast<unsigned long long>(memory.PrivateUsage),
                    static_cast<unsigned long long>(memory.PagefileUsage),
                    static_cast<unsigned long long>(memory.WorkingSetSize), handles, threadCountOf(processId));
        std::fflush(stdout);
    } while (WaitForSingleObject(process.get(), everyMs) == WAIT_TIMEOUT);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc >= 2 ? argv[1] : L"";
    if (command == L"endpoints" && argc == 2) return listEndpoints();
    if (command == L"quit" && argc == 3) return quitQova(argv[2]);
    if (command == L"sample" && argc == 4 && _wtoi(argv[3]) > 0)
        return sampleProcess(argv[2], static_cast<DWORD>(_wtoi(argv[3])) * 1000);
    std::fprintf(stderr, "usage: e2e_probe endpoints | quit PIPE | sample EXE SECONDS\n");
    return 2;
}
