#pragma once

// Helpers for the Windows-side tests: scratch folders, files, and running a real second
// process from the folder the test executables share with QOVA.exe.

#include <windows.h>

#include <string>
#include <thread>

#include "win/base/UniqueHandle.h"

namespace testing_support {

// A fresh folder under the temporary folder, removed with its contents at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// The folder holding the running test executable, and so QOVA.exe.
std::wstring binaryFolder();

// CreateProcessW for "binaryFolder()\program" with the given command line, started again when
// the host reports that the new process died before running any code of its own (Wine answers
// ERROR_INTERNAL_ERROR then, seen once in some thousand starts on a busy machine): nothing of the
// program ran, so a second start is safe. False with GetLastError() set when it cannot start.
bool startProgram(const std::wstring& program, const std::wstring& arguments, bool inheritHandles, DWORD flags,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& info);

struct ProcessResult {
    DWORD exitCode = 0xffffffff;
    std::string output;  // what it wrote to its standard output
};

// "binaryFolder()\program" started with the given arguments (already quoted as needed),
// its standard output and error collected while it runs. Ended by force if still running
// when destroyed.
class AsyncProgram {
public:
    AsyncProgram(const std::wstring& program, const std::wstring& arguments);
    ~AsyncProgram();
    AsyncProgram(const AsyncProgram&) = delete;
    AsyncProgram& operator=(const AsyncProgram&) = delete;

    bool started() const { return static_cast<bool>(process_); }
    // Waits up to timeoutMs for the program to end (terminating it after that).
    ProcessResult finish(DWORD timeoutMs);

private:
    win::UniqueHandle process_;
    win::UniqueHandle reader_;
    std::thread drain_;
    std::string output_;
};

// Runs the program to its end (30 s at most) and collects its standard output.
ProcessResult runProgram(const std::wstring& program, const std::wstring& arguments);

// A file held open with no sharing at all, as a backup program or a virus scanner may hold
// one: nobody else can read, write, rename or delete it until release.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : file_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    bool held() const { return static_cast<bool>(file_); }
    void release() { file_.reset(); }

private:
    win::UniqueHandle file_;
};

bool fileExists(const std::wstring& path);
std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& bytes);

// Threads of this process that are running now.
int runningThreads();

// Handles open in this process, found by asking about every small handle value. A thread
// that ended without being joined is not running any more, but its handle stays open: this
// is what shows it (Wine answers GetProcessHandleCount with 0).
int openHandles();

}  // namespace testing_support
