// What a control request costs a player app: the round trip of "cards" (after "hello")
// through the real control server and a real router on test outputs, beside the round trip
// through a bare echo server on a pipe made the same way (message mode, overlapped, one
// thread) in the same run. The two are measured in alternating blocks, so that a machine
// whose load changes during the run weighs on both alike.
//
// Run under Wine like the tests: pipe_bench.exe [round trips per server, default 20000].
// The aim: the control server's median at most 1.5 times the echo server's.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/settings/Settings.h"
#include "win/base/PipeClient.h"
#include "win/base/UniqueHandle.h"
#include "win/control/ControlServer.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace {

using namespace win;
using Clock = std::chrono::steady_clock;

constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS;

std::wstring benchPipeName(const wchar_t* what) {
    return L"\\\\.\\pipe\\qova-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what;
}

// One client at a time; answers every message with its own bytes.
class EchoServer {
public:
    explicit EchoServer(const std::wstring& name) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        pipe_.reset(CreateNamedPipeW(name.c_str(),
                                     PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     kPipeMode, PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
        if (pipe_) thread_ = std::thread([this] { run(); });
    }
    ~EchoServer() {
        SetEvent(stop_.get());
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return static_cast<bool>(pipe_); }

private:
    // Waits for an overlapped call on the pipe; false when stopped or failed.
    bool finish(BOOL started, OVERLAPPED& overlapped, DWORD& bytes) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        const HANDLE waits[] = {overlapped.hEvent, stop_.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_.get(), &overlapped, &bytes, FALSE) != FALSE;
    }

    void run() {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD bytes = 0;
        const BOOL connected = ConnectNamedPipe(pipe_.get(), &overlapped);
        if (!connected && GetLastError() != ERROR_PIPE_CONNECTED && !finish(FALSE, overlapped, bytes)) return;
        std::vector<char> buffer(65536);
        for (;;) {
            overlapped = OVERLAPPED{};
            overlapped.hEvent = event.get();
            ResetEvent(event.get());
            if (!finish(ReadFile(pipe_.get(), buffer.data(), 65536, nullptr, &overlapped), overlapped, bytes)) return;
            const DWORD length = bytes;
            overlapped = OVERLAPPED{};
            overlapped.hEvent = event.get();
            ResetEvent(event.get());
            if (!finish(WriteFile(pipe_.get(), buffer.data(), length, nullptr, &overlapped), overlapped, bytes)) return;
        }
    }

    UniqueHandle stop_;
    UniqueHandle pipe_;
    std::thread thread_;
};

struct Figures {
    double medianUs = 0;
    double p99Us = 0;
};

Figures figuresOf(std::vector<double> samplesUs) {
    std::sort(samplesUs.begin(), samplesUs.end());
    Figures figures;
    figures.medianUs = samplesUs[samplesUs.size() / 2];
    figures.p99Us = samplesUs[std::min(samplesUs.size() - 1, samplesUs.size() * 99 / 100)];
    return figures;
}

void roundTrips(PipeClient& client, const std::string& request, int count, std::vector<double>& samplesUs) {
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const std::optional<std::string> reply = client.ask(request);
        const auto end = Clock::now();
        if (!reply) {
            std::fprintf(stderr, "no reply\n");
            std::exit(1);
        }
        samplesUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 20000;
    constexpr int kBlocks = 20;
    const int perBlock = total / kBlocks;

    // Three cards on a four-channel test output, all idle: "cards" walks them under the
    // router lock while the output renders.
    const DeviceInfo output = makeTestOutput(0, 4, 48000);
    RouterOptions options;
    options.scanDevices = false;
    options.extraDevices = {output};
    Router router(std::move(options));
    router.rescan();
    core::Settings settings;
    core::DeviceSettings device;
    device.key = output.key;
    device.name = output.name;
    device.enabled = true;
    settings.devices = {device};
    const char* names[] = {"Lounge", "Porch", "Attic"};
    for (std::uint32_t i = 0; i < 3; ++i) {
        core::CardSettings card;
        card.id = "0000000" + std::to_string(i + 1);
        card.name = names[i];
        card.members = {core::CardMember{output.key, i, 0.0}};
        settings.cards.push_back(card);
    }
    if (!router.apply(settings).empty()) {
        std::fprintf(stderr, "settings refused\n");
        return 1;
    }

    ControlServer server(router, [&router](std::uint64_t clientId) { router.clientGone(clientId); });
    std::string error;
    const std::wstring controlName = benchPipeName(L"control");
    if (!server.start(controlName, error)) {
        std::fprintf(stderr, "control server: %s\n", error.c_str());
        return 1;
    }
    EchoServer echo(benchPipeName(L"echo"));
    if (!echo.ok()) {
        std::fprintf(stderr, "echo server: cannot create the pipe\n");
        return 1;
    }

    // A player app's end: the client every tool and test speaks to QOVA with.
    PipeClient control;
    PipeClient echoClient;
    if (!control.open(controlName) || !echoClient.open(benchPipeName(L"echo"))) {
        std::fprintf(stderr, "cannot connect\n");
        return 1;
    }
    const std::string hello = R"({"op":"hello","protocol":1,"client":"pipe bench"})";
    const std::string cards = R"({"op":"cards"})";
    std::printf("hello -> %s\n", control.ask(hello).value_or("").c_str());
    const std::string cardsReply = control.ask(cards).value_or("");
    std::printf("cards -> %s\n", cardsReply.c_str());
    if (cardsReply.find("\"ok\":true") == std::string::npos) {
        std::fprintf(stderr, "the control server does not answer \"cards\"\n");
        return 1;
    }
    // The echo request is as long as the real reply, so that both replies carry the same bytes.
    const std::string echoRequest(cardsReply.size(), 'e');

    std::vector<double> controlUs;
    std::vector<double> echoUs;
    std::vector<double> warmup;
    roundTrips(control, cards, 200, warmup);
    roundTrips(echoClient, echoRequest, 200, warmup);
    for (int block = 0; block < kBlocks; ++block) {
        roundTrips(control, cards, perBlock, controlUs);
        roundTrips(echoClient, echoRequest, perBlock, echoUs);
    }

    const Figures controlFigures = figuresOf(controlUs);
    const Figures echoFigures = figuresOf(echoUs);
    std::printf("round trips per server: %zu (in %d alternating blocks)\n", controlUs.size(), kBlocks);
    std::printf("control server \"cards\": median %8.1f us, p99 %8.1f us (request %zu bytes, reply %zu bytes)\n",
                controlFigures.medianUs, controlFigures.p99Us, cards.size(), cardsReply.size());
    std::printf("echo server:            median %8.1f us, p99 %8.1f us (request and reply %zu bytes)\n",
                echoFigures.medianUs, echoFigures.p99Us, echoRequest.size());
    std::printf("ratio control/echo:     median %8.2f,    p99 %8.2f (aim: median at most 1.50)\n",
                controlFigures.medianUs / echoFigures.medianUs, controlFigures.p99Us / echoFigures.p99Us);
    return 0;
}
