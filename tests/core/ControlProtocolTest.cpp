#include "core/control/ControlProtocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The request handler against a backend that records what it was asked. Replies are
// compared as whole texts: player apps match on the exact bytes.

namespace core {
namespace {

using namespace std::string_literals;

constexpr std::uint64_t kClient = 7;

// Answers with whatever the test put in it; every call is written to `calls`.
class RecordingBackend : public ControlBackend {
public:
    enum class Throw { Nothing, ListCards, ManagedDevices, OpenCard, CloseCard, NonStandard };

    std::vector<CardInfo> cards;
    std::vector<std::string> managed;
    std::string openStatus;
    OpenCardResult openResult;
    bool closeResult = true;
    Throw throwIn = Throw::Nothing;
    std::vector<std::string> calls;

    std::vector<CardInfo> listCards(std::uint64_t clientId) override {
        calls.push_back("listCards " + std::to_string(clientId));
        maybeThrow(Throw::ListCards);
        return cards;
    }

    std::vector<std::string> managedDevices() override {
        calls.push_back("managedDevices");
        maybeThrow(Throw::ManagedDevices);
        return managed;
    }

    std::string openCard(std::uint64_t clientId, const std::string& cardId, const std::string& clientName,
                         OpenCardResult& result) override {
        calls.push_back("openCard " + std::to_string(clientId) + " " + cardId + " " + clientName);
        maybeThrow(Throw::OpenCard);
        if (openStatus.empty()) result = openResult;
        return openStatus;
    }

    bool closeCard(std::uint64_t clientId, const std::string& cardId) override {
        calls.push_back("closeCard " + std::to_string(clientId) + " " + cardId);
        maybeThrow(Throw::CloseCard);
        return closeResult;
    }

private:
    void maybeThrow(Throw here) const {
        if (throwIn == Throw::NonStandard) throw 42;
        if (throwIn == here) throw std::runtime_error("backend failed");
    }
};

ClientState freshClient() {
    ClientState client;
    client.clientId = kClient;
    return client;
}

ClientState introducedClient(std::string name = "Player") {
    return {.clientId = kClient, .helloDone = true, .clientName = std::move(name)};
}

// One connection: the backend the handler asks and the state it keeps for the client, which
// has said hello unless the test says otherwise.
struct Connection {
    explicit Connection(ClientState state = introducedClient()) : client(std::move(state)) {}

    RecordingBackend backend;
    ClientState client;

    std::string send(std::string_view request) { return handleControlRequest(backend, client, request); }
};

std::string error(std::string_view op, std::string_view code) {
    return R"({"error":")" + std::string(code) + R"(","ok":false,"op":")" + std::string(op) + R"("})";
}

std::string closed(std::string_view card) {
    return R"({"card":")" + std::string(card) + R"(","ok":true,"op":"close"})";
}

// What an open gives when the backend leaves the ring format at its defaults.
std::string openedWithDefaults(std::string_view card) {
    return R"({"capacity":0,"card":")" + std::string(card) +
           R"(","channels":2,"event":"","mapping":"","ok":true,"op":"open","period":0,"rate":48000,"target":0})";
}

const std::string kHelloOk = R"({"ok":true,"op":"hello","protocol":1,"version":"0.1.2"})";

TEST(ControlReplies, ErrorAndOkRepliesAreCompactAndSorted) {
    EXPECT_EQ(errorReply("", "bad_request"), R"({"error":"bad_request","ok":false,"op":""})");
    EXPECT_EQ(errorReply("open", "busy"), R"({"error":"busy","ok":false,"op":"open"})");
    EXPECT_EQ(okReply("cards").dump(), R"({"ok":true,"op":"cards"})");
    // Whatever a caller passes, the reply is UTF-8 and making it does not throw.
    EXPECT_EQ(errorReply("a\xff", "x\xc3"), "{\"error\":\"x\xef\xbf\xbd\",\"ok\":false,\"op\":\"a\xef\xbf\xbd\"}");
}

