// QOVA.exe as a whole: each test starts the real program as a second process with its own
// data folder and control pipe, talks to it through the pipe (qova-player), window messages
// and the files it leaves, and reads its log. Plus the screenshot's BMP encoding in-process.
//
// Index: helpers (settings, log, the program, its windows and dialogs); BMP encoding;
// start-up, pipe and quit; end of session; tray start and show requests; settings files;
// null devices; pipe failure; screenshots; a real PulseAudio sink (driven by program-e2e.sh).

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Eventually.h"
#include "tests/support/SettingsBuilders.h"
#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "app/shell/Screenshot.h"
#include "app/shell/SingleInstance.h"
#include "app/ui/Localisation.h"
#include "core/settings/Settings.h"
#include "core/settings/SettingsFile.h"
#include "win/base/Session.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/DeviceScan.h"

namespace app {
namespace {

using namespace std::chrono_literals;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

constexpr DWORD kStartMs = 20000;  // Direct3D on a software renderer can be slow to start
constexpr DWORD kEndMs = 15000;
constexpr UINT kTrayCallback = WM_APP + 1;
constexpr UINT kQuitCommand = 102;
constexpr UINT kOpenCommand = 100;
constexpr UINT kStartWithWindowsCommand = 101;
constexpr wchar_t kQovaKeyPath[] = L"Software\\QOVA";
constexpr wchar_t kTrayNoticeValue[] = L"TrayNoticeShown";

// --- helpers --------------------------------------------------------------------------------

// The program is watched through its files, windows and pipe, which cost more to look at.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return test_support::eventually(condition, timeout, 20ms);
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// A pipe name of this test process alone, so that a program left over from another run
// cannot answer.
std::wstring uniquePipe(const wchar_t* tag) {
    static unsigned counter = 0;
    return L"\\\\.\\pipe\\qova-program-" + std::wstring(tag) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

core::DeviceSettings device(const std::string& key) {
    core::DeviceSettings settings;
    settings.key = key;
    settings.name = key;
    settings.enabled = true;
    return settings;
}

using test_support::card;

// The stereo null test output 0 set up, and no card.
core::Settings nullDeviceSettings() {
    core::Settings settings;
    settings.devices = {device("null:0")};
    return settings;
}

// The same with one stereo card, "Kitchen", on it.
core::Settings kitchenSettings() {
    core::Settings settings = nullDeviceSettings();
    settings.cards = {card("0000000a", "Kitchen", {{"null:0", 0, 0.0}, {"null:0", 1, 0.0}})};
    settings.language = "en";
    return settings;
}

// The messages of the log's lines, without time stamp and thread id.
std::vector<std::string> logMessages(const TempFolder& data) {
    std::istringstream log(readFile(data.file(L"qova.log")));
    std::vector<std::string> messages;
    for (std::string line; std::getline(log, line);) {
        const std::size_t bracket = line.find("] ");
        messages.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
    }
    return messages;
}

// Index of the first message starting with `prefix` at or after `from`; -1 when none.
int indexOf(const std::vector<std::string>& messages, const std::string& prefix, int from = 0) {
    for (int i = std::max(from, 0); i < static_cast<int>(messages.size()); ++i) {
        if (messages[i].starts_with(prefix)) return i;
    }
    return -1;
}

std::string joined(const std::vector<std::string>& messages) {
    std::string out;
    for (const std::string& message : messages) out += message + "\n";
    return out;
}

bool mutexExists(const std::wstring& name) {
    win::UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    return static_cast<bool>(mutex);
}

// Processes of this Wine server (or Windows session) running that executable.
int processesNamed(const wchar_t* exe) {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exe) == 0) ++count;
    }
    return count;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* title;  // null: any
    HWND found;
    bool countAll = false;
    int count = 0;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId) return TRUE;
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (wcscmp(name, search.className) != 0) return TRUE;
    if (search.title != nullptr) {
        wchar_t title[128] = {};
        GetWindowTextW(window, title, 128);
        if (wcscmp(title, search.title) != 0) return TRUE;
    }
    search.found = window;
    ++search.count;
    return search.countAll ? TRUE : FALSE;
}

