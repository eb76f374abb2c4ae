// hostile_client: a player app that does everything wrong on QOVA's control pipe, to show
// that QOVA survives it and keeps serving well-behaved players.
//
//   hostile_client PIPE CARD
//
// CARD is the "qova:" id of a card this client may open and whose ring it scribbles on.
// Where the protocol fixes the reply, the reply is checked to the byte; where it does not
// (a message too long to read), only that QOVA goes on serving is checked. Every wait has a
// time-out, so a QOVA that stops answering makes this fail rather than hang. Prints one line
// per step and a summary; exit 0 when QOVA answered every step as it should, 1 otherwise,
// 2 on a bad command line.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ring/CardRingLayout.h"
#include "win/base/MappedView.h"
#include "win/base/PipeClient.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD kReplyMs = 5000;  // a reply slower than this counts as a hang
constexpr DWORD kConnectMs = 5000;

const std::string kBadRequest = R"({"error":"bad_request","ok":false,"op":""})";
const std::string kHelloReply = R"({"ok":true,"op":"hello","protocol":1,"version":"0.1.2"})";
const std::string kHello = R"({"op":"hello","protocol":1,"client":"hostile"})";

std::atomic<int> g_failures{0};
// Times a connect found the pipe's name missing while QOVA ran: a player would take QOVA for
// not running. QOVA keeps an instance listening at all times, so this stays 0.
std::atomic<int> g_nameGone{0};
// Set once a connect has failed for good: QOVA is gone, and every later step fails at once
// instead of waiting out its own time-out.
std::atomic<bool> g_pipeLost{false};

void report(bool ok, const std::string& what) {
    if (!ok) ++g_failures;
    std::printf("hostile: %-62s %s\n", what.c_str(), ok ? "ok" : "FAILED");
    std::fflush(stdout);
}

// One client end of the pipe; every wait is bounded.
class Connection {
public:
    // False with lastError() set when the pipe cannot be had within kConnectMs.
    bool open(const std::wstring& pipe) {
        if (g_pipeLost) return false;
        const bool opened = pipe_.open(pipe, win::PipeWait{kConnectMs, kConnectMs});
        g_nameGone += static_cast<int>(pipe_.missingSeen() - missingCounted_);
        missingCounted_ = pipe_.missingSeen();
        const DWORD error = pipe_.lastError();
        if (!opened && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PIPE_BUSY)) g_pipeLost = true;
        return opened;
    }

    DWORD lastError() const { return pipe_.lastError(); }
    void close() { pipe_.close(); }

    // True when the whole message went out in time.
    bool send(const std::string& bytes, DWORD timeoutMs = kReplyMs) { return pipe_.send(bytes, timeoutMs); }
    win::PipeReceive receive(std::string& message, DWORD timeoutMs = kReplyMs) {
        return pipe_.receive(message, timeoutMs);
    }

    // One request, one reply; the reply, or "<send failed>", "<broken>" or "<no reply>".
    std::string ask(const std::string& request) {
        if (!send(request)) return "<send failed>";
        std::string reply;
        switch (receive(reply)) {
        case win::PipeReceive::Message: return reply;
        case win::PipeReceive::Broken: return "<broken>";
        case win::PipeReceive::TimedOut: return "<no reply>";
        }
        return "<broken>";
    }

private:
    win::PipeClient pipe_;
    std::uint32_t missingCounted_ = 0;
};

std::string errorReply(const std::string& op, const std::string& code) {
    return R"({"error":")" + code + R"(","ok":false,"op":")" + op + R"("})";
}

// Asks and compares the reply with what the protocol says it must be.
void expectReply(Connection& connection, const std::string& request, const std::string& expected,
                 const std::string& what) {
    const std::string reply = connection.ask(request);
    report(reply == expected, what + (reply == expected ? "" : " (got " + reply.substr(0, 120) + ")"));
}

// A string member of a reply, with JSON's backslash escapes undone (ring names hold "\\").
std::string memberText(const std::string& reply, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const std::size_t at = reply.find(key);
    if (at == std::string::npos) return {};
    std::string out;
    for (std::size_t i = at + key.size(); i < reply.size() && reply[i] != '"'; ++i) {
        if (reply[i] == '\\' && i + 1 < reply.size()) ++i;
        out += reply[i];
    }
    return out;
}

// --- the steps --------------------------------------------------------------------------------

