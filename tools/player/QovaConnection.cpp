#include "tools/player/QovaConnection.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "tools/player/PlayerConsole.h"
#include "win/base/Session.h"
#include "win/base/Text.h"

namespace player {

namespace {

using nlohmann::json;

// A pipe name not found is looked for again for half a second; a busy one is waited for ten.
constexpr win::PipeWait kPipeWait{500, 10000};

// What each error reply means to the person at the console. %s is the card for the card's own
// troubles, else the request QOVA refused.
struct ErrorReplyText {
    std::string_view code;
    int exitCode;
    bool aboutCard;
    const char* message;
};

constexpr ErrorReplyText kErrorReplies[] = {
    {"unknown_card", kExitUnknownCard, true, "QOVA has no card %s"},
    {"busy", kExitBusy, true, "card %s is busy: another player has it open"},
    {"offline", kExitOffline, true, "card %s is offline: none of its sound cards is playing"},
    {"internal", kExitInternal, false, "QOVA failed to answer \"%s\" (an internal error; its log says more)"},
    {"protocol_mismatch", kExitProtocol, false, "QOVA refused \"%s\": it does not speak protocol 1"},
    {"bad_request", kExitBadRequest, false, "QOVA did not understand the \"%s\" request"},
};

std::wstring defaultPipeName() {
    return L"\\\\.\\pipe\\qova-" + std::to_wstring(win::sessionId());
}

std::string stringMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

std::uint32_t numberMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_unsigned() && *it <= UINT32_MAX ? it->get<std::uint32_t>() : 0;
}

bool replyOk(const json& reply) {
    const auto it = reply.find("ok");
    return it != reply.end() && it->is_boolean() && it->get<bool>();
}

// The exit code and message for an error reply, about `card` when the request named one.
int errorReplyExit(const json& reply, const std::string& card, std::string& message) {
    const std::string code = stringMember(reply, "error");
    const std::string op = stringMember(reply, "op");
    for (const ErrorReplyText& known : kErrorReplies) {
        if (known.code != code) continue;
        message = formatText(known.message, (known.aboutCard ? card : op).c_str());
        return known.exitCode;
    }
    message = "QOVA answered \"" + op + "\" with the error \"" + code + "\"";
    return kExitOther;
}

}  // namespace

int QovaConnection::connect(const std::wstring& pipeName, std::string& message) {
    pipeName_ = win::toUtf8(pipeName);
    if (pipe_.open(pipeName, kPipeWait)) return kExitDone;
    const DWORD error = pipe_.lastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        message = "QOVA is not running: there is no pipe " + pipeName_;
        return kExitNotRunning;
    }
    if (error == ERROR_PIPE_BUSY) {
        message = "cannot open the pipe " + pipeName_ + ": it stays busy";
        return kExitPipe;
    }
    message = "cannot open the pipe " + pipeName_ + ": " + win::systemErrorText(error);
    return kExitPipe;
}

bool QovaConnection::ask(const json& request, json& reply, std::string& message) {
    const std::optional<std::string> received = pipe_.ask(request.dump());
    if (!received) {
        message = brokenText(pipe_.lastError());
        return false;
    }
    reply = json::parse(*received, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        message = "QOVA's reply is not readable: " + received->substr(0, 200);
        return false;
    }
    return true;
}

std::string QovaConnection::brokenText(DWORD error) const {
    if (win::pipeClosedByPeer(error)) return "QOVA closed the pipe " + pipeName_;
    return "pipe " + pipeName_ + ": " + win::systemErrorText(error);
}

int introduce(QovaConnection& pipe, const Options& options, json& cards, std::string& message) {
    const int connected = pipe.connect(options.pipeName.empty() ? defaultPipeName() : options.pipeName, message);
    if (connected != kExitDone) return connected;
    json reply;
    if (!pipe.ask(json{{"op", "hello"}, {"protocol", 1}, {"client", options.clientName}}, reply, message))
        return kExitPipe;
    if (!replyOk(reply)) return errorReplyExit(reply, "", message);
    if (!pipe.ask(json{{"op", "cards"}}, cards, message)) return kExitPipe;
    if (!replyOk(cards)) return errorReplyExit(cards, "", message);
    if (!cards.contains("cards") || !cards["cards"].is_array()) {
        message = "QOVA's card list is not readable";
        return kExitPipe;
    }
    return kExitDone;
}

std::vector<CardEntry> cardEntries(const json& reply) {
    std::vector<CardEntry> out;
    for (const json& card : reply["cards"]) {
        if (!card.is_object()) continue;
        out.push_back({stringMember(card, "id"), stringMember(card, "name"), numberMember(card, "channels"),
                       stringMember(card, "state")});
    }
    return out;
}

std::vector<std::string> managedNames(const json& reply) {
    std::vector<std::string> out;
    const auto managed = reply.find("managed");
    if (managed == reply.end() || !managed->is_array()) return out;
    for (const json& name : *managed) {
        if (name.is_string()) out.push_back(name.get<std::string>());
    }
    return out;
}

int openCard(QovaConnection& pipe, const CardEntry& card, tools::RingProducer& producer, std::string& message) {
    json reply;
    if (!pipe.ask(json{{"op", "open"}, {"card", card.id}}, reply, message)) return kExitPipe;
    if (!replyOk(reply)) return errorReplyExit(reply, card.id, message);
    const std::string mapping = stringMember(reply, "mapping");
    const std::string problem = producer.open(mapping, stringMember(reply, "event"));
    if (!problem.empty()) {
        message = "cannot use the ring of card " + card.id + " (" + mapping + "): " + problem;
        return kExitRingUnusable;
    }
    return kExitDone;
}

int closeCard(QovaConnection& pipe, const CardEntry& card, std::string& message) {
    json reply;
    if (!pipe.ask(json{{"op", "close"}, {"card", card.id}}, reply, message)) return kExitPipe;
    if (replyOk(reply)) return kExitDone;
    if (stringMember(reply, "error") == "not_open") {
        message = "QOVA withdrew the ring of card " + card.id + " before it was closed";
        return kExitWithdrawn;
    }
    return errorReplyExit(reply, card.id, message);
}

}  // namespace player