// Requests that cannot be read as far as a string "op": answered with an empty op, the
// backend never asked, the connection's state untouched.
TEST(ControlUnreadable, AnsweredBadRequestWithEmptyOp) {
    const std::vector<std::string> requests = {
        "",
        "   ",
        "nul",
        "null",
        "[]",
        R"(["op","hello"])",
        R"("op")",
        "{}",
        R"({"op":1})",
        R"({"op":null})",
        R"({"op":["cards"]})",
        R"({"Op":"cards"})",
        R"({"op":"cards",})",
        R"({"op":"cards"} {"op":"cards"})",
        R"({"op":"cards"}x)",
        R"({/* comment */"op":"cards"})",
        "{\"op\":\"cards\"} // comment",
        "{\"op\":\"ca\xffrds\"}",             // invalid UTF-8 inside the op
        "{\"op\":\"cards\",\"x\":\"\xc3\"}",  // ... or anywhere else
        R"({"op":"\ud800"})",                 // a lone surrogate
        R"({"op":"cards","n":1e400})",        // a number beyond double
        // A NUL byte is never JSON, though the library would take one as the end of the text.
        "{\"op\":\"cards\"}\0"s,
        "{\"op\":\"cards\"}\0garbage"s,
        "{\"op\":\"cards\",\"x\":\"\0\"}"s,
    };
    for (const std::string& request : requests) {
        Connection link;
        EXPECT_EQ(link.send(request), error("", "bad_request")) << request;
        EXPECT_TRUE(link.backend.calls.empty()) << request;
        EXPECT_TRUE(link.client.helloDone);
        EXPECT_EQ(link.client.clientName, "Player");
    }
}

TEST(ControlUnreadable, RequestsUpTo65536BytesAreRead) {
    const std::string hello = R"({"op":"hello","protocol":1})";
    Connection link(freshClient());

    std::string longest = hello + std::string(kMaxRequestBytes - hello.size(), ' ');
    ASSERT_EQ(longest.size(), 65536u);
    EXPECT_EQ(link.send(longest), kHelloOk);

    Connection other(freshClient());
    EXPECT_EQ(other.send(longest + " "), error("", "bad_request"));
    EXPECT_FALSE(other.client.helloDone);

    // Long members inside a request that fits are ordinary members.
    const std::string head = R"({"op":"hello","protocol":1,"client":")";
    const std::string named = head + std::string(kMaxRequestBytes - head.size() - 2, 'n') + R"("})";
    ASSERT_EQ(named.size(), 65536u);
    EXPECT_EQ(other.send(named), kHelloOk);
    EXPECT_EQ(other.client.clientName, std::string(80, 'n'));
}

TEST(ControlHello, OnlyTheInteger1IsAccepted) {
    struct Case {
        const char* request;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {R"({"op":"hello","protocol":1})", kHelloOk},
        {R"({"op":"hello","protocol":1,"extra":[1,{"a":null}]})", kHelloOk},
        {R"({"protocol":1,"op":"hello"})", kHelloOk},
        {R"({"op":"hello","protocol":2})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":0})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":-1})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":-0})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":4294967297})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":18446744073709551615})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello","protocol":-9223372036854775807})", error("hello", "protocol_mismatch")},
        {R"({"op":"hello"})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":"1"})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":1.0})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":1e0})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":true})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":null})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":[1]})", error("hello", "bad_request")},
        {R"({"op":"hello","protocol":{"v":1}})", error("hello", "bad_request")},
        // Beyond 64 bits the library holds the number as a double, like a fraction.
        {R"({"op":"hello","protocol":18446744073709551617})", error("hello", "bad_request")},
    };
    for (const Case& c : cases) {
        Connection link(freshClient());
        EXPECT_EQ(link.send(c.request), c.reply) << c.request;
        EXPECT_EQ(link.client.helloDone, c.reply == kHelloOk) << c.request;
        EXPECT_TRUE(link.backend.calls.empty());
    }
}

