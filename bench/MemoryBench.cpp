// What a card costs in memory: the engine (a router on one 64-channel test output at 44.1 kHz,
// so that every card has its converter) with no cards, then with 64 mono cards set up and 0, 8
// and 64 of them opened by players, each opening making the card's ring; the process's private
// bytes and working set as it reports them itself. Then QOVA.exe itself, started from the same
// folder with "--tray", as the system reports it from outside: with no sound card (a first run,
// which shows the window all the same), then with its window hidden on its 8 test outputs (40
// channels, the most they give) with a mono card on each channel and 0, 8 and 40 of them opened
// through its pipe.
//
// Run under Wine like the tests: memory_bench.exe. The last line, for scripts:
//   memory summary: engine-kb=X per-card-set-up-kb=X per-card-open-kb=X per-card-open-working-set-kb=X
//                   qova-exe-kb=X qova-exe-40-cards-kb=X qova-exe-per-card-open-kb=X
//   (private bytes, but for the one working-set figure)

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/Settings.h"
#include "core/settings/SettingsFile.h"
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
    std::printf("%-48s private %8.0f KB, working set %8.0f KB\n", what, memory.privateKb, memory.workingSetKb);
}

// The folder this executable (and QOVA.exe) is in.
std::wstring ownFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

struct ExeFigures {
    double noCardsKb = 0.0;     // no sound card, no card: a first run, its window shown
    double cardsSetUpKb = 0.0;  // every test output on, a mono card on each of its channels
    double perCardOpenKb = 0.0;
    double perCardOpenWorkingSetKb = 0.0;
};

// The test outputs QOVA.exe offers with "--null-devices 8": 4 stereo and 4 of 8 channels, 40
// channels in all, so 40 mono cards.
constexpr int kExeOutputs = 8;
constexpr std::uint32_t kExeCards = 40;

// `output` turned on in `settings`, with a mono card on each of its channels.
void addMonoCards(core::Settings& settings, const win::DeviceInfo& output) {
    settings.devices.push_back(core::DeviceSettings{output.key, output.name, true});
    for (std::uint32_t channel = 0; channel < output.channels; ++channel) {
        const auto number = static_cast<std::uint32_t>(settings.cards.size());
        core::CardSettings card;
        card.id = core::formatCardId(0x100 + number);
        card.name = "Zone " + std::to_string(number + 1);
        card.members = {core::CardMember{output.key, channel, 0.0}};
        settings.cards.push_back(card);
    }
}

core::Settings exeSettings() {
    core::Settings settings;
    for (int index = 0; index < kExeOutputs; ++index) {
        const bool odd = index % 2 != 0;
        addMonoCards(settings,
                     win::makeTestOutput(static_cast<std::uint32_t>(index), odd ? 8 : 2, odd ? 44100 : 48000));
    }
    return settings;
}