HWND findTopWindow(DWORD processId, const wchar_t* className, const wchar_t* title = nullptr) {
    WindowSearch search{processId, className, title, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int countTopWindows(DWORD processId, const wchar_t* className, const wchar_t* title) {
    WindowSearch search{processId, className, title, nullptr, true};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.count;
}

BOOL CALLBACK collectStaticText(HWND child, LPARAM parameter) {
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    if (_wcsicmp(name, L"Static") != 0) return TRUE;
    wchar_t text[512] = {};
    if (GetWindowTextW(child, text, 512) > 0) *reinterpret_cast<std::wstring*>(parameter) = text;
    return TRUE;
}

// The message text of a message box (its static control with text; the icon has none).
std::string messageBoxText(HWND box) {
    std::wstring text;
    EnumChildWindows(box, collectStaticText, reinterpret_cast<LPARAM>(&text));
    return win::toUtf8(text);
}

// The client size a window of QOVA's style gets for its start size at this DPI.
SIZE expectedClientSize() {
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1100, 720,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    RECT client{};
    GetClientRect(window, &client);
    DestroyWindow(window);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

// QOVA.exe started with its own data folder and pipe; ended by force if the test leaves
// it running.
class Program {
public:
    Program(const TempFolder& data, const std::wstring& pipe, const std::wstring& more) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!testing_support::startProgram(L"QOVA.exe",
                                           L"--data-dir " + quoted(data.path()) + L" --pipe " + pipe + L" " + more,
                                           false, 0, startup, info)) {
            ADD_FAILURE() << "cannot start QOVA.exe, error " << GetLastError();
            return;
        }
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        processId_ = info.dwProcessId;
    }
    ~Program() {
        if (process_ && running()) {
            TerminateProcess(process_.get(), 99);
            WaitForSingleObject(process_.get(), 5000);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return static_cast<bool>(process_); }
    bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    DWORD processId() const { return processId_; }

    // The main window, once it exists and the program answers messages sent to it (so its
    // start-up is through and its main loop runs); nullptr when it never does.
    HWND waitForWindow() {
        if (!started()) return nullptr;  // the constructor has said why
        HWND window = nullptr;
        eventually([&] { return !running() || (window = findTopWindow(processId_, kMainWindowClass)) != nullptr; },
                   std::chrono::milliseconds(kStartMs));
        if (window == nullptr) return nullptr;
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kStartMs, &result)) return nullptr;
        return window;
    }

    // A top-level dialog of the program with that caption.
    HWND waitForDialog(const wchar_t* caption, DWORD timeoutMs = kStartMs) {
        HWND box = nullptr;
        eventually([&] { return !running() || (box = findTopWindow(processId_, L"#32770", caption)) != nullptr; },
                   std::chrono::milliseconds(timeoutMs));
        return box;
    }

    // The tray menu's quit command, then finish().
    DWORD quit(HWND window) {
        PostMessageW(window, WM_COMMAND, kQuitCommand, 0);
        return finish();
    }

    // The exit code; 0xffffffff (and a failure) when it does not end in time.
    DWORD finish(DWORD timeoutMs = kEndMs) {
        if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "QOVA did not end in time";
            return 0xffffffff;
        }
        DWORD code = 0xffffffff;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    win::UniqueHandle process_;
    DWORD processId_ = 0;
};

bool becomesVisible(HWND window, bool visible) {
    return eventually([&] { return (IsWindowVisible(window) != FALSE) == visible; }, 5000ms);
}

bool instanceMutexExists(const std::wstring& pipe) {
    return mutexExists(singleInstanceMutexName(win::userSidString(), pipe));
}

// A data folder and a pipe of the test's own, and QOVA.exe started on them.
class ProgramTest : public ::testing::Test {
protected:
    void writeSettings(const core::Settings& settings) {
        writeFile(data_.file(L"config.json"), core::writeSettings(settings));
    }
    std::string config() const { return readFile(data_.file(L"config.json")); }
    std::vector<std::string> logged() const { return logMessages(data_); }
    // What a player lists.
    std::string cards() const {
        return testing_support::runProgram(L"qova-player.exe", L"--pipe " + pipe_ + L" cards").output;
    }

