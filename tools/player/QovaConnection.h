#pragma once

// qova-player's end of QOVA's control pipe: the connection, and the requests every command
// sends (hello, cards, open, close) with what their replies mean.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/player/CommandLine.h"
#include "tools/player/RingProducer.h"
#include "win/base/PipeClient.h"

namespace player {

// One connection to QOVA: one request message, then its whole reply message.
class QovaConnection {
public:
    // Returns kExitDone when connected, else the exit code, with a message for the user.
    int connect(const std::wstring& pipeName, std::string& message);

    // Sends one request and parses its reply. False with a message when the pipe fails or
    // the reply is not a JSON object.
    bool ask(const nlohmann::json& request, nlohmann::json& reply, std::string& message);

private:
    std::string brokenText(DWORD error) const;

    win::PipeClient pipe_;
    std::string pipeName_;
};

// One card of a "cards" reply.
struct CardEntry {
    std::string id;
    std::string name;
    std::uint32_t channels = 0;
    std::string state;
};

// hello, then cards: what every command starts with. kExitDone with the "cards" reply, or an
// exit code with its message.
int introduce(QovaConnection& pipe, const Options& options, nlohmann::json& cards, std::string& message);

// The cards of a "cards" reply that introduce() accepted; a member that is missing or of
// another type reads as empty (0 channels).
std::vector<CardEntry> cardEntries(const nlohmann::json& reply);

// The sound cards QOVA holds, from a "cards" reply; none when it lists none.
std::vector<std::string> managedNames(const nlohmann::json& reply);

// Opens the card; on success the producer is attached to its ring.
int openCard(QovaConnection& pipe, const CardEntry& card, tools::RingProducer& producer, std::string& message);

// Sends "close" unless QOVA took the ring back already. kExitDone, or kExitWithdrawn when
// QOVA had withdrawn it in the meantime.
int closeCard(QovaConnection& pipe, const CardEntry& card, std::string& message);

}  // namespace player