void malformedRequests(const std::wstring& pipe) {
    Connection connection;
    report(connection.open(pipe), "connect");
    std::mt19937 random(20240611);
    std::string garbage(1000, '\0');
    for (char& byte : garbage) byte = static_cast<char>(random());
    expectReply(connection, "", kBadRequest, "empty message");
    expectReply(connection, garbage, kBadRequest, "1000 random bytes");
    expectReply(connection, R"({"op":"hel)", kBadRequest, "request cut short");
    expectReply(connection, "{\"op\":\"hello\",\"protocol\":1,\"client\":\"\xff\xfe\xc0\"}", kBadRequest,
                "ill-formed UTF-8");
    expectReply(connection, std::string(32000, '[') + std::string(32000, ']'), kBadRequest, "32000 nested arrays");
    expectReply(connection, R"({"op":7})", kBadRequest, "op not a string");
    expectReply(connection, R"({"op":"cards"})", errorReply("cards", "protocol_mismatch"), "cards before hello");
    expectReply(connection, R"({"op":"hello","protocol":2})", errorReply("hello", "protocol_mismatch"),
                "hello with protocol 2");
    expectReply(connection, R"({"op":"hello","protocol":1.0})", errorReply("hello", "bad_request"),
                "hello with protocol 1.0");
    std::string oversized = R"({"op":"hello","protocol":1,"client":")" + std::string(100000, 'x') + "\"}";
    expectReply(connection, oversized, kBadRequest, "100000-byte request");
    expectReply(connection, kHello, kHelloReply, "hello on the same connection afterwards");
    expectReply(connection, R"({"op":"dance"})", errorReply("dance", "bad_request"), "unknown op");
    expectReply(connection, R"({"op":"open"})", errorReply("open", "bad_request"), "open without a card");
    expectReply(connection, R"({"op":"open","card":"qova:ZZZZZZZZ"})", errorReply("open", "unknown_card"),
                "open of a malformed card id");
    expectReply(connection, R"({"op":"open","card":"qova:fffffff0"})", errorReply("open", "unknown_card"),
                "open of a card that does not exist");
    expectReply(connection, R"({"op":"close","card":"qova:fffffff0"})", errorReply("close", "not_open"),
                "close of a card never opened");
}

// A message too long to be a request: QOVA may end the connection; it must go on serving.
void overlongMessage(const std::wstring& pipe) {
    Connection connection;
    report(connection.open(pipe), "connect for a 400000-byte message");
    connection.send(std::string(400000, '{'), 3000);
    std::string reply;
    const win::PipeReceive received = connection.receive(reply, 3000);
    report(received != win::PipeReceive::Message || reply == kBadRequest,
           std::string("400000-byte message: ") + (received == win::PipeReceive::Broken     ? "connection ended"
                                                   : received == win::PipeReceive::TimedOut ? "no reply"
                                                                                            : reply));
}

void manyConnections(const std::wstring& pipe) {
    const auto started = std::chrono::steady_clock::now();
    int failures = 0;
    DWORD error = 0;
    for (int i = 0; i < 200; ++i) {
        Connection connection;
        if (!connection.open(pipe)) {
            ++failures;
            error = connection.lastError();
        }
    }
    report(failures == 0, "200 connections opened and dropped at once (" + std::to_string(failures) + " refused" +
                              (failures == 0 ? "" : ", " + win::systemErrorText(error)) + ")");

    failures = 0;
    for (int i = 0; i < 100; ++i) {
        Connection connection;
        if (!connection.open(pipe) || !connection.send(kHello)) ++failures;
        // gone before the reply
    }
    report(failures == 0, "100 connections gone before their reply (" + std::to_string(failures) + " failed)");

    failures = 0;
    for (int i = 0; i < 100; ++i) {
        Connection connection;
        if (!connection.open(pipe) || connection.ask(kHello) != kHelloReply ||
            connection.ask(R"({"op":"cards"})").find("\"ok\":true") == std::string::npos)
            ++failures;
    }
    report(failures == 0, "100 connections with hello and cards (" + std::to_string(failures) + " failed)");

    // Many at once, each on its own thread.
    constexpr int kTogether = 48;
    std::atomic<int> together{0};
    std::vector<std::thread> threads;
    std::vector<Connection> connections(kTogether);
    for (int i = 0; i < kTogether; ++i) {
        threads.emplace_back([&, i] {
            if (connections[i].open(pipe) && connections[i].ask(kHello) == kHelloReply &&
                connections[i].ask(R"({"op":"cards"})").find("\"ok\":true") != std::string::npos)
                ++together;
        });
    }
    for (std::thread& thread : threads) thread.join();
    report(together == kTogether,
           std::to_string(together.load()) + " of " + std::to_string(kTogether) + " connections open together served");
    for (Connection& connection : connections) connection.close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("hostile: %d connections in %.1f s\n", 200 + 100 + 100 + kTogether, seconds);
    report(g_nameGone == 0,
           "the pipe's name never missing (missing " + std::to_string(g_nameGone.load()) + " time(s))");
}

