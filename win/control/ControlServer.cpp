#include "win/control/ControlServer.h"

#include <sddl.h>

#include <array>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "core/control/ControlProtocol.h"
#include "win/base/Log.h"
#include "win/base/Session.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

// Threads: the caller of start/stop; the accept thread, which makes pipe instances and
// waits for clients; one connection thread per client, which reads a request, answers it
// and reads the next. Every wait of the two kinds of server thread also waits on stopEvent_,
// so stop ends them all without depending on any client.

namespace win {

struct ControlServer::Connection {
    std::thread thread;
    // Release-stored by the connection thread after its last use of the server; the accept
    // thread acquires it before it joins the thread and drops this entry.
    std::atomic<bool> finished{false};
};

namespace {

constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kRetryPauseMs = 1000;

enum class IoOutcome { Complete, MoreData, Failed, Stopped };

// Finishes an overlapped read or write on `pipe` whose call returned `started`, waiting
// for it when it is pending. `bytes` receives the count moved.
IoOutcome finishIo(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, HANDLE stopEvent, DWORD& bytes) {
    bytes = 0;
    if (!started) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            const HANDLE waits[] = {overlapped.hEvent, stopEvent};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                // The operation still refers to our buffer and OVERLAPPED: it must be over
                // before either goes away.
                CancelIoEx(pipe, &overlapped);
                GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
                return IoOutcome::Stopped;
            }
        } else if (error != ERROR_MORE_DATA) {
            return IoOutcome::Failed;
        }
    }
    if (GetOverlappedResult(pipe, &overlapped, &bytes, FALSE)) return IoOutcome::Complete;
    return GetLastError() == ERROR_MORE_DATA ? IoOutcome::MoreData : IoOutcome::Failed;
}

// Accept thread: one pipe instance waiting for a client. Instances listen from their
// creation, so a client may connect before ConnectNamedPipe is called.
struct Listener {
    UniqueHandle instance;
    UniqueHandle event;  // manual reset: set when a client connected or the connect failed
    OVERLAPPED overlapped{};
    bool pending = false;          // ConnectNamedPipe still refers to overlapped
    bool connectedAtOnce = false;  // ConnectNamedPipe found a client already there

    // Starts waiting for a client on `newInstance`; event is made already.
    void listen(UniqueHandle newInstance) {
        instance = std::move(newInstance);
        ResetEvent(event.get());
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        pending = false;
        connectedAtOnce = ConnectNamedPipe(instance.get(), &overlapped) != FALSE;
        if (!connectedAtOnce) {
            const DWORD error = GetLastError();
            pending = error == ERROR_IO_PENDING;
            // ERROR_PIPE_CONNECTED: the client came between creation and the call. Anything
            // else: the instance is spoilt and is replaced when its event is seen.
            connectedAtOnce = error == ERROR_PIPE_CONNECTED;
        }
        if (!pending) SetEvent(event.get());
    }

    // After the event was seen: true when a client is connected to the instance.
    bool connected() {
        if (!pending) return connectedAtOnce;
        DWORD bytes = 0;
        pending = false;
        return GetOverlappedResult(instance.get(), &overlapped, &bytes, FALSE) != FALSE;
    }

    // Ends a pending connect; the OVERLAPPED is ours again when this returns.
    void cancel() {
        if (!pending) return;
        DWORD bytes = 0;
        CancelIoEx(instance.get(), &overlapped);
        GetOverlappedResult(instance.get(), &overlapped, &bytes, TRUE);
        pending = false;
    }
};

template <std::size_t count>
void cancelAll(std::array<Listener, count>& listeners) {
    for (Listener& listener : listeners) listener.cancel();
}

// Gathers one request message into `message`. False when the connection is to end: the
// client went, an error, stop, or a message longer than kMaxMessageBytes. The limit is
// checked against what is known to be in the message, so it does not depend on how the
// system splits a message into reads.
bool readMessage(HANDLE pipe, HANDLE event, HANDLE stopEvent, std::string& message) {
    message.clear();
    for (;;) {
        const std::size_t gathered = message.size();
        message.resize(gathered + kPipeBufferBytes);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        ResetEvent(event);
        const BOOL started =
            ReadFile(pipe, message.data() + gathered, static_cast<DWORD>(kPipeBufferBytes), nullptr, &overlapped);
        DWORD bytes = 0;
        const IoOutcome outcome = finishIo(pipe, overlapped, started, stopEvent, bytes);
        message.resize(gathered + bytes);
        if (outcome == IoOutcome::Complete) return true;
        if (outcome != IoOutcome::MoreData) return false;
        if (message.size() >= kMaxMessageBytes) return false;  // and more follows
    }
}

