#include "core/settings/CardEditing.h"

#include "core/settings/DeviceKey.h"
#include "core/text/Utf8.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace core {

namespace {

constexpr const char* kEditResultTexts[][3] = {
    {"", "", ""},
    {"That sound card is not turned on.", "Die geluidskaart staat niet aan.",
     "Diese Soundkarte ist nicht eingeschaltet."},
    {"Another card already plays on that output.", "Een andere kaart speelt al op die uitgang.",
     "Auf diesem Ausgang spielt bereits eine andere Karte."},
    {"That sound card does not have that channel.", "Die geluidskaart heeft dat kanaal niet.",
     "Diese Soundkarte hat diesen Kanal nicht."},
    {"Choose two different outputs.", "Kies twee verschillende uitgangen.", "Wähle zwei verschiedene Ausgänge."},
    {"That card no longer exists.", "Die kaart bestaat niet meer.", "Diese Karte gibt es nicht mehr."},
    {"Choose a name of 1 to 64 characters that no other card has.",
     "Kies een naam van 1 tot 64 tekens die geen andere kaart heeft.",
     "Wähle einen Namen mit 1 bis 64 Zeichen, den keine andere Karte hat."},
};
static_assert(std::size(kEditResultTexts) == static_cast<std::size_t>(EditResult::NameLength) + 1);

// Random draws before falling back to counting up from 1: with a working source a collision
// is already rare, 64 in a row means the source is stuck.
constexpr int kIdDraws = 64;
constexpr int kMaxNameSuffix = 999;
constexpr std::string_view kSplitLeftSuffix = " L";
constexpr std::string_view kSplitRightSuffix = " R";

bool nameTaken(const Settings& settings, std::string_view name) {
    return std::any_of(settings.cards.begin(), settings.cards.end(),
                       [name](const CardSettings& card) { return card.name == name; });
}

bool nameFits(std::string_view name, std::size_t maxBytes) {
    return !name.empty() && name.size() <= maxBytes;
}

EditResult checkOutput(const Settings& settings, std::string_view key, std::uint32_t channel,
                       std::uint32_t channelCount) {
    if (settings.findDevice(key) == nullptr) return EditResult::DeviceNotListed;
    if (channel >= channelCount || channel >= kMaxChannels) return EditResult::NoSuchChannel;
    if (settings.findCardUsingOutput(key, channel) != nullptr) return EditResult::OutputTaken;
    return EditResult::Success;
}

// The id is drawn against the cards as they are now, so a card appended earlier in the same
// edit is already taken. proposedName is read before the append, so it may point into a card.
void appendCard(Settings& settings, std::string_view proposedName, std::vector<CardMember> members,
                const RandomSource& random) {
    CardSettings card;
    card.id = newCardId(settings, random);
    card.name = uniqueCardName(settings, proposedName);
    card.members = std::move(members);
    settings.cards.push_back(std::move(card));
}

CardMember memberOn(std::string_view key, std::uint32_t channel) {
    return CardMember{.device = std::string(key), .channel = channel, .delayMs = 0.0};
}

}  // namespace

const char* editResultText(int language, EditResult result) {
    const auto index = static_cast<std::size_t>(result);
    if (index >= std::size(kEditResultTexts)) return "";
    return kEditResultTexts[index][language == 1 || language == 2 ? language : 0];
}

void enableDevice(Settings& settings, std::string_view key, std::string_view displayName) {
    // Copied first: the caller may hand us a device's own key or name, which the append below
    // could move.
    const std::string ownKey(key);
    const std::string ownName(displayName);
    DeviceSettings* device = settings.findDevice(ownKey);
    if (device == nullptr) {
        DeviceSettings added;
        added.key = ownKey;
        added.api = familyOfKey(ownKey) == DeviceFamily::Asio ? DeviceApi::Asio : DeviceApi::Shared;
        settings.devices.push_back(std::move(added));
        device = &settings.devices.back();
    }
    if (!ownName.empty()) device->name = ownName;
    device->enabled = true;
}