    // A program started before ends first, as a test that quits it and starts it again expects.
    Program& launch(const std::wstring& more) {
        program_.reset();
        program_.emplace(data_, pipe_, more);
        return *program_;
    }
    // The main window once the program serves messages, or nullptr.
    HWND start(const std::wstring& more) { return launch(more).waitForWindow(); }
    DWORD quit(HWND window) { return program_->quit(window); }

    TempFolder data_;
    const std::wstring pipe_ = uniquePipe(L"test");
    std::optional<Program> program_;
};

using ProgramLife = ProgramTest;
using ProgramTray = ProgramTest;
using ProgramSettings = ProgramTest;
using ProgramDevices = ProgramTest;
using ProgramFailure = ProgramTest;
using ProgramScreenshot = ProgramTest;
using ProgramOnASink = ProgramTest;

// --- BMP encoding ---------------------------------------------------------------------------

std::uint32_t read32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    return value;
}

std::uint16_t read16(const std::string& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[offset]) |
                                      (static_cast<std::uint8_t>(bytes[offset + 1]) << 8));
}

// Checks every header field of a 32-bit top-down BMP; the size of its picture out.
void expectBmpHeader(const std::string& bmp, std::uint32_t& width, std::uint32_t& height) {
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    width = read32(bmp, 18);
    const auto signedHeight = static_cast<std::int32_t>(read32(bmp, 22));
    ASSERT_LT(signedHeight, 0) << "rows must run from the top";
    height = static_cast<std::uint32_t>(-signedHeight);
    EXPECT_EQ(read32(bmp, 2), width * height * 4 + 54);
    EXPECT_EQ(bmp.size(), width * height * 4 + 54);
    EXPECT_EQ(read32(bmp, 6), 0u);  // both reserved fields
    EXPECT_EQ(read32(bmp, 10), 54u);
    EXPECT_EQ(read32(bmp, 14), 40u);
    EXPECT_EQ(read16(bmp, 26), 1u);
    EXPECT_EQ(read16(bmp, 28), 32u);
    EXPECT_EQ(read32(bmp, 30), 0u);  // BI_RGB
    for (std::size_t offset = 34; offset < 54; offset += 4) EXPECT_EQ(read32(bmp, offset), 0u) << offset;
}

TEST(BmpEncoding, WritesTopDownBgrRowsReadAtThePitchWithOpaqueAlpha) {
    // 3 x 2 RGBA pixels in rows of 16 bytes: the last 4 bytes of each row are padding that
    // must not reach the file.
    const std::uint8_t pixels[32] = {
        1,  2,  3,  0,  4,  5,  6,  7,  8,  9,  10, 128, 0xee, 0xee, 0xee, 0xee,
        11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 255, 0xee, 0xee, 0xee, 0xee,
    };
    const std::string bmp = encodeBmp(3, 2, pixels, 16);
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    expectBmpHeader(bmp, width, height);
    EXPECT_EQ(width, 3u);
    EXPECT_EQ(height, 2u);
    const std::string expected(
        "\x03\x02\x01\xff\x06\x05\x04\xff\x0a\x09\x08\xff"
        "\x0d\x0c\x0b\xff\x11\x10\x0f\xff\x15\x14\x13\xff",
        24);
    EXPECT_EQ(bmp.substr(54), expected);
}

// --- start-up, pipe and quit ----------------------------------------------------------------

