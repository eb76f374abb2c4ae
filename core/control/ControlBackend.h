#pragma once

// What the control channel may ask of the routing engine: list the cards, name the sound
// cards the engine holds, open a card (getting the names of a fresh card ring) and close it
// again. The router is the only implementation; the protocol handler and its tests reach the
// engine through nothing else. Platform-free, so the protocol builds and is tested natively.
//
// Implementations serialise their operations themselves: several connection threads may
// call at once.

#include <cstdint>
#include <string>
#include <vector>

namespace core {

struct CardInfo {
    std::string id;  // the card device id: "qova:" + the card's id
    std::string name;
    std::int32_t channels = 0;  // 1 for a one-member card, else 2
    std::string state;          // "ready", "busy" or "offline"
};

// Filled on success only. The ring's rate (48000) and channel count (2) never change, so
// the protocol layer adds them itself.
struct OpenCardResult {
    std::string mapping;         // the ring's section name, UTF-8
    std::string event;           // mapping + "-need"
    std::uint32_t capacity = 0;  // frames
    std::uint32_t target = 0;    // frames
    std::uint32_t period = 0;    // the card's period in 48 kHz frames
};

// The order of the virtual functions is fixed: it is the interface's slot order.
class ControlBackend {
public:
    ControlBackend() = default;
    ControlBackend(const ControlBackend&) = delete;
    ControlBackend& operator=(const ControlBackend&) = delete;
    virtual ~ControlBackend() = default;

    // Every card of the settings in force, in settings order, with its state as the calling
    // client sees it: a card that client holds itself is "ready".
    virtual std::vector<CardInfo> listCards(std::uint64_t clientId) = 0;

    // Display names of the Windows sound cards the engine has open.
    virtual std::vector<std::string> managedDevices() = 0;

    // cardId is the plain 8-digit id. Returns "" on success, else "unknown_card", "offline",
    // "busy" or "internal". Opening a card the client already holds withdraws its old ring.
    virtual std::string openCard(std::uint64_t clientId, const std::string& cardId, const std::string& clientName,
                                 OpenCardResult& result) = 0;

    // True when the client held the card's ring and it is now closed; false changes nothing.
    virtual bool closeCard(std::uint64_t clientId, const std::string& cardId) = 0;
};

}  // namespace core
