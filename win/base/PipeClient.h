#pragma once

// The client's end of a message-mode named pipe: one request message out, one whole reply
// message back. What a player app, qova-player, the pipe benchmark and the tests all speak to
// QOVA's control pipe with.
//
// The handle is overlapped so that every wait can be bounded: a test or a tool must be able
// to tell a server that does not answer from one that is slow. One thread at a time.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "win/base/UniqueHandle.h"

namespace win {

// How long open() keeps trying.
struct PipeWait {
    // A name not found is looked for again this long: between handing one instance to a
    // client and making the next, a busy server has none for a moment.
    DWORD missingMs = 500;
    // Every instance taken: wait this long for one to be free.
    DWORD busyMs = 2000;
};

enum class PipeReceive { Message, Broken, TimedOut };

class PipeClient {
public:
    // False with lastError() set when no instance could be had in time: ERROR_FILE_NOT_FOUND
    // (or ERROR_PATH_NOT_FOUND) when the name never appeared, ERROR_PIPE_BUSY when every
    // instance stayed taken, or what the system said.
    bool open(const std::wstring& name, const PipeWait& wait = PipeWait{});
    bool isOpen() const { return static_cast<bool>(pipe_); }
    void close() { pipe_.reset(); }

    // The system's error for the last failure; ERROR_TIMEOUT when a wait ran out.
    DWORD lastError() const { return lastError_; }
    // How often open() found the name missing, in all.
    std::uint32_t missingSeen() const { return missingSeen_; }

    // True when the whole message went out within the time.
    bool send(std::string_view message, DWORD timeoutMs = INFINITE);
    PipeReceive receive(std::string& message, DWORD timeoutMs = INFINITE);
    // One request and its whole reply; nullopt when either failed (lastError() says why).
    std::optional<std::string> ask(std::string_view request, DWORD timeoutMs = INFINITE);

private:
    bool finish(OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs, DWORD& bytes);

    UniqueHandle pipe_;
    UniqueHandle event_;
    DWORD lastError_ = ERROR_SUCCESS;
    std::uint32_t missingSeen_ = 0;
};

// True for the errors a pipe gives when the other end closed it.
bool pipeClosedByPeer(DWORD error);

}  // namespace win
