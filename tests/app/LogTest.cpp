#include "win/base/Log.h"
#include "win/base/Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "win/base/UniqueHandle.h"

namespace app {
namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));  // a line without its line feed
    return lines;
}

const std::regex kLinePrefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] )");

// The only test in this program that opens the process-wide log: it owns that state.
TEST(ProcessLog, WritesWholeLinesOnlyAfterOpenLog) {
    TempFolder folder;
    win::logLine("before %s", "open");
    win::openLog(folder.path());
    win::logLine("after open %d %s %llu", 7, "\xc3\xa9", 18446744073709551615ull);
    win::logLine("%s", std::string(3000, 'm').c_str());

    constexpr int kThreads = 4;
    constexpr int kLinesEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i)
                win::logLine("thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    }
    for (auto& thread : threads) thread.join();

    TempFolder other;
    win::openLog(other.path());  // already open: does nothing
    win::logLine("last");
    EXPECT_FALSE(fileExists(other.file(L"qova.log")));

    const std::string text = readFile(folder.file(L"qova.log"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find("before open"), std::string::npos);

    const std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 3u + kThreads * kLinesEach);
    std::smatch match;
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_search(line, match, kLinePrefix)) << line;

    ASSERT_TRUE(std::regex_search(lines[0], match, kLinePrefix));
    EXPECT_EQ(match[1].str(), std::to_string(GetCurrentThreadId()));
    EXPECT_EQ(match.suffix().str(), "after open 7 \xc3\xa9 18446744073709551615");

    ASSERT_TRUE(std::regex_search(lines[1], match, kLinePrefix));
    EXPECT_EQ(match.suffix().str(), std::string(2047, 'm'));

    // Lines of different threads never mix, and each thread's lines keep their order.
    std::vector<int> next(kThreads, 0);
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_search(lines[i], match, kLinePrefix));
        int thread = -1;
        int index = -1;
        char tail[128] = {};
        ASSERT_EQ(std::sscanf(match.suffix().str().c_str(), "thread %d line %d %127s", &thread, &index, tail), 3)
            << lines[i];
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << lines[i];
        EXPECT_EQ(index, next[thread]++);
        EXPECT_EQ(std::string(tail), std::string(100, static_cast<char>('a' + thread)));
    }
    EXPECT_TRUE(lines.back().ends_with("] last"));
}

void writeBytes(const std::wstring& path, std::size_t count, char fill) {
    writeFile(path, std::string(count, fill));
}

// Opens the folder's log file as the program does at start-up, writes `text` and closes it.
void openAndWrite(const TempFolder& folder, const char* text) {
    std::FILE* file = win::openLogFile(folder.path());
    ASSERT_NE(file, nullptr);
    std::fputs(text, file);
    std::fclose(file);
}

TEST(LogRotation, RotatesOnlyFilesLargerThanTwoMebibytes) {
    TempFolder folder;
    const std::wstring log = folder.file(L"qova.log");
    const std::wstring old = folder.file(L"qova.old.log");

    writeBytes(log, win::kLogRotateBytes, 'a');  // exactly the limit: kept
    ASSERT_NO_FATAL_FAILURE(openAndWrite(folder, "x"));
    EXPECT_FALSE(fileExists(old));
    EXPECT_EQ(readFile(log).size(), win::kLogRotateBytes + 1);

    // One byte more than the limit now: rotated at the next open, and the new file starts empty.
    ASSERT_NO_FATAL_FAILURE(openAndWrite(folder, ""));
    EXPECT_EQ(readFile(old).size(), win::kLogRotateBytes + 1);
    EXPECT_EQ(readFile(log), "");

    // A second rotation replaces the older file.
    writeBytes(log, win::kLogRotateBytes + 10, 'b');
    ASSERT_NO_FATAL_FAILURE(openAndWrite(folder, ""));
    const std::string older = readFile(old);
    EXPECT_EQ(older.size(), win::kLogRotateBytes + 10);
    EXPECT_EQ(older.front(), 'b');
    EXPECT_EQ(readFile(log), "");
}

TEST(LogRotation, AppendsWithoutNewlineTranslation) {
    TempFolder folder;
    writeFile(folder.file(L"qova.log"), "earlier\n");
    ASSERT_NO_FATAL_FAILURE(openAndWrite(folder, "a\nb\n"));
    EXPECT_EQ(readFile(folder.file(L"qova.log")), "earlier\na\nb\n");
}

