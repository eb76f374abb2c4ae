#include "win/control/ControlServer.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "LogCapture.h"
#include "RouterTestSupport.h"
#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "tools/player/RingProducer.h"
#include "win/base/PipeClient.h"
#include "win/base/Session.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

// The control pipe server through a real pipe, as a player app meets it: clients talk to it
// with CreateFileW in message read mode, and behind it a real router on test outputs opens
// real card rings.
//
// Index: pipe client and helpers; numbering and log lines; message sizes; clients that go;
// failures inside a connection; stop; a second server; finished threads; many clients at once.

namespace win {
namespace {

using testing_support::openHandles;
using testing_support::runningThreads;
using win_testing::LogCapture;

using namespace router_testing;
using namespace std::chrono_literals;
using Json = nlohmann::json;

const DeviceInfo kFour = makeTestOutput(0, 4, 48000);

const std::string kBadRequest = R"({"error":"bad_request","ok":false,"op":""})";
const std::string kHello = R"({"op":"hello","protocol":1,"client":"pipe test"})";
const std::string kHelloReply = R"({"ok":true,"op":"hello","protocol":1,"version":"0.1.2"})";

std::wstring uniquePipeName() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\qova-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter.fetch_add(1));
}

// A player app's end of one connection, opened at construction; between a connect and the
// server's next instance the name is briefly missing or busy.
class TestClient : public PipeClient {
public:
    explicit TestClient(const std::wstring& name) { open(name, PipeWait{5000, 5000}); }

    bool connected() const { return isOpen(); }

    // One whole message; nullopt when the pipe broke. lastError() tells why.
    std::optional<std::string> receive() {
        std::string message;
        if (PipeClient::receive(message) != PipeReceive::Message) return std::nullopt;
        return message;
    }

    Json askJson(const std::string& request) {
        const std::optional<std::string> reply = ask(request);
        if (!reply) return Json();
        return Json::parse(*reply, nullptr, false);
    }
};

// The client ids onDisconnect reported, in order.
class Departures {
public:
    void add(std::uint64_t clientId) {
        std::lock_guard guard(mutex_);
        ids_.push_back(clientId);
        changed_.notify_all();
    }
    std::vector<std::uint64_t> ids() {
        std::lock_guard guard(mutex_);
        return ids_;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, timeout, [&] { return ids_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint64_t> ids_;
};

std::vector<std::string> serverLines(std::size_t from) {
    std::vector<std::string> out;
    for (const std::string& message : LogCapture::instance().messagesSince(from)) {
        if (message.starts_with("player ") || message.starts_with("control pipe ") || message.starts_with("pipe"))
            out.push_back(message);
    }
    return out;
}

// Three cards on a four-channel test output.
core::Settings serverSettings() {
    core::Settings settings = settingsOf({deviceSettings(kFour)}, {stereoCard("0000000a", "Lounge", kFour),
                                                                   card("0000000b", "Porch", {member(kFour.key, 2)}),
                                                                   card("0000000c", "Attic", {member(kFour.key, 3)})});
    return settings;
}

// A router on test outputs behind a started server, wired as the shell wires them: the
// router hears every departure, and so does the test.
struct Served {
    explicit Served(const std::vector<DeviceInfo>& devices = {kFour}, const core::Settings& settings = serverSettings(),
                    ControlServer::RequestHandler handler = core::handleControlRequest)
        : router(appliedRouter(testOptions(devices), settings)),
          server(std::make_unique<ControlServer>(
              *router,
              [this](std::uint64_t clientId) {
                  router->clientGone(clientId);
                  departures.add(clientId);
              },
              handler)) {
        std::string error;
        started = server->start(name, error);
        EXPECT_TRUE(started) << error;
    }
    ~Served() {
        server.reset();
        router->closeAll();
    }

    std::string cardState(TestClient& client, const std::string& id) {
        const Json reply = client.askJson(R"({"op":"cards"})");
        if (!reply.is_object() || !reply.value("ok", false)) return "no reply";
        for (const Json& card : reply["cards"]) {
            if (card["id"] == id) return card["state"].get<std::string>();
        }
        return "missing";
    }

    const std::wstring name = uniquePipeName();
    Departures departures;
    std::unique_ptr<Router> router;
    std::unique_ptr<ControlServer> server;
    bool started = false;
};

std::unique_ptr<TestClient> introducedClient(const std::wstring& name) {
    auto client = std::make_unique<TestClient>(name);
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->ask(kHello).value_or("no reply"), kHelloReply);
    return client;
}

// Opens the card on the client's connection and attaches a producer to the ring handed out.
::testing::AssertionResult openAndAttach(TestClient& client, const std::string& cardId, tools::RingProducer& ring) {
    const Json opened = client.askJson(R"({"op":"open","card":")" + cardId + "\"}");
    if (!opened.is_object() || !opened.value("ok", false)) return ::testing::AssertionFailure() << opened.dump();
    const std::string error = ring.open(opened["mapping"].get<std::string>(), opened["event"].get<std::string>());
    if (!error.empty()) return ::testing::AssertionFailure() << "attach to " << cardId << ": " << error;
    return ::testing::AssertionSuccess();
}

