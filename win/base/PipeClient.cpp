#include "win/base/PipeClient.h"

#include <vector>

namespace win {

namespace {

constexpr DWORD kReadChunkBytes = 65536;
constexpr DWORD kMissingPauseMs = 5;

}  // namespace

bool pipeClosedByPeer(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

bool PipeClient::open(const std::wstring& name, const PipeWait& wait) {
    pipe_.reset();
    const ULONGLONG start = GetTickCount64();
    ULONGLONG busySince = 0;
    for (;;) {
        pipe_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe_) break;
        lastError_ = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (lastError_ == ERROR_FILE_NOT_FOUND || lastError_ == ERROR_PATH_NOT_FOUND) {
            ++missingSeen_;
            if (now - start >= wait.missingMs) return false;
            Sleep(kMissingPauseMs);
        } else if (lastError_ == ERROR_PIPE_BUSY) {
            // The server makes the next instance as soon as it has handed this one out.
            if (busySince == 0) busySince = now;
            if (now - busySince >= wait.busyMs) return false;
            WaitNamedPipeW(name.c_str(), static_cast<DWORD>(wait.busyMs - (now - busySince)));
        } else {
            return false;
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
        lastError_ = GetLastError();
        pipe_.reset();
        return false;
    }
    if (!event_) event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_) {
        lastError_ = GetLastError();
        pipe_.reset();
        return false;
    }
    return true;
}

// Waits for an overlapped call that returned started; false with lastError_ when it failed
// or the time ran out (the call is then cancelled). ERROR_MORE_DATA counts as done: the
// message goes on in the next read.
bool PipeClient::finish(OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs, DWORD& bytes) {
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            lastError_ = error;
            return false;
        }
    }
    if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.get(), &overlapped);
        GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE);
        lastError_ = ERROR_TIMEOUT;
        return false;
    }
    if (GetOverlappedResult(pipe_.get(), &overlapped, &bytes, FALSE)) {
        lastError_ = ERROR_SUCCESS;
        return true;
    }
    lastError_ = GetLastError();
    return lastError_ == ERROR_MORE_DATA;
}

bool PipeClient::send(std::string_view message, DWORD timeoutMs) {
    if (!pipe_) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    DWORD written = 0;
    const BOOL started =
        WriteFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
    return finish(overlapped, started, timeoutMs, written) && written == message.size();
}

PipeReceive PipeClient::receive(std::string& message, DWORD timeoutMs) {
    message.clear();
    if (!pipe_) {
        lastError_ = ERROR_INVALID_HANDLE;
        return PipeReceive::Broken;
    }
    std::vector<char> buffer(kReadChunkBytes);
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        ResetEvent(event_.get());
        DWORD got = 0;
        const BOOL started = ReadFile(pipe_.get(), buffer.data(), kReadChunkBytes, nullptr, &overlapped);
        if (!finish(overlapped, started, timeoutMs, got))
            return lastError_ == ERROR_TIMEOUT ? PipeReceive::TimedOut : PipeReceive::Broken;
        message.append(buffer.data(), got);
        if (lastError_ == ERROR_SUCCESS) return PipeReceive::Message;
    }
}

std::optional<std::string> PipeClient::ask(std::string_view request, DWORD timeoutMs) {
    if (!send(request, timeoutMs)) return std::nullopt;
    std::string reply;
    if (receive(reply, timeoutMs) != PipeReceive::Message) return std::nullopt;
    return reply;
}

}  // namespace win
