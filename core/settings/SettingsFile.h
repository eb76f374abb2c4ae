#pragma once

#include <string>
#include <string_view>

#include "core/settings/Settings.h"

namespace core {

// Parses the text of config.json. On success replaces the devices, cards and language of
// `settings` and returns true; on failure leaves `settings` untouched, sets `error`, returns false.
bool readSettings(std::string_view text, Settings& settings, std::string& error);

// The written form of config.json. Never throws: bytes that are not valid UTF-8 are written
// as U+FFFD, so settings can still be compared by this text, but such settings must not be
// saved (see settingsTextIsUtf8).
std::string writeSettings(const Settings& settings);

// True when every text in the settings (language, device keys and names, card ids and names,
// member devices) is valid UTF-8, which the file requires.
bool settingsTextIsUtf8(const Settings& settings);

}  // namespace core
