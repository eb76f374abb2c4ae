#include "core/control/ControlProtocol.h"

// The request handler. nlohmann-json reports type faults and invalid text by throwing, so the
// whole handling runs inside one try block and every exception becomes an error reply; the
// request is parsed with exceptions off, since a parse failure is an ordinary outcome here.
//
// Replies are written with invalid UTF-8 replaced by U+FFFD rather than throwing: texts we
// take from the request were checked by the parser, but the backend's texts (card names,
// section names, statuses) were not, and one stray byte must not make every "cards" request
// fail.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/Version.h"
#include "core/ring/CardRingLayout.h"
#include "core/settings/Settings.h"
#include "core/text/Utf8.h"

namespace core {

namespace {

using Json = nlohmann::json;  // std::map objects: dump() writes members in ascending byte order

std::string compact(const Json& reply) {
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The member `name` of `object`, or nullptr when it is absent.
const Json* findMember(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::string handleHello(ClientState& client, const Json& request) {
    // Only integers count: 1.0, "1" and true are refused, so that a client cannot pass by a
    // value that merely converts to 1. Integers beyond 64 bits reach us as floating-point
    // numbers and are refused with the fractions.
    const Json* protocol = findMember(request, "protocol");
    if (protocol == nullptr || !protocol->is_number_integer()) return errorReply("hello", "bad_request");
    const bool supported = protocol->is_number_unsigned()
                               ? protocol->get<std::uint64_t>() == static_cast<std::uint64_t>(kProtocolVersion)
                               : protocol->get<std::int64_t>() == kProtocolVersion;
    if (!supported) return errorReply("hello", "protocol_mismatch");

    // Build the reply before touching the state, so that a failure here leaves it as it was.
    Json reply = okReply("hello");
    reply["protocol"] = kProtocolVersion;
    reply["version"] = QOVA_VERSION_TEXT;
    std::string text = compact(reply);

    const Json* name = findMember(request, "client");
    // The name goes on into the ring, the log and the status view, which all want UTF-8. The
    // parser has already refused invalid UTF-8, so only a cut could split a character.
    if (name != nullptr && name->is_string()) {
        client.clientName = cutUtf8(name->get_ref<const std::string&>(), kClientNameBytes);
    }
    client.helloDone = true;
    return text;
}

std::string handleCards(ControlBackend& backend, const ClientState& client) {
    const std::vector<CardInfo> cards = backend.listCards(client.clientId);
    const std::vector<std::string> managed = backend.managedDevices();
    Json cardList = Json::array();
    for (const CardInfo& card : cards) {
        cardList.push_back(
            Json{{"channels", card.channels}, {"id", card.id}, {"name", card.name}, {"state", card.state}});
    }
    Json reply = okReply("cards");
    reply["cards"] = std::move(cardList);
    reply["managed"] = managed;
    return compact(reply);
}

// "open" and "close" share the reading of "card": the text as sent is echoed, the backend
// gets the plain id inside it.
std::string handleCardOp(ControlBackend& backend, const ClientState& client, const std::string& op,
                         const Json& request) {
    const Json* cardMember = findMember(request, "card");
    if (cardMember == nullptr || !cardMember->is_string()) return errorReply(op, "bad_request");
    const std::string& card = cardMember->get_ref<const std::string&>();
    const std::string id = parseCardDeviceId(card);
    if (id.empty()) return errorReply(op, "unknown_card");

    if (op == "close") {
        if (!backend.closeCard(client.clientId, id)) return errorReply(op, "not_open");
        Json reply = okReply(op);
        reply["card"] = card;
        return compact(reply);
    }

    OpenCardResult result;
    const std::string status = backend.openCard(client.clientId, id, client.clientName, result);
    if (!status.empty()) return errorReply(op, status);
    Json reply = okReply(op);
    reply["card"] = card;
    reply["mapping"] = result.mapping;
    reply["event"] = result.event;
    reply["rate"] = kRingRateHz;
    reply["channels"] = kRingChannels;
    reply["capacity"] = result.capacity;
    reply["target"] = result.target;
    reply["period"] = result.period;
    return compact(reply);
}

std::string handleOp(ControlBackend& backend, ClientState& client, const std::string& op, const Json& request) {
    if (op == "hello") return handleHello(client, request);
    if (!client.helloDone) return errorReply(op, "protocol_mismatch");
    if (op == "cards") return handleCards(backend, client);
    if (op == "open" || op == "close") return handleCardOp(backend, client, op, request);
    return errorReply(op, "bad_request");
}

// The last resort when not even an error reply could be made: out of memory. The literal
// may still fit; an empty text needs no memory at all.
std::string lastResortReply() noexcept {
    try {
        return R"({"error":"internal","ok":false,"op":""})";
    } catch (...) {
        return {};
    }
}

}  // namespace

Json okReply(std::string_view op) {
    return Json{{"ok", true}, {"op", std::string(op)}};
}

std::string errorReply(std::string_view op, std::string_view code) {
    return compact(Json{{"error", std::string(code)}, {"ok", false}, {"op", std::string(op)}});
}

std::string handleControlRequest(ControlBackend& backend, ClientState& client, std::string_view request) {
    // Set once the op is read: from then on a failure is answered with that op.
    std::string op;
    try {
        // A raw NUL byte is never JSON, but the library's lexer takes one as the end of the
        // input and would accept "{...}\0anything".
        if (request.size() > kMaxRequestBytes || request.find('\0') != std::string_view::npos) {
            return errorReply("", "bad_request");
        }
        // Strict: one value and nothing after it, no comments; invalid UTF-8 is a parse error.
        const Json root = Json::parse(request.begin(), request.end(), nullptr, false, false);
        if (root.is_discarded() || !root.is_object()) return errorReply("", "bad_request");
        const Json* opMember = findMember(root, "op");
        if (opMember == nullptr || !opMember->is_string()) return errorReply("", "bad_request");
        op = opMember->get<std::string>();
        return handleOp(backend, client, op, root);
    } catch (...) {
        // The backend or the library failed, or memory ran out (then op may be empty).
    }
    try {
        return errorReply(op, "internal");
    } catch (...) {
        return lastResortReply();
    }
}

}  // namespace core