TEST_F(ProgramLife, StartsInOrderServesThePipeAndQuitsFromTheTrayMenu) {
    writeSettings(kitchenSettings());
    const std::string settingsFile = config();
    HWND window = start(L"--null-devices 1");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(becomesVisible(window, true)) << "a start without --tray shows the window";
    EXPECT_TRUE(mutexExists(L"QOVA-running"));
    EXPECT_TRUE(instanceMutexExists(pipe_));
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    EXPECT_STREQ(title, L"QOVA - Tavimor Audio Router");

    const std::string listed = cards();
    EXPECT_NE(listed.find("qova:0000000a"), std::string::npos) << listed;
    EXPECT_NE(listed.find("Kitchen"), std::string::npos) << listed;
    EXPECT_NE(listed.find("ready"), std::string::npos) << listed;

    // The tray menu's quit command; no player holds a card, so nothing is asked.
    EXPECT_EQ(quit(window), 0u);
    EXPECT_FALSE(mutexExists(L"QOVA-running"));
    EXPECT_FALSE(instanceMutexExists(pipe_));
    EXPECT_FALSE(WaitNamedPipeW(pipe_.c_str(), 0)) << "the pipe is gone";
    EXPECT_EQ(processesNamed(L"QOVA.exe"), 0);

    const std::vector<std::string> log = logged();
    const int starting = indexOf(log, "QOVA 0.1.2 starting (session " + std::to_string(win::sessionId()) + ")");
    const int opened = indexOf(log, "open null:0: null, 48000 Hz, ");
    const int ready = indexOf(log, "control pipe " + win::toUtf8(pipe_) + " ready");
    const int connected = indexOf(log, "player 1 connected");
    const int disconnected = indexOf(log, "player 1 disconnected");
    const int quitting = indexOf(log, "QOVA quitting");
    EXPECT_EQ(starting, 0) << joined(log);
    EXPECT_LT(starting, opened) << joined(log);
    EXPECT_LT(opened, ready) << "the sound cards open before the pipe serves\n" << joined(log);
    EXPECT_LT(ready, connected) << joined(log);
    EXPECT_LT(connected, disconnected) << joined(log);
    EXPECT_LT(disconnected, quitting) << joined(log);
    EXPECT_EQ(quitting, static_cast<int>(log.size()) - 1) << joined(log);
    EXPECT_EQ(indexOf(log, "config problem"), -1) << joined(log);
    EXPECT_EQ(indexOf(log, "config: "), -1) << "a readable file is not reported\n" << joined(log);
    EXPECT_EQ(config(), settingsFile) << "a readable file is left as it was";
    EXPECT_FALSE(fileExists(data_.file(L"config.unreadable.json")));
}

// --- end of session -------------------------------------------------------------------------

TEST_F(ProgramLife, AsksBeforeQuittingUnderAPlayerButNotWhenTheSessionEnds) {
    writeSettings(kitchenSettings());
    HWND window = start(L"--null-devices 1");
    ASSERT_NE(window, nullptr);
    Program& program = *program_;

    testing_support::AsyncProgram player(L"qova-player.exe",
                                         L"--pipe " + pipe_ + L" play qova:0000000a --tone 440 --seconds 60");
    ASSERT_TRUE(player.started());
    // Another player sees the card as busy once the first has it open.
    ASSERT_TRUE(eventually([&] { return cards().find("busy") != std::string::npos; }, 15000ms));

    PostMessageW(window, WM_COMMAND, kQuitCommand, 0);
    HWND question = program.waitForDialog(L"Quit QOVA?", 10000);
    ASSERT_NE(question, nullptr) << "a quit under a playing player asks first";
    EXPECT_EQ(messageBoxText(question), uiText(UiLanguage::English, UiText::QuitWhilePlaying));
    // Quit again while the question is open (the tray's Quit, an installer closing QOVA): the
    // open question answers that too; a second one inside it would take the window from under
    // the first.
    PostMessageW(window, WM_COMMAND, kQuitCommand, 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(countTopWindows(program.processId(), L"#32770", L"Quit QOVA?"), 1) << "one question at a time";
    PostMessageW(question, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(eventually([&] { return !IsWindow(question); }, 5000ms));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(program.running()) << "No keeps QOVA running";
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_NE(cards().find("busy"), std::string::npos) << "and the player playing";

    // Windows ending the session: no question, even now.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 5000, &result);
    EXPECT_EQ(program.finish(), 0u);
    const testing_support::ProcessResult played = player.finish(kEndMs);
    // The ring withdrawn (14) or the pipe gone (4), depending on which the player noticed first.
    EXPECT_TRUE(played.exitCode == 14 || played.exitCode == 4) << played.exitCode << "\n" << played.output;

    // The pipe server stops after the quit line: the player's connection ends there.
    const std::vector<std::string> log = logged();
    const std::string openedBy = "card 0000000a opened by client ";
    const int opened = indexOf(log, openedBy);
    ASSERT_GE(opened, 0) << joined(log);
    const std::string client =
        log[opened].substr(openedBy.size(), log[opened].find(' ', openedBy.size()) - openedBy.size());
    const int quitting = indexOf(log, "QOVA quitting");
    const int gone = indexOf(log, "player " + client + " disconnected");
    ASSERT_GE(quitting, 0) << joined(log);
    EXPECT_GT(gone, quitting) << joined(log);
}

// --- tray start and show requests -----------------------------------------------------------

struct RunValue {
    ~RunValue() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"QOVA");
    }
    static std::wstring read() {
        wchar_t value[1024] = {};
        DWORD bytes = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"QOVA",
                         RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
            return L"<none>";
        return value;
    }
};