// Opens the card and writes nonsense into its ring's header, as a broken player might.
void scribbledRing(const std::wstring& pipe, const std::string& card) {
    Connection connection;
    report(connection.open(pipe) && connection.ask(kHello) == kHelloReply, "connect for the ring");
    const std::string opened = connection.ask(R"({"op":"open","card":")" + card + "\"}");
    const std::string mappingName = memberText(opened, "mapping");
    report(!mappingName.empty(), "open " + card + (mappingName.empty() ? " (got " + opened + ")" : ""));
    if (mappingName.empty()) return;
    const std::string second = connection.ask(R"({"op":"open","card":")" + card + "\"}");
    const std::string secondName = memberText(second, "mapping");
    report(!secondName.empty() && secondName != mappingName, "open again gives a new ring");

    Connection rival;
    report(rival.open(pipe) && rival.ask(kHello) == kHelloReply, "a second client connects");
    expectReply(rival, R"({"op":"open","card":")" + card + "\"}", errorReply("open", "busy"),
                "the second client finds the card busy");
    rival.close();

    win::UniqueHandle mapping(OpenFileMappingW(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, win::toWide(secondName).c_str()));
    win::MappedView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE | FILE_MAP_READ, 0, 0, 0) : nullptr);
    report(static_cast<bool>(view), "map the ring");
    if (!view) return;
    auto* header = static_cast<core::RingHeader*>(view.get());
    // Sizes and offsets QOVA handed out, rewritten: it must keep using its own copies.
    header->capacity = 0xffffffffu;
    header->dataOffset = 0x7fffffffu;
    header->channels = 64;
    // A write position far ahead, then behind QOVA's read position, then wrapping around.
    header->writePos.store(~std::uint64_t{0} - 5, std::memory_order_release);
    std::this_thread::sleep_for(300ms);
    header->writePos.store(header->readPos.load(std::memory_order_acquire) / 2, std::memory_order_release);
    std::this_thread::sleep_for(300ms);
    header->readPos.store(~std::uint64_t{0}, std::memory_order_release);
    header->writePos.store(12345, std::memory_order_release);
    std::this_thread::sleep_for(300ms);
    // Then gives the ring up the way a player may: QOVA lets it go at its next health check.
    header->closeReason.store(static_cast<std::uint32_t>(core::RingCloseReason::ByPlayer), std::memory_order_release);
    bool released = false;
    for (int i = 0; i < 30 && !released; ++i) {
        std::this_thread::sleep_for(100ms);
        Connection other;
        if (!other.open(pipe) || other.ask(kHello) != kHelloReply) break;
        const std::string cards = other.ask(R"({"op":"cards"})");
        const std::size_t at = cards.find(R"("id":")" + card + "\"");
        released = at != std::string::npos && memberText(cards.substr(at), "state") == "ready";
    }
    report(released, "given up by the player, the card reads ready to others within 3 s");
    expectReply(connection, R"({"op":"close","card":")" + card + "\"}", errorReply("close", "not_open"),
                "close after QOVA let the ring go");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hostile_client PIPE CARD\n");
        return 2;
    }
    const std::wstring pipe = argv[1];
    const std::string card = win::toUtf8(argv[2]);
    malformedRequests(pipe);
    overlongMessage(pipe);
    manyConnections(pipe);
    scribbledRing(pipe, card);

    // Last, a well-behaved client must find QOVA as before.
    Connection connection;
    const bool served = connection.open(pipe) && connection.ask(kHello) == kHelloReply;
    const std::string cards = served ? connection.ask(R"({"op":"cards"})") : std::string{};
    report(served && cards.find("\"ok\":true") != std::string::npos && cards.find("\"busy\"") == std::string::npos,
           "afterwards: hello and cards answered, no card left busy");
    std::printf("hostile: %d step(s) failed\n", g_failures.load());
    return g_failures == 0 ? 0 : 1;
}