// Writes `reply` as one message. False when it could not be delivered.
bool writeMessage(HANDLE pipe, HANDLE event, HANDLE stopEvent, const std::string& reply) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    const BOOL started = WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &overlapped);
    DWORD bytes = 0;
    return finishIo(pipe, overlapped, started, stopEvent, bytes) == IoOutcome::Complete && bytes == reply.size();
}

}  // namespace

std::wstring defaultPipeName() {
    return L"\\\\.\\pipe\\qova-" + std::to_wstring(sessionId());
}

ControlServer::ControlServer(core::ControlBackend& backend, DisconnectFunction onDisconnect, RequestHandler handler)
    : backend_(backend), onDisconnect_(std::move(onDisconnect)), handler_(handler) {}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::start(const std::wstring& pipeName, std::string& error) {
    pipeName_ = pipeName;

    // Generic-all for LocalSystem and the user running QOVA, nobody else; the protected DACL
    // keeps inherited entries out.
    const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + userSidString() + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        error = "pipe security: " + systemErrorText(GetLastError());
        return false;
    }
    securityDescriptor_.reset(descriptor);

    const std::string pathText = toUtf8(pipeName_);
    stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_) {
        error = "pipe " + pathText + ": " + systemErrorText(GetLastError());
        return false;
    }

    // The first-instance flag makes this fail when another process serves the name already.
    UniqueHandle first(createInstance(true));
    if (!first) {
        error = "pipe " + pathText + ": " + systemErrorText(GetLastError());
        return false;
    }

    try {
        acceptThread_ = std::thread([this, first = std::move(first)]() mutable { acceptLoop(std::move(first)); });
    } catch (const std::system_error& failure) {
        error = "pipe " + pathText + ": " + failure.what();
        return false;
    }
    logLine("control pipe %s ready", pathText.c_str());
    return true;
}

void ControlServer::stop() {
    if (stopEvent_) {
        SetEvent(stopEvent_.get());
        if (acceptThread_.joinable()) acceptThread_.join();

        std::vector<std::unique_ptr<Connection>> connections;
        {
            std::lock_guard guard(lock_);
            connections.swap(connections_);
        }
        // Each ends at its next wait, or once the request it is serving is answered.
        for (const auto& connection : connections) {
            if (connection->thread.joinable()) connection->thread.join();
        }

        stopEvent_.reset();
    }
    securityDescriptor_.reset();
}

HANDLE ControlServer::createInstance(bool first) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = securityDescriptor_.get();
    attributes.bInheritHandle = FALSE;
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    const HANDLE instance =
        CreateNamedPipeW(pipeName_.c_str(), openMode, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                         static_cast<DWORD>(kPipeBufferBytes), static_cast<DWORD>(kPipeBufferBytes), 0, &attributes);
    return instance == INVALID_HANDLE_VALUE ? nullptr : instance;
}

UniqueHandle ControlServer::newInstance() {
    for (;;) {
        UniqueHandle instance(createInstance(false));
        if (instance) return instance;
        logLine("pipe: %s", systemErrorText(GetLastError()).c_str());
        if (WaitForSingleObject(stopEvent_.get(), kRetryPauseMs) != WAIT_TIMEOUT) return UniqueHandle();
    }
}