TEST(ControlHello, OtherOpsWaitForASuccessfulHello) {
    Connection link(freshClient());
    const auto expectRefused = [&] {
        EXPECT_EQ(link.send(R"({"op":"cards"})"), error("cards", "protocol_mismatch"));
        EXPECT_EQ(link.send(R"({"op":"open","card":"qova:0000000a"})"), error("open", "protocol_mismatch"));
        EXPECT_EQ(link.send(R"({"op":"close"})"), error("close", "protocol_mismatch"));
        // Not introduced outranks an op that does not exist.
        EXPECT_EQ(link.send(R"({"op":"dance"})"), error("dance", "protocol_mismatch"));
    };
    expectRefused();
    EXPECT_EQ(link.send(R"({"op":"hello","protocol":2})"), error("hello", "protocol_mismatch"));
    EXPECT_EQ(link.send(R"({"op":"hello","protocol":1.0})"), error("hello", "bad_request"));
    expectRefused();
    EXPECT_TRUE(link.backend.calls.empty());

    EXPECT_EQ(link.send(R"({"op":"hello","protocol":1})"), kHelloOk);
    EXPECT_EQ(link.send(R"({"op":"cards"})"), R"({"cards":[],"managed":[],"ok":true,"op":"cards"})");
    EXPECT_EQ(link.backend.calls, (std::vector<std::string>{"listCards 7", "managedDevices"}));
}

TEST(ControlHello, LaterHellosRenameAndFailuresKeepTheClientIntroduced) {
    Connection link(freshClient());
    const auto hello = [&](std::string_view members) {
        return link.send(R"({"op":"hello","protocol":1)" + std::string(members) + "}");
    };
    EXPECT_EQ(hello(R"(,"client":"Veltrano")"), kHelloOk);
    EXPECT_EQ(link.client.clientName, "Veltrano");
    EXPECT_EQ(hello(R"(,"client":"Veltrano 2")"), kHelloOk);
    EXPECT_EQ(link.client.clientName, "Veltrano 2");
    EXPECT_EQ(hello(""), kHelloOk);  // no "client": the name stays
    EXPECT_EQ(link.client.clientName, "Veltrano 2");
    EXPECT_EQ(hello(R"(,"client":42)"), kHelloOk);  // not a string: the name stays
    EXPECT_EQ(link.client.clientName, "Veltrano 2");
    EXPECT_EQ(hello(R"(,"client":"")"), kHelloOk);  // an empty string is a name
    EXPECT_EQ(link.client.clientName, "");

    EXPECT_EQ(link.send(R"({"op":"hello","protocol":3,"client":"Other"})"), error("hello", "protocol_mismatch"));
    EXPECT_EQ(link.send(R"({"op":"hello","client":"Other"})"), error("hello", "bad_request"));
    EXPECT_TRUE(link.client.helloDone);
    EXPECT_EQ(link.client.clientName, "");
    EXPECT_EQ(link.send(R"({"op":"close","card":"qova:0000000a"})"), closed("qova:0000000a"));
}

// Names are cut to 80 bytes, moved back to the start of a character when the cut would
// split one, so that the name stays UTF-8 on its way into the ring and the log.
TEST(ControlHello, ClientNamesAreCutTo80BytesOnACharacterBoundary) {
    const std::string e = "\xc3\xa9";                // é, 2 bytes
    const std::string speaker = "\xf0\x9f\x94\x8a";  // U+1F50A, 4 bytes
    struct Case {
        std::string sent;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {std::string(100, 'a'), std::string(80, 'a')},
        {std::string(80, 'b'), std::string(80, 'b')},
        {std::string(81, 'c'), std::string(80, 'c')},
        {std::string(79, 'd') + e, std::string(79, 'd')},
        {std::string(78, 'd') + e + "x", std::string(78, 'd') + e},
        {std::string(77, 'f') + speaker, std::string(77, 'f')},
        {std::string(76, 'f') + speaker + "x", std::string(76, 'f') + speaker},
        {std::string(78, 'g') + speaker, std::string(78, 'g')},
        {speaker + std::string(80, 'h'), speaker + std::string(76, 'h')},
    };
    for (const Case& c : cases) {
        Connection link(freshClient());
        EXPECT_EQ(link.send(R"({"op":"hello","protocol":1,"client":")" + c.sent + R"("})"), kHelloOk);
        EXPECT_EQ(link.client.clientName, c.kept) << c.sent;

        // The name reaches the backend, and a later reply can still be written.
        EXPECT_EQ(link.send(R"({"op":"open","card":"qova:00000001"})"), openedWithDefaults("qova:00000001"));
        ASSERT_EQ(link.backend.calls.size(), 1u);
        EXPECT_EQ(link.backend.calls[0], "openCard 7 00000001 " + c.kept);
    }
}