EditResult addStereoCard(Settings& settings, std::string_view deviceKey, std::uint32_t firstChannel,
                         std::uint32_t channelCount, std::string_view name, const RandomSource& random) {
    if (!nameFits(name, kMaxCardNameBytes)) return EditResult::NameLength;
    if (EditResult r = checkOutput(settings, deviceKey, firstChannel, channelCount); r != EditResult::Success) return r;
    // firstChannel is at most 63 here, so the sum cannot wrap.
    if (EditResult r = checkOutput(settings, deviceKey, firstChannel + 1, channelCount); r != EditResult::Success)
        return r;
    appendCard(settings, name, {memberOn(deviceKey, firstChannel), memberOn(deviceKey, firstChannel + 1)}, random);
    return EditResult::Success;
}

EditResult addSplitCards(Settings& settings, std::string_view deviceKey, std::uint32_t firstChannel,
                         std::uint32_t channelCount, std::string_view name, const RandomSource& random) {
    if (!nameFits(name, kMaxCardNameBytes - kSplitLeftSuffix.size())) return EditResult::NameLength;
    if (EditResult r = checkOutput(settings, deviceKey, firstChannel, channelCount); r != EditResult::Success) return r;
    if (EditResult r = checkOutput(settings, deviceKey, firstChannel + 1, channelCount); r != EditResult::Success)
        return r;
    // Copied before the first append, which may move the card text `name` or `deviceKey` points into.
    const std::string ownKey(deviceKey);
    const std::string left = std::string(name) + std::string(kSplitLeftSuffix);
    const std::string right = std::string(name) + std::string(kSplitRightSuffix);
    appendCard(settings, left, {memberOn(ownKey, firstChannel)}, random);
    appendCard(settings, right, {memberOn(ownKey, firstChannel + 1)}, random);
    return EditResult::Success;
}

EditResult addMonoCard(Settings& settings, std::string_view deviceKey, std::uint32_t channel,
                       std::uint32_t channelCount, std::string_view name, const RandomSource& random) {
    if (!nameFits(name, kMaxCardNameBytes)) return EditResult::NameLength;
    if (EditResult r = checkOutput(settings, deviceKey, channel, channelCount); r != EditResult::Success) return r;
    appendCard(settings, name, {memberOn(deviceKey, channel)}, random);
    return EditResult::Success;
}

EditResult joinOutputs(Settings& settings, std::string_view leftKey, std::uint32_t leftChannel,
                       std::string_view rightKey, std::uint32_t rightChannel, std::uint32_t leftChannelCount,
                       std::uint32_t rightChannelCount, std::string_view name, const RandomSource& random) {
    if (!nameFits(name, kMaxCardNameBytes)) return EditResult::NameLength;
    if (leftKey == rightKey && leftChannel == rightChannel) return EditResult::SameOutput;
    if (EditResult r = checkOutput(settings, leftKey, leftChannel, leftChannelCount); r != EditResult::Success)
        return r;
    if (EditResult r = checkOutput(settings, rightKey, rightChannel, rightChannelCount); r != EditResult::Success)
        return r;
    appendCard(settings, name, {memberOn(leftKey, leftChannel), memberOn(rightKey, rightChannel)}, random);
    return EditResult::Success;
}

EditResult deleteCard(Settings& settings, std::string_view id) {
    auto found = std::find_if(settings.cards.begin(), settings.cards.end(),
                              [id](const CardSettings& card) { return card.id == id; });
    if (found == settings.cards.end()) return EditResult::NoSuchCard;
    settings.cards.erase(found);
    return EditResult::Success;
}

std::string newCardId(const Settings& settings, const RandomSource& random) {
    if (random) {
        for (int draw = 0; draw < kIdDraws; ++draw) {
            std::string id = formatCardId(random());
            if (settings.findCard(id) == nullptr) return id;
        }
    }
    // At most one number per card is taken, so this ends long before the numbers run out.
    for (std::uint32_t number = 1; number != 0; ++number) {
        std::string id = formatCardId(number);
        if (settings.findCard(id) == nullptr) return id;
    }
    return formatCardId(0);
}

std::string uniqueCardName(const Settings& settings, std::string_view proposed) {
    std::string base = cutUtf8(proposed, kMaxCardNameBytes);
    if (!nameTaken(settings, base)) return base;
    for (int number = 2; number <= kMaxNameSuffix; ++number) {
        const std::string suffix = " " + std::to_string(number);
        std::string candidate = cutUtf8(base, kMaxCardNameBytes - suffix.size()) + suffix;
        if (!nameTaken(settings, candidate)) return candidate;
    }
    return base;
}

}  // namespace core