TEST_F(ProgramTray, StartsHiddenWithSoundCardsAndComesBackOnEveryShowAction) {
    writeSettings(nullDeviceSettings());
    HWND window = start(L"--tray --null-devices 1");
    ASSERT_NE(window, nullptr);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(IsWindowVisible(window)) << "--tray with a sound card set up starts hidden";

    PostMessageW(window, kTrayCallback, 0, WM_LBUTTONUP);
    EXPECT_TRUE(becomesVisible(window, true)) << "a left click on the tray icon";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(becomesVisible(window, false)) << "closing hides";
    EXPECT_TRUE(program_->running());
    PostMessageW(window, WM_COMMAND, kOpenCommand, 0);
    EXPECT_TRUE(becomesVisible(window, true)) << "the menu's open command";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(becomesVisible(window, false));

    // A second copy for the same pipe shows this one and ends without a trace.
    TempFolder secondData;
    const auto second =
        testing_support::runProgram(L"QOVA.exe", L"--data-dir " + quoted(secondData.path()) + L" --pipe " + pipe_);
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_FALSE(fileExists(secondData.file(L"qova.log")));
    EXPECT_TRUE(becomesVisible(window, true)) << "the show request of a second copy";

    // The menu's start-with-Windows command flips the Run value to this QOVA.exe.
    {
        RunValue cleanup;
        const std::wstring expected = quoted(testing_support::binaryFolder() + L"\\QOVA.exe") + L" --tray";
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_COMMAND, kStartWithWindowsCommand, 0, SMTO_ABORTIFHUNG, 5000, &result);
        EXPECT_EQ(RunValue::read(), expected);
        SendMessageTimeoutW(window, WM_COMMAND, kStartWithWindowsCommand, 0, SMTO_ABORTIFHUNG, 5000, &result);
        EXPECT_EQ(RunValue::read(), L"<none>");
    }

    EXPECT_EQ(quit(window), 0u);
}

// The balloon's mark under the user's key, removed before and after.
struct TrayNoticeMark {
    TrayNoticeMark() { clear(); }
    ~TrayNoticeMark() { clear(); }
    static void clear() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kQovaKeyPath, kTrayNoticeValue); }
    static DWORD read() {
        DWORD value = 0;
        DWORD bytes = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, kQovaKeyPath, kTrayNoticeValue, RRF_RT_REG_DWORD, nullptr, &value,
                         &bytes) != ERROR_SUCCESS)
            return 0xffffffff;
        return value;
    }
};

TEST_F(ProgramTray, TellsOnceEverThatItRunsOnWhenItsWindowIsClosed) {
    TrayNoticeMark mark;
    writeSettings(nullDeviceSettings());
    const std::string configBefore = config();
    const std::string told = "window closed: told the user once that QOVA runs on in the notification area";
    for (int run = 0; run < 2; ++run) {
        HWND window = start(L"--null-devices 1");
        ASSERT_NE(window, nullptr);
        for (int close = 0; close < 2; ++close) {
            ASSERT_TRUE(becomesVisible(window, true));
            PostMessageW(window, WM_CLOSE, 0, 0);
            ASSERT_TRUE(becomesVisible(window, false));
            PostMessageW(window, WM_COMMAND, kOpenCommand, 0);
        }
        EXPECT_EQ(TrayNoticeMark::read(), 1u) << "run " << run;
        EXPECT_EQ(quit(window), 0u);
    }
    const std::vector<std::string> log = logged();
    EXPECT_EQ(std::count(log.begin(), log.end(), told), 1) << joined(log);
    EXPECT_EQ(config(), configBefore);
}

// --- settings files -------------------------------------------------------------------------

