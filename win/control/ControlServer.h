#pragma once

// The control pipe server: one Windows named pipe in message mode, one instance and one
// thread per connected player app, one request message answered by one reply message (the
// protocol is core/control/ControlProtocol.h). Only the user who runs QOVA (and LocalSystem) may
// open the pipe, and only from this computer. When a client goes, onDisconnect hears its
// number, so that the router releases its cards.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/control/ControlBackend.h"
#include "core/control/ControlProtocol.h"
#include "win/base/LocalMemory.h"
#include "win/base/UniqueHandle.h"

namespace win {

inline constexpr std::size_t kPipeBufferBytes = 65536;
inline constexpr std::size_t kMaxMessageBytes = 262144;  // a longer message ends its connection
inline constexpr std::size_t kListeningInstances = 2;

// "\\.\pipe\qova-" + the Windows session number of this process.
std::wstring defaultPipeName();

class ControlServer {
public:
    using DisconnectFunction = std::function<void(std::uint64_t clientId)>;
    // Answers one request; core::handleControlRequest, or a test's stand-in.
    using RequestHandler = std::string (*)(core::ControlBackend&, core::ClientState&, std::string_view request);

    // Stores them; nothing starts. backend must outlive the server.
    ControlServer(core::ControlBackend& backend, DisconnectFunction onDisconnect,
                  RequestHandler handler = core::handleControlRequest);
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer();

    // False with error set when the pipe cannot be served (e.g. another process serves the
    // name already).
    bool start(const std::wstring& pipeName, std::string& error);

    // Ends every thread and frees everything; also after a failed start or none.
    void stop();

private:
    struct Connection;

    // Accept thread: keeps kListeningInstances instances waiting for clients, the first one
    // being `first`.
    void acceptLoop(UniqueHandle first);
    // Accept thread: a fresh instance, retried while the system refuses one; null when stop
    // came first.
    UniqueHandle newInstance();
    // Accept thread: hands a connected instance to a thread of its own (closing it when no
    // thread can be started).
    void startConnection(UniqueHandle instance, std::uint64_t clientId);
    // Connection thread: serves one client; sets connection.finished as its last act.
    void serve(UniqueHandle pipe, std::uint64_t clientId, Connection& connection);
    // Any of the server's threads. Null (after the system has set the last error) on failure.
    HANDLE createInstance(bool first);

    core::ControlBackend& backend_;
    DisconnectFunction onDisconnect_;
    RequestHandler handler_;
    std::wstring pipeName_;
    UniqueHandle stopEvent_;  // manual reset; set once, by stop
    UniqueLocal<void> securityDescriptor_;
    std::thread acceptThread_;
    std::mutex lock_;
    // Threads of the connections still running, and of those that ended since the last
    // accept: each accept joins and drops the finished ones, so a long run with clients
    // coming and going keeps no dead threads. Guarded by lock_.
    std::vector<std::unique_ptr<Connection>> connections_;
    std::atomic<std::uint64_t> nextClientId_{1};
};

}  // namespace win
