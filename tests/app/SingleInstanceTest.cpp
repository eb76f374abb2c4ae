#include "app/shell/SingleInstance.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "win/base/Session.h"

namespace app {
namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::runProgram;
using testing_support::TempFolder;

TEST(SingleInstanceName, HashesThePipeNameOverItsUtf16Bytes) {
    EXPECT_EQ(fnv1a64(L""), 14695981039346656037ull);
    EXPECT_EQ(fnv1a64(L"a"), 620337896427418084ull);       // bytes 61 00
    EXPECT_EQ(fnv1a64(L"\u00fc"), 762867588764215489ull);  // bytes fc 00
    EXPECT_EQ(fnv1a64(L"\\\\.\\pipe\\qova-1"), 7120330784603707890ull);
    EXPECT_NE(fnv1a64(L"\\\\.\\pipe\\qova-1"), fnv1a64(L"\\\\.\\pipe\\qova-2"));
}

TEST(SingleInstanceName, AddsTheHashOnlyWhenAPipeIsGiven) {
    EXPECT_EQ(singleInstanceMutexName(L"S-1-5-21-0-0-0-1000", L""), L"Local\\QOVA-single-S-1-5-21-0-0-0-1000");
    EXPECT_EQ(singleInstanceMutexName(L"S-1-5-21-0-0-0-1000", L"\\\\.\\pipe\\qova-1"),
              L"Local\\QOVA-single-S-1-5-21-0-0-0-1000-7120330784603707890");
    EXPECT_EQ(singleInstanceMutexName(L"", L""), L"Local\\QOVA-single-");
}

// Stands in for a first copy: owns its mutex and has a window of the program's class.
class FirstCopy {
public:
    explicit FirstCopy(const std::wstring& pipeName)
        : mutex_(CreateMutexW(nullptr, TRUE, singleInstanceMutexName(win::userSidString(), pipeName).c_str())) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kMainWindowClass;
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, kMainWindowClass, L"first", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~FirstCopy() {
        DestroyWindow(window_);
        UnregisterClassW(kMainWindowClass, GetModuleHandleW(nullptr));
        ReleaseMutex(mutex_.get());
    }
    bool ready() const { return mutex_ && window_ != nullptr; }

    // The show requests that reached the window, with both parameters 0.
    int showRequests() const {
        int count = 0;
        MSG message;
        while (PeekMessageW(&message, window_, kShowRequestMessage, kShowRequestMessage, PM_REMOVE)) {
            if (message.wParam == 0 && message.lParam == 0) ++count;
        }
        return count;
    }

private:
    win::UniqueHandle mutex_;
    HWND window_ = nullptr;
};

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

TEST(SingleInstanceProcess, SecondCopyForSamePipeAsksTheFirstToShowAndEndsQuietly) {
    const std::wstring pipe = L"\\\\.\\pipe\\qova-same-" + std::to_wstring(GetCurrentProcessId());
    FirstCopy first(pipe);
    ASSERT_TRUE(first.ready());
    TempFolder data;

    const auto result = runProgram(L"QOVA.exe", L"--pipe " + pipe + L" --data-dir " + quoted(data.path()));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(first.showRequests(), 1);
    EXPECT_FALSE(fileExists(data.file(L"qova.log")));
    EXPECT_EQ(result.output, "");
}

TEST(SingleInstanceProcess, SecondCopyWithoutPipeUsesThePlainName) {
    FirstCopy first(L"");
    ASSERT_TRUE(first.ready());
    TempFolder data;

    // A trailing "--pipe" without a value is ignored, so the plain name is used here too.
    for (const std::wstring& tail : {std::wstring(), std::wstring(L" --pipe")}) {
        const auto result = runProgram(L"QOVA.exe", L"--data-dir " + quoted(data.path()) + tail);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(first.showRequests(), 1);
    }
    EXPECT_FALSE(fileExists(data.file(L"qova.log")));
}

TEST(SingleInstanceProcess, CopyForAnotherPipeRunsAlongside) {
    FirstCopy first(L"\\\\.\\pipe\\qova-one");
    ASSERT_TRUE(first.ready());
    TempFolder data;

    // Screenshot mode: the copy starts up in full, saves a picture and ends by itself.
    runProgram(L"QOVA.exe", L"--pipe \\\\.\\pipe\\qova-two --data-dir " + quoted(data.path()) + L" --screenshot " +
                                quoted(data.file(L"shot.bmp")));
    EXPECT_EQ(first.showRequests(), 0);
    EXPECT_NE(readFile(data.file(L"qova.log")).find("starting (session"), std::string::npos);
    EXPECT_TRUE(fileExists(data.file(L"shot.bmp")));
}

TEST(VersionOption, PrintsTheVersionLineAndDoesNothingElse) {
    TempFolder data;
    FirstCopy first(L"\\\\.\\pipe\\qova-v");  // even with a first copy running, --version only prints
    const std::wstring dataDir = L"--data-dir " + quoted(data.path());
    for (const std::wstring& arguments :
         {std::wstring(L"--version"), dataDir + L" --version", L"--pipe \\\\.\\pipe\\qova-v --version " + dataDir,
          L"--version --pipe \\\\.\\pipe\\qova-v " + dataDir}) {
        const auto result = runProgram(L"QOVA.exe", arguments);
        EXPECT_EQ(result.exitCode, 0u) << testing::PrintToString(arguments);
        EXPECT_EQ(result.output, "QOVA 0.1.2\n") << testing::PrintToString(arguments);
    }
    EXPECT_EQ(first.showRequests(), 0);
    EXPECT_FALSE(fileExists(data.file(L"qova.log")));
}

}  // namespace
}  // namespace app
