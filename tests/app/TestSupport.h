#pragma once

// Helpers for the Windows-side tests: scratch folders, files, and running a real second
// process from the folder the test executables share with QOVA.exe.

#include <windows.h>

#include <string>

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

struct ProcessResult {
    DWORD exitCode = 0xffffffff;
    std::string output;  // what it wrote to its standard output
};

// Runs "binaryFolder()\program" with the given arguments (already quoted as needed),
// waits up to 30 s for it, and collects its standard output.
ProcessResult runProgram(const std::wstring& program, const std::wstring& arguments);

bool fileExists(const std::wstring& path);
std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& bytes);

}  // namespace testing_support