TEST(LogRotation, OthersMayReadButNotWriteTheOpenFile) {
    TempFolder folder;
    std::FILE* file = win::openLogFile(folder.path());
    ASSERT_NE(file, nullptr);
    const std::wstring path = folder.file(L"qova.log");
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

    win::UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader);
    win::UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    std::fclose(file);
}

TEST(LogRotation, MissingFolderGivesNoFile) {
    TempFolder folder;
    EXPECT_EQ(win::openLogFile(folder.file(L"missing")), nullptr);
}

TEST(SystemErrorText, KnownCodeHasTrimmedTextThenTheCode) {
    for (unsigned long code : {2ul, 5ul, 0x80070005ul}) {
        const std::string text = win::systemErrorText(code);
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, " (0x%08lx)", code);
        ASSERT_TRUE(text.ends_with(suffix)) << text;
        const std::string message = text.substr(0, text.size() - std::strlen(suffix));
        EXPECT_FALSE(message.empty()) << code;
        EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << text;
        // The system's texts end in a full stop and CR LF: the stop stays, the line end goes.
        EXPECT_EQ(message.back(), '.') << text;
    }
}

TEST(SystemErrorText, UnknownCodeGivesOnlyTheCode) {
    EXPECT_EQ(win::systemErrorText(0x2000abcdul), " (0x2000abcd)");
}

TEST(TextConversion, RoundTripsAndConvertsLikeTheSystem) {
    const std::string utf8 = "Z\xc3\xbcrich \xe2\x99\xab \xf0\x9d\x84\x9e";  // Zürich ♫ 𝄞
    const std::wstring wide = L"Z\u00fcrich \u266b \xd834\xdd1e";
    EXPECT_EQ(win::toWide(utf8), wide);
    EXPECT_EQ(win::toUtf8(wide), utf8);
    EXPECT_EQ(win::toUtf8(L""), "");
    EXPECT_EQ(win::toWide(""), L"");
    EXPECT_EQ(win::toWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));  // length from the input, not a NUL

    // Invalid input becomes U+FFFD, as the system converts with flags 0.
    EXPECT_EQ(win::toWide("a\xff"
                          "b"),
              L"a\ufffd"
              L"b");
    EXPECT_EQ(win::toUtf8(std::wstring(L"x") + wchar_t(0xd800)), "x\xef\xbf\xbd");
}

// Runs log_probe as a debuggee and collects its debugger output.
std::string debugOutputOf(const std::wstring& arguments) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!testing_support::startProgram(L"log_probe.exe", arguments, false, DEBUG_ONLY_THIS_PROCESS, startup, info)) {
        ADD_FAILURE() << "cannot start log_probe, error " << GetLastError();
        return {};
    }
    win::UniqueHandle process(info.hProcess);
    win::UniqueHandle thread(info.hThread);
    std::string output;
    for (bool running = true; running;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 30000)) {
            ADD_FAILURE() << "log_probe went silent";
            TerminateProcess(process.get(), 99);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT: {
            const auto& text = event.u.DebugString;
            std::string piece(text.nDebugStringLength, '\0');
            SIZE_T got = 0;
            ReadProcessMemory(process.get(), text.lpDebugStringData, piece.data(), piece.size(), &got);
            piece.resize(got);
            if (!piece.empty() && piece.back() == '\0') piece.pop_back();
            output += piece;
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT: running = false; break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    return output;
}

TEST(DebuggerOutput, CarriesLinesBeforeAndAfterTheFileOpens) {
    TempFolder folder;
    const std::string debugOutput = debugOutputOf(L"\"" + folder.path() + L"\"");
    EXPECT_NE(debugOutput.find("] probe line before the file is open\n"), std::string::npos) << debugOutput;
    EXPECT_NE(debugOutput.find("] probe line after the file is open\n"), std::string::npos) << debugOutput;

    const std::string file = readFile(folder.file(L"qova.log"));
    EXPECT_EQ(file.find("before the file is open"), std::string::npos) << file;
    EXPECT_NE(file.find("] probe line after the file is open\n"), std::string::npos) << file;
}

}  // namespace
}  // namespace app