TEST(ControlCards, ListsCardsInBackendOrderWithSortedMembers) {
    Connection link;
    link.client.clientId = 123456789012345ull;
    link.backend.cards = {{.id = "qova:0000000b",
                           .name = "K\xc3\xbc"
                                   "che \"left\"",
                           .channels = 1,
                           .state = "busy"},
                          {.id = "qova:0000000a", .name = "Lounge", .channels = 2, .state = "ready"},
                          {.id = "qova:ffffffff", .name = "Attic\\", .channels = 2, .state = "offline"}};
    link.backend.managed = {"Speakers (Realtek\xc2\xae Audio)", "Headphones"};
    EXPECT_EQ(link.send(R"({"op":"cards","card":"ignored"})"),
              "{\"cards\":["
              "{\"channels\":1,\"id\":\"qova:0000000b\",\"name\":\"K\xc3\xbc"
              "che \\\"left\\\"\",\"state\":\"busy\"},"
              "{\"channels\":2,\"id\":\"qova:0000000a\",\"name\":\"Lounge\",\"state\":\"ready\"},"
              "{\"channels\":2,\"id\":\"qova:ffffffff\",\"name\":\"Attic\\\\\",\"state\":\"offline\"}],"
              "\"managed\":[\"Speakers (Realtek\xc2\xae Audio)\",\"Headphones\"],\"ok\":true,\"op\":\"cards\"}");
    EXPECT_EQ(link.backend.calls, (std::vector<std::string>{"listCards 123456789012345", "managedDevices"}));
}

TEST(ControlCards, BackendTextsThatAreNotUtf8AreReplaced) {
    Connection link;
    link.backend.cards = {{.id = "qova:0000000a", .name = "Bad\xff", .channels = 2, .state = "ready"}};
    link.backend.managed = {"\xc3"};
    EXPECT_EQ(link.send(R"({"op":"cards"})"),
              "{\"cards\":[{\"channels\":2,\"id\":\"qova:0000000a\",\"name\":\"Bad\xef\xbf\xbd\",\"state\":\"ready\"}],"
              "\"managed\":[\"\xef\xbf\xbd\"],\"ok\":true,\"op\":\"cards\"}");
}

TEST(ControlOpen, SuccessEchoesTheCardAndAddsTheRingFormat) {
    Connection link(introducedClient("Veltrano"));
    link.backend.openResult = {.mapping = "Local\\qova-ring-7-1",
                               .event = "Local\\qova-ring-7-1-need",
                               .capacity = 4294967295u,
                               .target = 2400,
                               .period = 480};
    EXPECT_EQ(link.send(R"({"card":"qova:0123abcd","op":"open","rate":44100})"),
              R"({"capacity":4294967295,"card":"qova:0123abcd","channels":2,"event":"Local\\qova-ring-7-1-need",)"
              R"("mapping":"Local\\qova-ring-7-1","ok":true,"op":"open","period":480,"rate":48000,"target":2400})");
    EXPECT_EQ(link.backend.calls, (std::vector<std::string>{"openCard 7 0123abcd Veltrano"}));

    // Escapes in the request are read as the characters they stand for.
    EXPECT_EQ(link.send(R"({"op":"\u006fpen","card":"\u0071ova:0123ABCD"})"), error("open", "unknown_card"));
    link.backend.openResult = {};
    EXPECT_EQ(link.send(R"({"op":"\u006fpen","card":"\u0071ova:0123abcd"})"), openedWithDefaults("qova:0123abcd"));
}

TEST(ControlOpen, BackendStatusesArePassedOn) {
    for (const char* status : {"unknown_card", "offline", "busy", "internal", "something_new"}) {
        Connection link;
        link.backend.openStatus = status;
        link.backend.openResult.mapping = "never shown";
        EXPECT_EQ(link.send(R"({"op":"open","card":"qova:0000000a"})"), error("open", status));
        EXPECT_EQ(link.backend.calls.size(), 1u);
    }
}

TEST(ControlClose, ClosesHeldCardsAndRefusesOthers) {
    Connection link;
    EXPECT_EQ(link.send(R"({"op":"close","card":"qova:deadbeef"})"), closed("qova:deadbeef"));
    link.backend.closeResult = false;
    EXPECT_EQ(link.send(R"({"op":"close","card":"qova:0000000a"})"), error("close", "not_open"));
    EXPECT_EQ(link.backend.calls, (std::vector<std::string>{"closeCard 7 deadbeef", "closeCard 7 0000000a"}));
}