TEST_F(ProgramSettings, UnparsableFileIsMovedAsideAndTheProgramStartsEmptyAndShown) {
    writeFile(data_.file(L"config.json"), "{\"schema\": 1, \"devices\": [");
    writeFile(data_.file(L"config.unreadable.json"), "an older unreadable file, replaced");
    // --tray, but with no sound card set up the window shows all the same.
    HWND window = start(L"--tray --null-devices 1");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(becomesVisible(window, true));
    EXPECT_EQ(readFile(data_.file(L"config.unreadable.json")), "{\"schema\": 1, \"devices\": [");
    EXPECT_FALSE(fileExists(data_.file(L"config.json")));
    const std::string listed = cards();
    EXPECT_NE(listed.find("QOVA has no cards yet."), std::string::npos) << listed;
    EXPECT_EQ(quit(window), 0u);

    const std::vector<std::string> log = logged();
    const int moved = indexOf(log, "config: ");
    ASSERT_GE(moved, 0) << joined(log);
    EXPECT_TRUE(log[moved].ends_with("; moved aside to config.unreadable.json")) << log[moved];
    EXPECT_EQ(indexOf(log, "open "), -1) << joined(log);
}

// A config.json held open by another program through the start: QOVA starts empty, says why
// and leaves the file alone; let go and QOVA started again, the settings load.
TEST_F(ProgramSettings, AFileHeldOpenAtStartIsLeftAloneAndLoadsOnceLetGo) {
    writeSettings(kitchenSettings());
    const std::string before = config();
    // One run of the program: the cards a player lists, then a quit from the tray menu.
    auto cardsListed = [&] {
        EXPECT_TRUE(launch(L"--null-devices 1").started());
        HWND window = program_->waitForWindow();
        EXPECT_NE(window, nullptr);
        const std::string listed = cards();
        EXPECT_EQ(quit(window), 0u);
        return listed;
    };
    {
        testing_support::HeldFile held(data_.file(L"config.json"));
        ASSERT_TRUE(held.held());
        EXPECT_NE(cardsListed().find("QOVA has no cards yet."), std::string::npos);
    }
    EXPECT_EQ(config(), before);
    std::vector<std::string> log = logged();
    const int said = indexOf(log, "config: cannot read ");
    ASSERT_GE(said, 0) << joined(log);
    EXPECT_TRUE(log[said].ends_with("; starting without settings, and the file is kept as it is")) << log[said];

    EXPECT_NE(cardsListed().find("Kitchen"), std::string::npos);
}

TEST_F(ProgramSettings, ValidationIssuesAreLoggedInOrderAndNothingOpens) {
    core::Settings settings = nullDeviceSettings();
    settings.cards = {card("0000000a", "", {{"null:0", 0, 0.0}}), card("0000000b", "B", {{"null:5", 0, 0.0}})};
    writeSettings(settings);
    HWND window = start(L"--null-devices 1");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(becomesVisible(window, true));
    const std::string listed = cards();
    EXPECT_NE(listed.find("QOVA has no cards yet."), std::string::npos) << "refused as a whole\n" << listed;
    EXPECT_EQ(quit(window), 0u);

    const std::vector<std::string> log = logged();
    const int first = indexOf(log, "config problem: ");
    ASSERT_GE(first, 0) << joined(log);
    ASSERT_LT(first + 1, static_cast<int>(log.size()));
    EXPECT_EQ(log[first], "config problem: card_name_empty (0000000a)");
    EXPECT_EQ(log[first + 1], "config problem: member_unknown_device (0000000b)");
    EXPECT_EQ(indexOf(log, "config problem: ", first + 2), -1) << joined(log);
    EXPECT_EQ(indexOf(log, "open "), -1) << joined(log);
    EXPECT_LT(first, indexOf(log, "control pipe ")) << joined(log);
}

// --- null devices ---------------------------------------------------------------------------

