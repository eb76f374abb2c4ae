#pragma once

// Whether a Settings value may be put in force. Looks only at the settings themselves, never
// at the sound cards present: a channel a device lacks or a card that is unplugged is the
// router's business when it builds its outputs. Pure functions; any thread.

#include "core/settings/Settings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace core {

// Stable values: the code texts go to the log and the order of the enumerators is the order
// of the text tables.
enum class IssueCode : std::uint8_t {
    DeviceKeyInvalid = 0,
    DeviceKeyDuplicate = 1,
    BufferOutOfRange = 2,
    PeriodsOutOfRange = 3,
    ApiWrongFamily = 4,
    TwoAsioDrivers = 5,
    CardIdInvalid = 6,
    CardIdDuplicate = 7,
    CardNameEmpty = 8,
    CardNameTooLong = 9,
    CardNameDuplicate = 10,
    CardMemberCount = 11,
    MemberUnknownDevice = 12,
    MemberDeviceOff = 13,
    MemberChannelRange = 14,
    MemberDelayRange = 15,
    ChannelTaken = 16,
    StereoSameChannel = 17,
};

inline constexpr std::size_t kIssueCodeCount = 18;

struct ValidationIssue {
    IssueCode code;
    // The device's key for the device codes, "asio" for TwoAsioDrivers, the card's id for the
    // card codes (even when that id is what is wrong).
    std::string subject;

    bool operator==(const ValidationIssue&) const = default;
};

// Every issue of the settings, devices first then cards, each in list order; empty when the
// settings may be applied. The order is stable so that the first issue shown to the user and
// the lines in the log do not jump around between runs.
std::vector<ValidationIssue> validateSettings(const Settings& settings);

// The stable lower snake case code text, such as "card_name_too_long"; "unknown" for a value
// outside the enumeration.
const char* issueCodeText(IssueCode code);

// The user text in language 0 (English), 1 (Dutch) or 2 (German); any other language gives
// English. Empty for a value outside the enumeration.
const char* issueText(int language, IssueCode code);

}  // namespace core