void ControlServer::acceptLoop(UniqueHandle first) {
    // Two instances listen at all times: while one is handed to its client and replaced, the
    // other answers, so that a player never finds the name missing (and takes QOVA for not
    // running) however fast clients come and go.
    std::array<Listener, kListeningInstances> listeners;
    HANDLE waits[kListeningInstances + 1];
    for (std::size_t i = 0; i < kListeningInstances; ++i) {
        for (;;) {
            listeners[i].event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (listeners[i].event) break;
            logLine("pipe: %s", systemErrorText(GetLastError()).c_str());
            if (WaitForSingleObject(stopEvent_.get(), kRetryPauseMs) != WAIT_TIMEOUT) return cancelAll(listeners);
        }
        waits[i] = listeners[i].event.get();
        UniqueHandle instance = i == 0 ? std::move(first) : newInstance();
        if (!instance) return cancelAll(listeners);
        listeners[i].listen(std::move(instance));
    }
    waits[kListeningInstances] = stopEvent_.get();

    for (;;) {
        const DWORD woken = WaitForMultipleObjects(kListeningInstances + 1, waits, FALSE, INFINITE);
        if (woken >= WAIT_OBJECT_0 + kListeningInstances) return cancelAll(listeners);
        // Every instance whose client came is served in turn, so that a busy first one
        // cannot keep the second's client waiting.
        for (Listener& listener : listeners) {
            if (WaitForSingleObject(listener.event.get(), 0) != WAIT_OBJECT_0) continue;
            // Numbered 1, 2, 3, ... for the life of the process, whatever became of the
            // others. A failed connect is not worth a log line: the client is gone.
            if (listener.connected()) startConnection(std::move(listener.instance), nextClientId_.fetch_add(1));
            listener.instance.reset();
            UniqueHandle replacement = newInstance();
            if (!replacement) return cancelAll(listeners);
            listener.listen(std::move(replacement));
        }
    }
}

void ControlServer::startConnection(UniqueHandle instance, std::uint64_t clientId) {
    std::lock_guard guard(lock_);
    // Threads that have ended are joined here, so that their number stays bounded by the
    // clients connected at once rather than growing with every client since the start.
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& connection) {
        if (!connection->finished.load(std::memory_order_acquire)) return false;
        connection->thread.join();
        return true;
    });
    // Out of threads or memory the client is dropped (its end sees the pipe broken), and the
    // accept thread goes on: a later client may fare better.
    try {
        auto connection = std::make_unique<Connection>();
        Connection& entry = *connection;
        connections_.push_back(std::move(connection));
        try {
            entry.thread = std::thread([this, instance = std::move(instance), clientId, &entry]() mutable {
                serve(std::move(instance), clientId, entry);
            });
        } catch (...) {
            connections_.pop_back();
            throw;
        }
    } catch (const std::exception& failure) {
        logLine("player %llu: %s", static_cast<unsigned long long>(clientId), failure.what());
    } catch (...) {
        logLine("player %llu: could not be served", static_cast<unsigned long long>(clientId));
    }
}

void ControlServer::serve(UniqueHandle pipe, std::uint64_t clientId, Connection& connection) {
    const auto id = static_cast<unsigned long long>(clientId);
    logLine("player %llu connected", id);
    // Whatever fails while one client is served (memory, the engine) ends that connection
    // only: every other card plays on and the pipe goes on answering.
    try {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        core::ClientState client;
        client.clientId = clientId;
        std::string message;
        message.reserve(kPipeBufferBytes);
        // A client that always has its next request waiting never blocks in a read, so stop
        // is also looked for between requests.
        while (event && WaitForSingleObject(stopEvent_.get(), 0) == WAIT_TIMEOUT) {
            if (!readMessage(pipe.get(), event.get(), stopEvent_.get(), message)) break;
            const std::string reply = handler_(backend_, client, message);
            if (!writeMessage(pipe.get(), event.get(), stopEvent_.get(), reply)) break;
        }
    } catch (const std::exception& failure) {
        logLine("player %llu: %s; connection ended", id, failure.what());
    } catch (...) {
        logLine("player %llu: unknown failure; connection ended", id);
    }
    DisconnectNamedPipe(pipe.get());
    pipe.reset();
    logLine("player %llu disconnected", id);
    try {
        if (onDisconnect_) onDisconnect_(clientId);
    } catch (const std::exception& failure) {
        logLine("player %llu: releasing its cards failed: %s", id, failure.what());
    } catch (...) {
        logLine("player %llu: releasing its cards failed", id);
    }
    connection.finished.store(true, std::memory_order_release);
}

}  // namespace win
