#pragma once

// The control protocol's request handler: one JSON request text and the state of the client
// connection it came on in, one JSON reply text out. Player apps introduce themselves
// ("hello"), list the cards ("cards"), open a card ring ("open") and give it back ("close").
// Platform-free; the pipe server carries the texts, the router answers through
// ControlBackend.
//
// Replies are compact JSON with every object's members in ascending byte order, e.g.
//   {"error":"bad_request","ok":false,"op":""}
//   {"ok":true,"op":"hello","protocol":1,"version":"0.1.2"}

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/control/ControlBackend.h"

namespace core {

inline constexpr std::size_t kMaxRequestBytes = 65536;  // longer requests are answered "bad_request"
inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kClientNameBytes = 80;  // a longer "client" text is cut to at most this

// One per connection, owned by the connection; the handler reads and updates it.
struct ClientState {
    std::uint64_t clientId = 0;
    bool helloDone = false;  // set by the first successful "hello", never cleared
    // The last "client" text of a successful "hello": its first 80 bytes, or fewer when byte
    // 80 falls inside a character, so that the name stays UTF-8.
    std::string clientName;
};

// Never throws: every outcome, also a failure inside the backend, is a reply.
std::string handleControlRequest(ControlBackend& backend, ClientState& client, std::string_view request);

// {"ok":true,"op":op}; the op adds its own members before the reply is written.
nlohmann::json okReply(std::string_view op);

// The compact text of {"error":code,"ok":false,"op":op}.
std::string errorReply(std::string_view op, std::string_view code);

}  // namespace core
