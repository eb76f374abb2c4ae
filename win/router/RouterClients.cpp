// The router's card clients: what the control pipe asks of it for a player.

#include "win/router/Router.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "win/base/Log.h"

namespace win {

// --- card clients -----------------------------------------------------------------------------

// Connection thread.
std::vector<core::CardInfo> Router::listCards(std::uint64_t clientId) {
    const std::lock_guard guard(lock_);
    std::vector<core::CardInfo> cards;
    cards.reserve(settings_.cards.size());
    for (const core::CardSettings& settings : settings_.cards) {
        core::CardInfo info;
        info.id = core::cardDeviceId(settings.id);
        info.name = settings.name;
        info.channels = settings.members.size() == 1 ? 1 : 2;
        const CardNode* card = findCardNode(settings.id);
        const RingSlot* slot = findSlot(settings.id);
        if (card == nullptr || !card->live) {
            info.state = "offline";
        } else if (slot != nullptr && slot->owner && slot->owner->clientId != clientId) {
            info.state = "busy";
        } else {
            info.state = "ready";
        }
        cards.push_back(std::move(info));
    }
    return cards;
}

// Connection thread.
std::vector<std::string> Router::managedDevices() {
    const std::lock_guard guard(lock_);
    std::vector<std::string> names;
    if (!graph_) return names;
    for (const auto& node : graph_->outputs) {
        if (node->info.family == DeviceFamily::Wasapi && node->state == DeviceState::Open) {
            names.push_back(node->info.name);
        }
    }
    return names;
}

// Connection thread. Checks in order: the card exists, it plays, nobody else holds it.
std::string Router::openCard(std::uint64_t clientId, const std::string& cardId, const std::string& clientName,
                             core::OpenCardResult& result) {
    const std::lock_guard guard(lock_);
    if (settings_.findCard(cardId) == nullptr) return "unknown_card";
    const CardNode* card = findCardNode(cardId);
    if (card == nullptr || !card->live) return "offline";
    RingSlot& slot = *card->slot;
    if (slot.owner) {
        if (slot.owner->clientId != clientId) return "busy";
        closeRing(slot, core::RingCloseReason::ByQova);
    }

    RingRequest request;
    request.namePrefix = ringPrefix_;
    request.ringNumber = ++ringCounter_;
    request.cardId = cardId;
    request.periodFrames = card->period;
    request.clientId = clientId;
    request.clientName = clientName;
    CreatedRing created;
    std::string status = createRing(slot, request, created);
    if (!status.empty()) return status;
    result.mapping = std::move(created.mapping);
    result.event = std::move(created.event);
    result.capacity = created.capacityFrames;
    result.target = created.targetFrames;
    result.period = created.periodFrames;
    return {};
}

// Connection thread.
bool Router::closeCard(std::uint64_t clientId, const std::string& cardId) {
    const std::lock_guard guard(lock_);
    RingSlot* slot = findSlot(cardId);
    if (slot == nullptr || !slot->owner || slot->owner->clientId != clientId) return false;
    closeRing(*slot, core::RingCloseReason::ByPlayer);
    return true;
}

// Connection thread, as its connection ends.
void Router::clientGone(std::uint64_t clientId) {
    const std::lock_guard guard(lock_);
    for (auto& [id, slot] : ringSlots_) {
        if (slot->owner && slot->owner->clientId == clientId) closeRing(*slot, core::RingCloseReason::ByQova);
    }
}

// UI thread (the quit confirmation).
bool Router::anyCardPlaying() {
    const std::lock_guard guard(lock_);
    return std::any_of(ringSlots_.begin(), ringSlots_.end(),
                       [](const auto& entry) { return entry.second->owner != nullptr; });
}

}  // namespace win