TEST(ControlServer, DefaultNameCarriesTheSessionNumber) {
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(defaultPipeName(), L"\\\\.\\pipe\\qova-" + std::to_wstring(session));
}

TEST(ControlServer, NumbersClientsInOrderOfArrivalAndLogsThem) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    {
        Served served;
        ASSERT_TRUE(served.started);
        auto first = introducedClient(served.name);
        auto second = introducedClient(served.name);
        first->close();
        ASSERT_TRUE(served.departures.waitFor(1));
        second->close();
        ASSERT_TRUE(served.departures.waitFor(2));
        EXPECT_EQ(served.departures.ids(), (std::vector<std::uint64_t>{1, 2}));

        // The numbers of departed clients are not handed out again.
        auto third = introducedClient(served.name);
        third->close();
        ASSERT_TRUE(served.departures.waitFor(3));
        EXPECT_EQ(served.departures.ids(), (std::vector<std::uint64_t>{1, 2, 3}));
    }
    const std::string path = toUtf8(L"\\\\.\\pipe\\qova-test-" + std::to_wstring(GetCurrentProcessId()));
    const std::vector<std::string> lines = serverLines(from);
    ASSERT_EQ(lines.size(), 7u) << testing::PrintToString(lines);
    EXPECT_TRUE(lines[0].starts_with("control pipe " + path + "-")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" ready")) << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
              (std::vector<std::string>{"player 1 connected", "player 2 connected", "player 1 disconnected",
                                        "player 2 disconnected", "player 3 connected", "player 3 disconnected"}));
}

// A request too long for the protocol is read in full and refused on a connection that
// stays usable; a message longer than the server reads ends the connection unanswered.
TEST(ControlServer, MessageSizes) {
    Served served;
    ASSERT_TRUE(served.started);
    auto client = introducedClient(served.name);

    EXPECT_EQ(client->ask(std::string(100000, 'x')).value_or("no reply"), kBadRequest);
    EXPECT_EQ(client->ask(kHello).value_or("no reply"), kHelloReply) << "the connection goes on";
    EXPECT_EQ(client->ask(std::string(kMaxMessageBytes, ' ')).value_or("no reply"), kBadRequest)
        << "the longest message read";
    EXPECT_EQ(client->ask(kHello).value_or("no reply"), kHelloReply);
    EXPECT_TRUE(served.departures.ids().empty());

    // A blocking writer of a message that is never read in full may see its write fail or
    // succeed; either way no reply comes and the server lets the client go.
    client->send(std::string(kMaxMessageBytes + 1, ' '));
    EXPECT_FALSE(client->receive().has_value());
    EXPECT_TRUE(client->lastError() == ERROR_BROKEN_PIPE || client->lastError() == ERROR_PIPE_NOT_CONNECTED)
        << client->lastError();
    ASSERT_TRUE(served.departures.waitFor(1));
    EXPECT_EQ(served.departures.ids(), std::vector<std::uint64_t>{1});

    // The server itself carries on.
    auto next = introducedClient(served.name);
    EXPECT_EQ(next->ask(std::string(400000, '{')).value_or("no reply"), "no reply");
    ASSERT_TRUE(served.departures.waitFor(2));
    EXPECT_EQ(served.departures.ids(), (std::vector<std::uint64_t>{1, 2}));
}

