#include "core/settings/Settings.h"

#include <algorithm>
#include <cstdio>

namespace core {

namespace {

template <typename Item, typename List>
Item* firstWhere(List& list, auto predicate) {
    auto found = std::find_if(list.begin(), list.end(), predicate);
    return found == list.end() ? nullptr : &*found;
}

}  // namespace

const DeviceSettings* Settings::findDevice(std::string_view key) const {
    return firstWhere<const DeviceSettings>(devices, [key](const DeviceSettings& d) { return d.key == key; });
}

DeviceSettings* Settings::findDevice(std::string_view key) {
    return firstWhere<DeviceSettings>(devices, [key](const DeviceSettings& d) { return d.key == key; });
}

const CardSettings* Settings::findCard(std::string_view id) const {
    return firstWhere<const CardSettings>(cards, [id](const CardSettings& c) { return c.id == id; });
}

CardSettings* Settings::findCard(std::string_view id) {
    return firstWhere<CardSettings>(cards, [id](const CardSettings& c) { return c.id == id; });
}

const CardSettings* Settings::findCardUsingOutput(std::string_view deviceKey, std::uint32_t channel) const {
    return firstWhere<const CardSettings>(cards, [&](const CardSettings& card) {
        return std::any_of(card.members.begin(), card.members.end(),
                           [&](const CardMember& m) { return m.device == deviceKey && m.channel == channel; });
    });
}

bool cardNameLengthFits(std::string_view name) {
    return !name.empty() && name.size() <= kMaxCardNameBytes;
}

bool isCardId(std::string_view text) {
    return text.size() == kCardIdLength && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string formatCardId(std::uint32_t number) {
    char digits[kCardIdLength + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
    return digits;
}

std::string cardDeviceId(std::string_view id) {
    std::string text(kCardDeviceIdPrefix);
    text += id;
    return text;
}

std::string parseCardDeviceId(std::string_view text) {
    if (!text.starts_with(kCardDeviceIdPrefix)) return {};
    std::string_view id = text.substr(kCardDeviceIdPrefix.size());
    return isCardId(id) ? std::string(id) : std::string();
}

const char* apiText(DeviceApi api) {
    switch (api) {
    case DeviceApi::Shared: return "shared";
    case DeviceApi::Exclusive: return "exclusive";
    case DeviceApi::Asio: return "asio";
    }
    return "shared";
}

const char* monoText(MonoMode mono) {
    switch (mono) {
    case MonoMode::Sum: return "sum";
    case MonoMode::Left: return "left";
    case MonoMode::Right: return "right";
    }
    return "sum";
}

}  // namespace core
