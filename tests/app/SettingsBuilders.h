#pragma once

// Settings written out in tests and in the picture program.

#include <string>
#include <utility>
#include <vector>

#include "core/settings/Settings.h"

namespace testing_support {

inline core::CardSettings card(const std::string& id, const std::string& name, std::vector<core::CardMember> members) {
    core::CardSettings settings;
    settings.id = id;
    settings.name = name;
    settings.members = std::move(members);
    return settings;
}

}  // namespace testing_support