// QOVA.exe started from this folder with "--tray", a data folder of its own holding
// `settings` (none when empty) and a pipe of its own; measured from outside once its pipe
// answers, then with 8 and with every card opened through the pipe.
class QovaExe {
public:
    QovaExe(const core::Settings* settings, const wchar_t* tag) {
        wchar_t temporary[MAX_PATH];
        GetTempPathW(MAX_PATH, temporary);
        const std::wstring suffix = std::wstring(tag) + L"-" + std::to_wstring(GetCurrentProcessId());
        data_ = std::wstring(temporary) + L"qova-memory-bench-" + suffix;
        pipe_ = L"\\\\.\\pipe\\qova-memory-bench-" + suffix;
        CreateDirectoryW(data_.c_str(), nullptr);
        std::wstring arguments = L" --tray --data-dir \"" + data_ + L"\" --pipe " + pipe_;
        if (settings != nullptr) {
            const std::string text = core::writeSettings(*settings);
            win::UniqueHandle file(CreateFileW((data_ + L"\\config.json").c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
                return;
            arguments += L" --null-devices " + std::to_wstring(kExeOutputs);
        }
        std::wstring command = L"\"" + ownFolder() + L"\\QOVA.exe\"" + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return;
        process_.reset(started.hProcess);
        win::UniqueHandle thread(started.hThread);
        ready_ = client_.open(pipe_, win::PipeWait{20000, 5000}) &&
                 client_.ask(R"({"op":"hello","protocol":1,"client":"memory bench"})", 5000);
    }
    ~QovaExe() {
        client_.close();
        if (process_) {
            TerminateProcess(process_.get(), 0);
            WaitForSingleObject(process_.get(), 5000);
        }
        for (const wchar_t* name : {L"qova.log", L"config.json"}) DeleteFileW((data_ + L"\\" + name).c_str());
        RemoveDirectoryW(data_.c_str());
    }

    bool ready() const { return ready_; }
    // After a pause for its window's and its outputs' first rounds.
    Memory settledMemory() const {
        Sleep(2000);
        return memoryOf(process_.get());
    }
    bool open(const std::string& id) {
        const std::optional<std::string> reply =
            client_.ask(R"({"op":"open","card":")" + core::cardDeviceId(id) + R"("})", 5000);
        return reply && reply->find(R"("ok":true)") != std::string::npos;
    }

private:
    std::wstring data_;
    std::wstring pipe_;
    win::UniqueHandle process_;
    win::PipeClient client_;
    bool ready_ = false;
};

// Zeros where QOVA.exe could not be started or measured.
ExeFigures qovaExe() {
    ExeFigures figures;
    {
        QovaExe bare(nullptr, L"bare");
        if (!bare.ready()) return figures;
        const Memory memory = bare.settledMemory();
        print("QOVA.exe, no sound card, window shown", memory);
        figures.noCardsKb = memory.privateKb;
    }
    const core::Settings settings = exeSettings();
    QovaExe exe(&settings, L"cards");
    if (!exe.ready()) return figures;
    const Memory none = exe.settledMemory();
    print("QOVA.exe, 8 test outputs, 40 mono cards, 0 open", none);
    figures.cardsSetUpKb = none.privateKb;
    for (std::uint32_t c = 0; c < kExeCards; ++c) {
        if (!exe.open(settings.cards[c].id)) {
            std::fprintf(stderr, "QOVA.exe: open %s failed\n", settings.cards[c].id.c_str());
            return figures;
        }
        if (c + 1 == 8) print("QOVA.exe, 8 open", exe.settledMemory());
    }
    const Memory all = exe.settledMemory();
    print("QOVA.exe, 40 open", all);
    figures.perCardOpenKb = (all.privateKb - none.privateKb) / kExeCards;
    figures.perCardOpenWorkingSetKb = (all.workingSetKb - none.workingSetKb) / kExeCards;
    std::printf("QOVA.exe, each open card: %.0f KB private, %.0f KB of working set\n", figures.perCardOpenKb,
                figures.perCardOpenWorkingSetKb);
    return figures;
}

}  // namespace

int main() {
    constexpr std::uint32_t kCards = 64;
    const win::DeviceInfo output = win::makeTestOutput(0, kCards, 44100);
    core::Settings settings;
    addMonoCards(settings, output);

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

    const ExeFigures exe = qovaExe();
    if (exe.perCardOpenKb == 0.0) std::printf("QOVA.exe: its memory could not be read from outside here\n");
    std::printf(
        "memory summary: engine-kb=%.0f per-card-set-up-kb=%.0f per-card-open-kb=%.0f "
        "per-card-open-working-set-kb=%.0f "
        "qova-exe-kb=%.0f qova-exe-40-cards-kb=%.0f qova-exe-per-card-open-kb=%.0f\n",
        empty.privateKb, (none.privateKb - empty.privateKb) / kCards, perCard,
        (all.workingSetKb - none.workingSetKb) / kCards, exe.noCardsKb, exe.cardsSetUpKb, exe.perCardOpenKb);
    return 0;
}
