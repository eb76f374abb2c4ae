#include "TestSupport.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "win/base/UniqueHandle.h"

namespace testing_support {

namespace {

void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    static unsigned counter = 0;
    path_ = std::wstring(base) + L"qova-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) ADD_FAILURE() << "cannot create a scratch folder";
}

TempFolder::~TempFolder() {
    removeTree(path_);
}

std::wstring binaryFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

bool startProgram(const std::wstring& program, const std::wstring& arguments, bool inheritHandles, DWORD flags,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
    const std::wstring path = binaryFolder() + L"\\" + program;
    for (int attempt = 1;; ++attempt) {
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;  // CreateProcessW may write to it
        if (CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, inheritHandles, flags, nullptr, nullptr,
                           &startup, &info))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return false;
        std::printf("%ls died before it ran (error %u); starting it again\n", program.c_str(),
                    static_cast<unsigned>(ERROR_INTERNAL_ERROR));
        Sleep(200);
        SetLastError(ERROR_INTERNAL_ERROR);
    }
}

AsyncProgram::AsyncProgram(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return;
    }
    reader_.reset(readEnd);
    win::UniqueHandle writer(writeEnd);
    SetHandleInformation(reader_.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    PROCESS_INFORMATION info{};
    if (!startProgram(program, arguments, true, 0, startup, info)) {
        ADD_FAILURE() << "cannot start the program, error " << GetLastError();
        return;
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    writer.reset();  // the child holds the only write end now, so reading ends when it does
    drain_ = std::thread([this] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) output_.append(buffer, got);
    });
}

AsyncProgram::~AsyncProgram() {
    if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
    if (drain_.joinable()) drain_.join();
}

ProcessResult AsyncProgram::finish(DWORD timeoutMs) {
    ProcessResult result;
    if (!process_) return result;
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the program did not end in time";
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
    if (drain_.joinable()) drain_.join();
    GetExitCodeProcess(process_.get(), &result.exitCode);
    result.output = output_;
    return result;
}

ProcessResult runProgram(const std::wstring& program, const std::wstring& arguments) {
    return AsyncProgram(program, arguments).finish(30000);
}

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int runningThreads() {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    if (snapshot && Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
        } while (Thread32Next(snapshot.get(), &entry));
    }
    return count;
}

int openHandles() {
    int count = 0;
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < 0x8000; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

}  // namespace testing_support