// A player that connects while the server hands the last client its instance must find the
// pipe busy at worst, never missing (a missing name reads as "QOVA is not running"). Raw
// clients as other player apps write them: CreateFileW, on busy WaitNamedPipeW, no retry on
// a missing name; half of them ask once, half leave at once.
TEST(ControlServer, ABurstOfClientsNeverFindsThePipeMissing) {
    Served served;
    ASSERT_TRUE(served.started);
    constexpr int kThreads = 32;
    constexpr int kEach = 17;  // 544 connections
    std::atomic<int> missing{0};
    std::atomic<int> otherFaults{0};
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                UniqueHandle pipe;
                for (;;) {
                    pipe.reset(CreateFileW(served.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           0, nullptr));
                    if (pipe) break;
                    const DWORD error = GetLastError();
                    if (error == ERROR_PIPE_BUSY && WaitNamedPipeW(served.name.c_str(), 5000)) continue;
                    ++(error == ERROR_FILE_NOT_FOUND ? missing : otherFaults);
                    break;
                }
                if (!pipe) continue;
                if ((t + i) % 2 == 0) continue;  // leaves at once
                DWORD mode = PIPE_READMODE_MESSAGE;
                char reply[256];
                DWORD replied = 0;
                if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) ||
                    !TransactNamedPipe(pipe.get(), const_cast<char*>(kHello.data()), static_cast<DWORD>(kHello.size()),
                                       reply, sizeof reply, &replied, nullptr) ||
                    std::string(reply, replied) != kHelloReply)
                    ++otherFaults;
                else ++answered;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(missing.load(), 0) << "connections that found no pipe";
    EXPECT_EQ(otherFaults.load(), 0);
    EXPECT_EQ(answered.load(), kThreads * kEach / 2);
    // A client gone before its instance was handed over is never counted as a departure.
    EXPECT_TRUE(served.departures.waitFor(static_cast<std::size_t>(answered.load()), 10000ms));
}

// An exception that leaves the request handling (the protocol answers the engine's own with
// an error reply; memory may still run out around it) ends that connection with a log line;
// the other clients, and those still to come, are served.
TEST(ControlServer, AFailingRequestEndsOnlyItsOwnConnection) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    Served served({kFour}, serverSettings(),
                  [](core::ControlBackend& backend, core::ClientState& client,
                     std::string_view request) -> std::string {
                      if (request == "fail") throw std::bad_alloc();
                      return core::handleControlRequest(backend, client, request);
                  });
    ASSERT_TRUE(served.started);
    auto failing = introducedClient(served.name);
    auto other = introducedClient(served.name);
    EXPECT_FALSE(failing->ask("fail").has_value());
    ASSERT_TRUE(served.departures.waitFor(1));
    EXPECT_EQ(served.departures.ids(), std::vector<std::uint64_t>{1});
    EXPECT_EQ(served.cardState(*other, "qova:0000000a"), "ready");
    EXPECT_EQ(served.cardState(*introducedClient(served.name), "qova:0000000a"), "ready");
    EXPECT_EQ(LogCapture::instance().linesWith(from, "connection ended"),
              std::vector<std::string>{"player 1: std::bad_alloc; connection ended"});
}