// "open" and "close" read "card" the same way; a malformed id never reaches the backend.
TEST(ControlCardOps, MissingOrMalformedCardsAreRefusedBeforeTheBackend) {
    struct Case {
        std::string members;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"", "bad_request"},
        {R"(,"card":null)", "bad_request"},
        {R"(,"card":10)", "bad_request"},
        {R"(,"card":["qova:0000000a"])", "bad_request"},
        {R"(,"Card":"qova:0000000a")", "bad_request"},
        {R"(,"card":"")", "unknown_card"},
        {R"(,"card":"qova:0000000A")", "unknown_card"},
        {R"(,"card":"qova:DEADBEEF")", "unknown_card"},
        {R"(,"card":"qova:0000000")", "unknown_card"},
        {R"(,"card":"qova:0000000aa")", "unknown_card"},
        {R"(,"card":"qova:0000000g")", "unknown_card"},
        {R"(,"card":"0000000a")", "unknown_card"},
        {R"(,"card":"QOVA:0000000a")", "unknown_card"},
        {R"(,"card":" qova:0000000a")", "unknown_card"},
        {R"(,"card":"qova:0000000a\u0000")", "unknown_card"},
    };
    for (const char* op : {"open", "close"}) {
        for (const Case& c : cases) {
            Connection link;
            const std::string request = R"({"op":")" + std::string(op) + "\"" + c.members + "}";
            EXPECT_EQ(link.send(request), error(op, c.code)) << request;
            EXPECT_TRUE(link.backend.calls.empty()) << request;
        }
    }
}

TEST(ControlFailures, BackendExceptionsBecomeInternal) {
    struct Case {
        RecordingBackend::Throw throwIn;
        const char* request;
        const char* op;
    };
    const std::vector<Case> cases = {
        {RecordingBackend::Throw::ListCards, R"({"op":"cards"})", "cards"},
        {RecordingBackend::Throw::ManagedDevices, R"({"op":"cards"})", "cards"},
        {RecordingBackend::Throw::OpenCard, R"({"op":"open","card":"qova:0000000a"})", "open"},
        {RecordingBackend::Throw::CloseCard, R"({"op":"close","card":"qova:0000000a"})", "close"},
        {RecordingBackend::Throw::NonStandard, R"({"op":"cards"})", "cards"},
        {RecordingBackend::Throw::NonStandard, R"({"op":"open","card":"qova:0000000a"})", "open"},
        {RecordingBackend::Throw::NonStandard, R"({"op":"close","card":"qova:0000000a"})", "close"},
    };
    for (const Case& c : cases) {
        Connection link;
        link.backend.throwIn = c.throwIn;
        EXPECT_EQ(link.send(c.request), error(c.op, "internal")) << c.request;
        // The connection goes on.
        link.backend.throwIn = RecordingBackend::Throw::Nothing;
        EXPECT_EQ(link.send(R"({"op":"close","card":"qova:0000000a"})"), closed("qova:0000000a"));
    }
}

TEST(ControlOps, UnknownOpsAreEchoedWithBadRequest) {
    struct Case {
        std::string request;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {R"({"op":"play"})", error("play", "bad_request")},
        {R"({"op":""})", error("", "bad_request")},
        {R"({"op":"Hello","protocol":1})", error("Hello", "bad_request")},
        {R"({"op":"cards "})", error("cards ", "bad_request")},
        {R"({"op":"caf\u00e9"})", error("caf\xc3\xa9", "bad_request")},
        {R"({"op":"\"quoted\"\n"})", error(R"(\"quoted\"\n)", "bad_request")},
        {R"({"op":"a\u0000b"})", error(R"(a\u0000b)", "bad_request")},
        {R"({"op":"\ud83d\udd0a"})", error("\xf0\x9f\x94\x8a", "bad_request")},
        // With a duplicated member the library keeps the last one.
        {R"({"op":"hello","op":"play"})", error("play", "bad_request")},
    };
    for (const Case& c : cases) {
        Connection link;
        EXPECT_EQ(link.send(c.request), c.reply) << c.request;
        EXPECT_TRUE(link.backend.calls.empty());
    }
}

}  // namespace
}  // namespace core