TEST_F(ProgramDevices, TwentyNullDevicesGiveEightOfTwoKinds) {
    core::Settings settings;
    for (int index = 0; index <= 8; ++index) settings.devices.push_back(device("null:" + std::to_string(index)));
    writeSettings(settings);
    HWND window = start(L"--tray --null-devices 20");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(quit(window), 0u);

    const std::vector<std::string> log = logged();
    for (int index = 0; index < 8; ++index) {
        const bool odd = index % 2 != 0;
        const int line =
            indexOf(log, "open null:" + std::to_string(index) + ": null, " + (odd ? "44100" : "48000") + " Hz, ");
        ASSERT_GE(line, 0) << index << "\n" << joined(log);
        EXPECT_NE(log[line].find(odd ? ", 8 ch, " : ", 2 ch, "), std::string::npos) << log[line];
    }
    EXPECT_EQ(indexOf(log, "open null:8"), -1) << "there is no ninth\n" << joined(log);
}

// --- pipe failure ---------------------------------------------------------------------------

TEST_F(ProgramFailure, PipeTakenByAnotherProgramEndsWithItsErrorAfterLettingGoOfEverything) {
    writeSettings(kitchenSettings());
    // Another program's pipe of that name, inbound only: QOVA's instances cannot join it.
    win::UniqueHandle squatter(CreateNamedPipeW(pipe_.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE,
                                                PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter);
    const std::string error = "pipe " + win::toUtf8(pipe_) + ": " + win::systemErrorText(ERROR_ACCESS_DENIED);

    Program& program = launch(L"--null-devices 1");
    ASSERT_TRUE(program.started());
    HWND box = program.waitForDialog(L"QOVA");
    ASSERT_NE(box, nullptr) << "no error box";
    EXPECT_EQ(messageBoxText(box), error);
    // While the box is up, everything is let go already and no window was made.
    EXPECT_FALSE(mutexExists(L"QOVA-running"));
    EXPECT_FALSE(instanceMutexExists(pipe_));
    EXPECT_EQ(findTopWindow(program.processId(), kMainWindowClass), nullptr);
    const std::vector<std::string> log = logged();
    const int opened = indexOf(log, "open null:0: ");
    const int failed = indexOf(log, "cannot start: ");
    ASSERT_GE(opened, 0) << joined(log);
    ASSERT_EQ(failed, opened + 1) << joined(log);
    EXPECT_EQ(log[failed], "cannot start: " + error);
    ASSERT_EQ(static_cast<int>(log.size()), failed + 2) << joined(log);
    EXPECT_EQ(log[failed + 1], "released every sound card; showing the error");

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(program.finish(), 1u);
}

// --- screenshots ----------------------------------------------------------------------------

// A screenshot run ends like any other: exit code 0. (A crash at exit that once showed only
// here came from the gamepad support of the window backend unloading xinput under Wine.)
void expectScreenshotRunEnded(DWORD exitCode) {
    EXPECT_EQ(exitCode, 0u);
}

// Runs a screenshot to its end, failing if the window ever shows meanwhile.
DWORD runScreenshot(const TempFolder& data, const std::wstring& pipe, const std::wstring& path, int tab) {
    Program program(data, pipe, L"--null-devices 2 --tab " + std::to_wstring(tab) + L" --screenshot " + quoted(path));
    if (!program.started()) return 0xffffffff;
    bool shown = false;
    eventually(
        [&] {
            HWND window = findTopWindow(program.processId(), kMainWindowClass);
            if (window != nullptr && IsWindowVisible(window)) shown = true;
            return !program.running();
        },
        30000ms);
    EXPECT_FALSE(shown) << "screenshot mode never shows the window";
    return program.finish(1000);
}

TEST_F(ProgramScreenshot, SavesTheWindowAsATopDownBmpAtomicallyWithoutShowingIt) {
    const std::wstring cardsPath = data_.file(L"cards.bmp");
    const std::wstring aboutPath = data_.file(L"about.bmp");
    writeFile(cardsPath, "an older file");
    expectScreenshotRunEnded(runScreenshot(data_, uniquePipe(L"shot"), cardsPath, 1));
    expectScreenshotRunEnded(runScreenshot(data_, uniquePipe(L"shot"), aboutPath, 3));

    const std::string cards = readFile(cardsPath);
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    expectBmpHeader(cards, width, height);
    const SIZE client = expectedClientSize();
    EXPECT_EQ(width, static_cast<std::uint32_t>(client.cx));
    EXPECT_EQ(height, static_cast<std::uint32_t>(client.cy));
    EXPECT_FALSE(fileExists(cardsPath + L".tmp"));
    bool opaque = true;
    for (std::size_t alpha = 57; alpha < cards.size(); alpha += 4) opaque = opaque && cards[alpha] == '\xff';
    EXPECT_TRUE(opaque);
    // Right of the middle the window is bare background: the dark blue.
    const std::size_t middle = 54 + (std::size_t{height / 2} * width + width * 3 / 4) * 4;
    ASSERT_LT(middle + 2, cards.size());
    EXPECT_EQ(static_cast<std::uint8_t>(cards[middle]), 43);     // blue 0.169
    EXPECT_EQ(static_cast<std::uint8_t>(cards[middle + 1]), 7);  // green 0.027
    EXPECT_EQ(static_cast<std::uint8_t>(cards[middle + 2]), 2);  // red 0.008
    // "--tab" picks the tab: another tab is another picture of the same size.
    const std::string about = readFile(aboutPath);
    EXPECT_EQ(about.size(), cards.size());
    EXPECT_NE(about, cards);

    const std::vector<std::string> log = logged();
    const int saved = indexOf(log, "screenshot " + win::toUtf8(cardsPath) + ": saved");
    ASSERT_GE(saved, 0) << joined(log);
    EXPECT_EQ(indexOf(log, "QOVA quitting", saved), saved + 1) << joined(log);
}

TEST_F(ProgramScreenshot, AnUnwritablePathIsReportedAndTheProgramStillEndsWell) {
    const std::wstring path = data_.file(L"missing\\shot.bmp");
    expectScreenshotRunEnded(runScreenshot(data_, uniquePipe(L"shot"), path, 0));
    EXPECT_GE(indexOf(logged(), "screenshot " + win::toUtf8(path) + ": FAILED"), 0) << joined(logged());
}

// --- a real PulseAudio sink -----------------------------------------------------------------

// Run by program-e2e.sh, which records the sink "ZoneA" with parec around this test and
// checks the tone in the recording: a Windows process cannot run parec itself.
TEST_F(ProgramOnASink, PlaysAToneOnZoneAAndQuitsCleanly) {
    if (std::getenv("QOVA_E2E_RECORDING") == nullptr) GTEST_SKIP() << "run by program-e2e.sh";
    std::string error;
    win::DeviceInfo zone;
    for (const win::DeviceInfo& endpoint : win::listWasapiDevices(error)) {
        if (endpoint.name == "ZoneA") zone = endpoint;
    }
    ASSERT_NE(zone.key, "") << "no ZoneA endpoint (" << error << ")";

    core::Settings settings;
    settings.devices = {device(zone.key)};
    settings.cards = {card("00e2e0a1", "Zone A", {{zone.key, 0, 0.0}, {zone.key, 1, 0.0}})};
    writeSettings(settings);
    HWND window = start(L"--tray");
    ASSERT_NE(window, nullptr);

    const std::string listed = cards();
    EXPECT_NE(listed.find("qova:00e2e0a1"), std::string::npos) << listed;
    EXPECT_NE(listed.find("ready"), std::string::npos) << listed;
    const auto played = testing_support::runProgram(L"qova-player.exe",
                                                    L"--pipe " + pipe_ + L" play \"Zone A\" --tone 1000 --seconds 3");
    EXPECT_EQ(played.exitCode, 0u) << played.output;

    EXPECT_EQ(quit(window), 0u);
    EXPECT_EQ(processesNamed(L"QOVA.exe"), 0);
    EXPECT_EQ(processesNamed(L"qova-player.exe"), 0);

    const std::vector<std::string> log = logged();
    const int opened = indexOf(log, "open " + zone.key + ": WASAPI shared, 48000 Hz, ");
    const int ready = indexOf(log, "control pipe ");
    const int quitting = indexOf(log, "QOVA quitting");
    EXPECT_EQ(indexOf(log, "QOVA 0.1.2 starting"), 0) << joined(log);
    EXPECT_GT(opened, 0) << joined(log);
    EXPECT_GT(ready, opened) << joined(log);
    EXPECT_EQ(quitting, static_cast<int>(log.size()) - 1) << joined(log);
    std::printf("%s", joined(log).c_str());
}

}  // namespace
}  // namespace app