TEST(ControlServer, AClientThatGoesReleasesItsCards) {
    Served served;
    ASSERT_TRUE(served.started);
    auto holder = introducedClient(served.name);
    auto other = introducedClient(served.name);

    tools::RingProducer porch;
    ASSERT_TRUE(openAndAttach(*holder, "qova:0000000b", porch));
    tools::RingProducer attic;
    ASSERT_TRUE(openAndAttach(*holder, "qova:0000000c", attic));
    tools::RingProducer others;
    ASSERT_TRUE(openAndAttach(*other, "qova:0000000a", others));

    EXPECT_EQ(served.cardState(*other, "qova:0000000b"), "busy");
    EXPECT_EQ(porch.closeReason(), 0u);

    holder->close();  // while the server waits for its next request
    ASSERT_TRUE(served.departures.waitFor(1));
    EXPECT_EQ(served.departures.ids(), std::vector<std::uint64_t>{1});
    EXPECT_EQ(porch.closeReason(), 1u) << "withdrawn by QOVA";
    EXPECT_EQ(attic.closeReason(), 1u);
    EXPECT_EQ(others.closeReason(), 0u) << "another client's ring stays";
    EXPECT_EQ(served.cardState(*other, "qova:0000000b"), "ready");
    const Json taken = other->askJson(R"({"op":"open","card":"qova:0000000b"})");
    EXPECT_TRUE(taken.is_object() && taken.value("ok", false)) << taken.dump();
}

TEST(ControlServer, StopWithIdleClientsIsPromptAndReportsEachOnce) {
    Served served;
    ASSERT_TRUE(served.started);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(introducedClient(served.name));
    tools::RingProducer ring;
    ASSERT_TRUE(openAndAttach(*clients[0], "qova:0000000a", ring));
    clients.push_back(std::make_unique<TestClient>(served.name));  // connected, never says a word
    ASSERT_TRUE(clients.back()->connected());
    Sleep(100);  // let the silent client's thread reach its read

    const auto before = std::chrono::steady_clock::now();
    served.server->stop();
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
    std::printf("stop with 4 idle clients took %lld ms\n", static_cast<long long>(tookMs));
    EXPECT_LT(tookMs, 3000);

    std::vector<std::uint64_t> ids = served.departures.ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 2, 3, 4})) << "each once, all before stop returned";
    EXPECT_EQ(ring.closeReason(), 1u);
    for (auto& client : clients) EXPECT_FALSE(client->ask(kHello).has_value());

    served.server->stop();  // again: nothing left to do
    Sleep(50);
    EXPECT_EQ(served.departures.ids().size(), 4u);

    // A server never started, or whose start failed, stops and goes quietly.
    ControlServer idle(*served.router, nullptr);
    idle.stop();
}

