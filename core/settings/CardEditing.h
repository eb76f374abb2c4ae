#pragma once

// The edits the user interface makes to its pending settings: turning a sound card on,
// adding cards in the four shapes the Cards tab offers, deleting a card. The adding
// operations refuse only the obvious mistakes early, and on any refusal leave the settings
// exactly as they were; whether the result may be applied is still for validateSettings.
// Pure functions; any thread.

#include "core/settings/Settings.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace core {

enum class EditResult : std::uint8_t {
    Success = 0,
    DeviceNotListed = 1,  // the settings have no device with that key
    OutputTaken = 2,      // a card already plays on that output
    NoSuchChannel = 3,    // not below the device's channel count, or above 63
    SameOutput = 4,       // both sides of a join are the same output
    NoSuchCard = 5,
    NameLength = 6,  // the proposed name is empty or too long
};

// The user text in language 0 (English), 1 (Dutch) or 2 (German); any other language gives
// English. Empty for Success and for a value outside the enumeration.
const char* editResultText(int language, EditResult result);

// Draws one unsigned 32-bit number per call; the user interface passes a seeded MT19937.
using RandomSource = std::function<std::uint32_t()>;

// Lists the device when it is not listed yet (api "asio" for an ASIO key, else "shared", the
// rest zero), remembers a non-empty display name and turns it on. Never fails.
void enableDevice(Settings& settings, std::string_view key, std::string_view displayName);

// The adding operations take the device's channel count from the caller (the last scan) and
// append their card(s) at the end with a fresh id, a name no other card has, mono "sum" and
// no delay. The texts they are given may point into `settings` itself.

// One stereo card on (deviceKey, firstChannel) and (deviceKey, firstChannel + 1).
EditResult addStereoCard(Settings& settings, std::string_view deviceKey, std::uint32_t firstChannel,
                         std::uint32_t channelCount, std::string_view name, const RandomSource& random);

// Two mono cards, name + " L" on firstChannel and name + " R" on firstChannel + 1; the name may
// therefore be at most 62 bytes.
EditResult addSplitCards(Settings& settings, std::string_view deviceKey, std::uint32_t firstChannel,
                         std::uint32_t channelCount, std::string_view name, const RandomSource& random);

// One mono card on (deviceKey, channel).
EditResult addMonoCard(Settings& settings, std::string_view deviceKey, std::uint32_t channel,
                       std::uint32_t channelCount, std::string_view name, const RandomSource& random);

// One stereo card from two outputs that may sit on two different sound cards.
EditResult joinOutputs(Settings& settings, std::string_view leftKey, std::uint32_t leftChannel,
                       std::string_view rightKey, std::uint32_t rightChannel, std::uint32_t leftChannelCount,
                       std::uint32_t rightChannelCount, std::string_view name, const RandomSource& random);

// Removes the first card with that id, keeping the others in order.
EditResult deleteCard(Settings& settings, std::string_view id);

// An id no card has: the first of up to 64 random draws that is free, else the first free of
// "00000001", "00000002", … (an empty random source goes straight there).
std::string newCardId(const Settings& settings, const RandomSource& random);

// The proposed name cut to 64 bytes; when a card has that name, the first of "<name> 2" up to
// "<name> 999" that no card has, the name shortened so that name and suffix fit in 64 bytes.
// When even those are all taken, the cut name, which validation then reports as a duplicate.
std::string uniqueCardName(const Settings& settings, std::string_view proposed);

}  // namespace core
