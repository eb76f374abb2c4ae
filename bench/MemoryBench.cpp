// What a card costs in memory: the engine (a router on one 64-channel test output at 44.1 kHz,
// so that every card has its converter) with no cards, then with 64 mono cards set up and
// 0, 8 and 64 of them opened by players, each opening making the card's ring; the process's private bytes and
// working set as it reports them itself. Then QOVA.exe itself, started from the same folder
// with its window hidden and no sound card, as the system reports it from outside.
//
// Run under Wine like the tests: memory_bench.exe. The last line, for scripts:
//   memory summary: engine-kb=X per-card-set-up-kb=X per-card-open-kb=X per-card-open-working-set-kb=X
//                   qova-exe-kb=X       (private bytes, but for the one working-set figure)

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/settings/Settings.h"
#include "win/base/PipeClient.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace {

struct Memory {
    double privateKb = 0.0;  // Wine reports none: the page-file usage (committed private memory) stands in
    double workingSetKb = 0.0;
};

Memory memoryOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return {};
    const SIZE_T privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return {static_cast<double>(privateBytes) / 1024.0, static_cast<double>(counters.WorkingSetSize) / 1024.0};
}

void print(const char* what, const Memory& memory) {
    std::printf("%-44s private %8.0f KB, working set %8.0f KB\n", what, memory.privateKb, memory.workingSetKb);
}

// The folder this executable (and QOVA.exe) is in.
std::wstring ownFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// QOVA.exe with a data folder of its own and no settings, once its pipe answers; 0 when it
// could not be measured.
double qovaExeKb() {
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    const std::wstring data = std::wstring(temporary) + L"qova-memory-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(data.c_str(), nullptr);
    const std::wstring pipe = L"\\\\.\\pipe\\qova-memory-bench-" + std::to_wstring(GetCurrentProcessId());
    std::wstring command = L"\"" + ownFolder() + L"\\QOVA.exe\" --tray --data-dir \"" + data + L"\" --pipe " + pipe;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return 0.0;
    win::UniqueHandle process(started.hProcess);
    win::UniqueHandle thread(started.hThread);
    win::PipeClient client;
    double kb = 0.0;
    if (client.open(pipe, win::PipeWait{20000, 5000}) && client.ask(R"({"op":"cards"})", 5000)) {
        Sleep(2000);  // its window's first frames
        const Memory memory = memoryOf(process.get());
        print("QOVA.exe, no sound card, window hidden", memory);
        kb = memory.privateKb;
    }
    client.close();
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
    DeleteFileW((data + L"\\qova.log").c_str());
    RemoveDirectoryW(data.c_str());
    return kb;
}

}  // namespace

int main() {
    constexpr std::uint32_t kCards = 64;
    const win::DeviceInfo output = win::makeTestOutput(0, kCards, 44100);
    core::Settings settings;
    core::DeviceSettings device;
    device.key = output.key;
    device.name = output.name;
    device.enabled = true;
    settings.devices = {device};
    for (std::uint32_t c = 0; c < kCards; ++c) {
        core::CardSettings card;
        char id[9];
        std::snprintf(id, sizeof id, "%08x", 0x100 + c);
        card.id = id;
        card.name = "Zone " + std::to_string(c + 1);
        card.members = {core::CardMember{output.key, c, 0.0}};
        settings.cards.push_back(card);
    }

    win::RouterOptions options;
    options.scanDevices = false;
    options.extraDevices = {output};
    options.ringPrefix = L"Local\\qova-memory-bench";
    win::Router router(std::move(options));
    router.rescan();
    const Memory empty = memoryOf(GetCurrentProcess());
    print("engine, no cards", empty);
    if (!router.apply(settings).empty()) {
        std::fprintf(stderr, "the settings were refused\n");
        return 1;
    }
    Sleep(500);
    const Memory none = memoryOf(GetCurrentProcess());
    print("engine, 64 mono cards at 44.1 kHz, 0 open", none);
    std::printf("each card set up: %.0f KB private, %.0f KB of working set (its converter and buffers)\n",
                (none.privateKb - empty.privateKb) / kCards, (none.workingSetKb - empty.workingSetKb) / kCards);
    Memory eight;
    for (std::uint32_t c = 0; c < kCards; ++c) {
        core::OpenCardResult opened;
        const std::string error = router.openCard(c + 1, settings.cards[c].id, "bench", opened);
        if (!error.empty()) {
            std::fprintf(stderr, "open %s: %s\n", settings.cards[c].id.c_str(), error.c_str());
            return 1;
        }
        if (c + 1 == 8) {
            Sleep(200);
            eight = memoryOf(GetCurrentProcess());
            print("engine, 8 open", eight);
        }
    }
    Sleep(200);
    const Memory all = memoryOf(GetCurrentProcess());
    print("engine, 64 open", all);
    const double perCard = (all.privateKb - none.privateKb) / kCards;
    std::printf(
        "each open card: %.0f KB private, %.0f KB of working set (its ring's section is shared memory, in the\n"
        "working set only)\n",
        perCard, (all.workingSetKb - none.workingSetKb) / kCards);
    router.closeAll();

    const double exeKb = qovaExeKb();
    if (exeKb == 0.0) std::printf("QOVA.exe: its memory could not be read from outside here\n");
    std::printf(
        "memory summary: engine-kb=%.0f per-card-set-up-kb=%.0f per-card-open-kb=%.0f "
        "per-card-open-working-set-kb=%.0f "
        "qova-exe-kb=%.0f\n",
        empty.privateKb, (none.privateKb - empty.privateKb) / kCards, perCard,
        (all.workingSetKb - none.workingSetKb) / kCards, exeKb);
    return 0;
}