// The single-instance mutex of a copy of QOVA serving `pipe`: "Local\QOVA-single-" + SID +
// "-" + the 64-bit FNV-1a of the pipe name's UTF-16 bytes, spelled out here on purpose: it
// is a name other copies must agree on.
std::wstring singleInstanceName(const std::wstring& pipe) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (wchar_t unit : pipe) {
        for (unsigned byte : {static_cast<unsigned>(unit) & 0xffu, (static_cast<unsigned>(unit) >> 8) & 0xffu}) {
            hash ^= byte;
            hash *= 0x100000001b3ull;
        }
    }
    return L"Local\\QOVA-single-" + userSidString() + L"-" + std::to_wstring(hash);
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Windows refuses a second first instance of a name that is served already (the first
// instance flag), with access denied. Wine 8 does not enforce that flag: there a second
// server on the same name starts, and what keeps two copies of QOVA off one pipe is the
// program's single-instance mutex, which is keyed by the pipe name. Both are checked, as far
// as the system allows. What Wine does refuse, like Windows, is an instance that does not
// match the pipe's existing ones; that gives the failure text on either system.
TEST(ControlServer, ASecondServerOnTheSameNameIsRefused) {
    Served served;
    ASSERT_TRUE(served.started);
    const std::string path = toUtf8(served.name);
    const std::string accessDenied = "pipe " + path + ": " + systemErrorText(ERROR_ACCESS_DENIED);

    Router& router = *served.router;
    ControlServer second(router, nullptr);
    std::string error;
    if (!second.start(served.name, error)) {
        EXPECT_EQ(error, accessDenied);
    } else {
        std::printf(
            "this system does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE (Wine); checking the "
            "single-instance mutex instead\n");
        second.stop();
        // While this process holds the mutex for the name, QOVA started for the same pipe
        // ends at once, before it even opens its log.
        UniqueHandle mutex(CreateMutexW(nullptr, TRUE, singleInstanceName(served.name).c_str()));
        ASSERT_TRUE(mutex);
        ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        testing_support::TempFolder data;
        const testing_support::ProcessResult result =
            testing_support::runProgram(L"QOVA.exe", L"--pipe " + served.name + L" --data-dir " + quoted(data.path()));
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_FALSE(testing_support::fileExists(data.file(L"qova.log"))) << "the second copy did not stop";
        ReleaseMutex(mutex.get());
    }
    EXPECT_EQ(served.cardState(*introducedClient(served.name), "qova:0000000a"), "ready") << "the first serves on";

    // A pipe of that name made for reading only cannot take our instances.
    const std::wstring squatted = uniquePipeName();
    UniqueHandle squatter(CreateNamedPipeW(squatted.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter);
    ControlServer refused(router, nullptr);
    EXPECT_FALSE(refused.start(squatted, error));
    EXPECT_EQ(error, "pipe " + toUtf8(squatted) + ": " + systemErrorText(ERROR_ACCESS_DENIED));

    // A path outside the pipe namespace: the system's own words for it.
    ControlServer misnamed(router, nullptr);
    EXPECT_FALSE(misnamed.start(L"\\\\.\\nowhere\\qova", error));
    EXPECT_TRUE(error.starts_with("pipe \\\\.\\nowhere\\qova: ")) << error;
    EXPECT_TRUE(error.ends_with(")")) << error;
}

TEST(ControlServer, FinishedConnectionThreadsDoNotPileUp) {
    Served served;
    ASSERT_TRUE(served.started);
    // One round first, so that lazily made objects (the router's, the log's) exist before
    // the counting starts.
    introducedClient(served.name)->close();
    ASSERT_TRUE(served.departures.waitFor(1));
    const int threadsBefore = runningThreads();
    const int handlesBefore = openHandles();

    constexpr std::size_t kRounds = 50;
    for (std::size_t round = 0; round < kRounds; ++round) {
        auto client = introducedClient(served.name);
        client->close();
        ASSERT_TRUE(served.departures.waitFor(round + 2));
    }
    const int threadsAfter = runningThreads();
    const int handlesAfter = openHandles();
    std::printf("after %zu clients: threads %d -> %d, handles %d -> %d\n", kRounds, threadsBefore, threadsAfter,
                handlesBefore, handlesAfter);
    EXPECT_LE(threadsAfter, threadsBefore + 2);
    EXPECT_LE(handlesAfter, handlesBefore + 8);
}

// Many players at once, each on a card of its own: 64 mono cards on one 64-channel test
// output. A load check: the figures are printed, the assertions are about correctness.
TEST(ControlServer, SixtyFourClientsAtOnce) {
    constexpr int kClients = 64;
    const DeviceInfo wide = makeTestOutput(1, kClients, 48000);
    core::Settings settings = settingsOf({deviceSettings(wide)});
    for (int i = 0; i < kClients; ++i) {
        char id[9];
        std::snprintf(id, sizeof id, "%08x", 0x100 + i);
        settings.cards.push_back(
            card(id, "Zone " + std::to_string(i + 1), {member(wide.key, static_cast<std::uint32_t>(i))}));
    }
    const int threadsBefore = runningThreads();
    const int handlesBefore = openHandles();
    {
        Served served({wide}, settings);
        ASSERT_TRUE(served.started);
        const int threadsServing = runningThreads();

        std::mutex faultsMutex;  // also guards replyNs
        std::vector<std::int64_t> replyNs;
        std::vector<std::string> faults;
        std::vector<std::unique_ptr<tools::RingProducer>> lastRings(kClients);
        std::atomic<int> ready{0};
        std::vector<std::thread> players;
        const auto runFor = 3s;
        for (int i = 0; i < kClients; ++i) {
            players.emplace_back([&, i] {
                auto fault = [&](const std::string& what) {
                    std::lock_guard guard(faultsMutex);
                    faults.push_back("player " + std::to_string(i) + ": " + what);
                };
                char cardText[64];
                std::snprintf(cardText, sizeof cardText, "qova:%08x", 0x100 + i);
                const std::string open = std::string(R"({"op":"open","card":")") + cardText + "\"}";
                const std::string close = std::string(R"({"op":"close","card":")") + cardText + "\"}";
                TestClient client(served.name);
                if (!client.connected()) return fault("cannot connect");
                ++ready;
                while (ready.load() < kClients) Sleep(1);
                std::vector<std::int64_t> ownNs;
                auto timed = [&](const std::string& request) {
                    const auto start = std::chrono::steady_clock::now();
                    Json reply = client.askJson(request);
                    ownNs.push_back(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                            .count());
                    if (!reply.is_object() || !reply.value("ok", false)) fault(request + " -> " + reply.dump());
                    return reply;
                };
                const auto end = std::chrono::steady_clock::now() + runFor;
                timed(kHello);
                while (std::chrono::steady_clock::now() < end) {
                    const Json cards = timed(R"({"op":"cards"})");
                    if (cards.is_object() && cards.contains("cards") && cards["cards"].size() != kClients)
                        fault("card count");
                    timed(open);
                    timed(close);
                }
                // Leave with a card open: the departure must withdraw it.
                const Json opened = timed(open);
                {
                    std::lock_guard guard(faultsMutex);
                    replyNs.insert(replyNs.end(), ownNs.begin(), ownNs.end());
                }
                if (!opened.is_object() || !opened.contains("mapping")) return;
                auto ring = std::make_unique<tools::RingProducer>();
                const std::string error =
                    ring->open(opened["mapping"].get<std::string>(), opened["event"].get<std::string>());
                if (!error.empty()) fault("attach: " + error);
                lastRings[static_cast<std::size_t>(i)] = std::move(ring);
            });
        }
        const int threadsBusy = runningThreads();
        for (auto& player : players) player.join();
        EXPECT_TRUE(faults.empty()) << testing::PrintToString(faults);
        ASSERT_TRUE(served.departures.waitFor(kClients, 10000ms));
        EXPECT_EQ(served.departures.ids().size(), static_cast<std::size_t>(kClients));

        for (const auto& ring : lastRings) {
            ASSERT_NE(ring, nullptr);
            EXPECT_EQ(ring->closeReason(), 1u);
        }
        EXPECT_FALSE(served.router->anyCardPlaying());
        const double seconds = std::chrono::duration<double>(runFor).count();
        std::sort(replyNs.begin(), replyNs.end());
        ASSERT_FALSE(replyNs.empty());
        auto ms = [&](std::size_t index) { return static_cast<double>(replyNs[index]) / 1e6; };
        std::printf(
            "%d clients: %zu requests in %.1f s (%.0f per second); reply median %.2f ms, p99 %.2f ms, "
            "longest %.2f ms; threads %d before, %d serving, %d busy\n",
            kClients, replyNs.size(), seconds, static_cast<double>(replyNs.size()) / seconds, ms(replyNs.size() / 2),
            ms(replyNs.size() * 99 / 100), ms(replyNs.size() - 1), threadsBefore, threadsServing, threadsBusy);
        // A connection thread still has a few steps to go after onDisconnect, and a busy
        // machine may hold it a while.
        EXPECT_TRUE(eventually([&] { return runningThreads() <= threadsServing + 2; }, 3000ms))
            << "connection threads left running: " << runningThreads() << " against " << threadsServing;
    }
    EXPECT_LE(runningThreads(), threadsBefore + 2);
    EXPECT_LE(openHandles(), handlesBefore + 16);
}

}  // namespace
}  // namespace win
