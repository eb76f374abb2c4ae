#pragma once

// Settings written out in tests and in the picture program: platform-free, for the native
// tests too.

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/settings/Settings.h"

namespace test_support {

inline core::CardMember member(std::string deviceKey, std::uint32_t channel, double delayMs = 0.0) {
    return core::CardMember{std::move(deviceKey), channel, delayMs};
}

inline core::CardSettings card(std::string id, std::string name, std::vector<core::CardMember> members,
                               core::MonoMode mono = core::MonoMode::Sum) {
    core::CardSettings settings;
    settings.id = std::move(id);
    settings.name = std::move(name);
    settings.members = std::move(members);
    settings.mono = mono;
    return settings;
}

// Two settings of very different lengths (one card, or 48 on 24 sound cards), so that a file
// written only in part, or one mixed from both, can never read as either.
inline core::Settings oneOfTwoSettings(int which) {
    core::Settings settings;
    const int devices = which == 0 ? 1 : 24;
    for (int d = 0; d < devices; ++d) {
        core::DeviceSettings device;
        device.key = "null:" + std::to_string(d);
        device.name = "Sound card " + std::to_string(d);
        device.enabled = true;
        settings.devices.push_back(device);
        for (std::uint32_t channel = 0; channel < (which == 0 ? 1u : 2u); ++channel) {
            const int number = d * 2 + static_cast<int>(channel);
            char id[9];
            std::snprintf(id, sizeof id, "%08x", 0x100 + number);
            settings.cards.push_back(card(id, "Zone " + std::to_string(number), {member(device.key, channel)}));
        }
    }
    return settings;
}

}  // namespace test_support
