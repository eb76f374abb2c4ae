// libFuzzer target for the control protocol's request handler. One input is one connection:
// its lines are the requests, handled in order on one client state, so that "hello" opens
// the way to the other ops. Run on a copy of corpus/control with control.dict, for example:
//   build/fuzz/bin/control_request_fuzz -dict=fuzz/control.dict -max_total_time=60 build/fuzz/corpus
//
// The backend is deterministic and answers from the card id it is given: the id's last digit
// picks success or one of the open statuses, or makes it throw. Its texts include a quote, a
// control character, non-ASCII and a byte that is not UTF-8.
//
// What must hold for every request:
//  - the handler returns (an exception escaping it ends the run);
//  - the reply is one JSON object that the strict parser accepts, with a string "op", a
//    boolean "ok", and a string "error" exactly when "ok" is false, carrying a known code;
//  - the reply is compact with sorted members: parsed and written again, it is the same text;
//  - "op" is the request's op when the request is readable that far, else empty;
//  - a success other than "hello" comes only on an introduced connection, which stays so;
//  - the client name is at most 80 bytes of UTF-8.
// A violation aborts, which libFuzzer reports as a crash with the input saved.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/control/ControlProtocol.h"

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxRequestsPerInput = 64;
constexpr std::uint64_t kClientId = 3;

[[noreturn]] void fail(const char* what, std::string_view request, std::string_view reply) {
    std::fprintf(stderr, "control request fuzz: %s\n--- request\n%.*s\n--- reply\n%.*s\n", what,
                 static_cast<int>(request.size()), request.data(), static_cast<int>(reply.size()), reply.data());
    std::abort();
}

class FuzzBackend : public core::ControlBackend {
public:
    std::vector<core::CardInfo> listCards(std::uint64_t clientId) override {
        if (clientId != kClientId) throw std::logic_error("wrong client id");
        std::vector<core::CardInfo> cards = {
            {.id = "qova:00000001", .name = "Lounge", .channels = 2, .state = "ready"},
            {.id = "qova:0000000a",
             .name = "K\xc3\xbc"
                     "che \"mono\"\t",
             .channels = 1,
             .state = "busy"},
            {.id = "qova:ffffffff", .name = "broken \xff name", .channels = 2, .state = "offline"},
        };
        for (const std::string& id : held_)
            cards.push_back({.id = "qova:" + id, .name = id, .channels = 2, .state = "ready"});
        return cards;
    }

    std::vector<std::string> managedDevices() override { return {"Speakers (Realtek\xc2\xae Audio)", "\xc3", ""}; }

    std::string openCard(std::uint64_t clientId, const std::string& cardId, const std::string& clientName,
                         core::OpenCardResult& result) override {
        if (clientId != kClientId) throw std::logic_error("wrong client id");
        switch (cardId.back()) {
        case '8': return "unknown_card";
        case '9': return "offline";
        case 'a': return "busy";
        case 'b': return "internal";
        case 'c': throw std::runtime_error("open failed");
        case 'd': throw 7;
        default: break;
        }
        held_.insert(cardId);
        result.mapping = "Local\\qova-" + cardId + "-" + clientName;
        result.event = result.mapping + "-need";
        result.capacity = 4294967295u;
        result.target = static_cast<std::uint32_t>(clientName.size());
        result.period = 480;
        return {};
    }

    bool closeCard(std::uint64_t clientId, const std::string& cardId) override {
        if (clientId != kClientId) throw std::logic_error("wrong client id");
        if (cardId.back() == 'c') throw std::runtime_error("close failed");
        return held_.erase(cardId) == 1;
    }

private:
    std::set<std::string> held_;
};

bool isUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

// The op as a reader that follows the rules independently would see it; empty when the
// request is not readable as far as a string "op".
std::string expectedOp(std::string_view request) {
    if (request.size() > core::kMaxRequestBytes || request.find('\0') != std::string_view::npos) return {};
    const Json root = Json::parse(request.begin(), request.end(), nullptr, false, false);
    if (root.is_discarded() || !root.is_object()) return {};
    const auto op = root.find("op");
    if (op == root.end() || !op->is_string()) return {};
    return op->get<std::string>();
}

void checkReply(std::string_view request, const std::string& reply, const core::ClientState& before,
                const core::ClientState& after) {
    static const std::set<std::string> kCodes = {"bad_request", "protocol_mismatch", "unknown_card", "not_open",
                                                 "internal",    "offline",           "busy"};
    const Json parsed = Json::parse(reply, nullptr, false, false);
    if (parsed.is_discarded() || !parsed.is_object()) fail("the reply is not a JSON object", request, reply);
    const auto op = parsed.find("op");
    const auto ok = parsed.find("ok");
    const auto error = parsed.find("error");
    if (op == parsed.end() || !op->is_string()) fail("the reply has no string op", request, reply);
    if (ok == parsed.end() || !ok->is_boolean()) fail("the reply has no boolean ok", request, reply);
    if (ok->get<bool>() == (error != parsed.end())) fail("error is not there exactly on failure", request, reply);
    if (error != parsed.end() && (!error->is_string() || kCodes.count(error->get<std::string>()) == 0)) {
        fail("unknown error code", request, reply);
    }

    std::string rewritten;
    try {
        rewritten = parsed.dump();
    } catch (const Json::exception&) {
        fail("the reply does not write back", request, reply);
    }
    if (rewritten != reply) fail("the reply is not compact and sorted", request, rewritten);

    if (op->get<std::string>() != expectedOp(request)) fail("the reply's op is not the request's", request, reply);
    if (ok->get<bool>() && *op != "hello" && !before.helloDone) fail("served before hello", request, reply);
    if (before.helloDone && !after.helloDone) fail("the connection lost its hello", request, reply);
    if (after.clientId != kClientId) fail("the client id changed", request, reply);
    if (after.clientName.size() > core::kClientNameBytes || !isUtf8(after.clientName)) {
        fail("the client name is too long or not UTF-8", request, after.clientName);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    FuzzBackend backend;
    core::ClientState client;
    client.clientId = kClientId;
    for (std::size_t count = 0; count < kMaxRequestsPerInput; ++count) {
        const std::size_t end = input.find('\n');
        const std::string_view request = input.substr(0, end);
        const core::ClientState before = client;
        const std::string reply = core::handleControlRequest(backend, client, request);
        checkReply(request, reply, before, client);
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    return 0;
}
