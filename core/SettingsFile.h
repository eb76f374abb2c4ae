#pragma once

#include <string>
#include <string_view>

#include "core/Settings.h"

namespace core {

// Parses the text of config.json. On success replaces the devices, cards and language of
// `settings` and returns true; on failure leaves `settings` untouched, sets `error`, returns false.
bool readSettings(std::string_view text, Settings& settings, std::string& error);

// The written form of config.json. Never throws.
std::string writeSettings(const Settings& settings);

// True when every text in the settings is valid UTF-8, which the file requires.
bool settingsTextIsUtf8(const Settings& settings);

}  // namespace core
