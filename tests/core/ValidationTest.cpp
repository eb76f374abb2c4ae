#include "core/settings/Validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "tests/support/SettingsBuilders.h"

namespace core {
namespace {

using Lines = std::vector<std::string>;

// "code subject" per issue, so that a mismatch shows the whole list in order.
Lines describe(const std::vector<ValidationIssue>& issues) {
    Lines lines;
    for (const ValidationIssue& issue : issues)
        lines.push_back(std::string(issueCodeText(issue.code)) + " " + issue.subject);
    return lines;
}

Lines check(const Settings& settings) {
    return describe(validateSettings(settings));
}

DeviceSettings device(std::string key, bool enabled = true, DeviceApi api = DeviceApi::Shared) {
    return DeviceSettings{.key = std::move(key), .name = "", .enabled = enabled, .api = api};
}

using test_support::card;
using test_support::member;

// Two enabled devices and one turned off, no cards.
Settings threeDevices() {
    Settings settings;
    settings.devices = {device("wasapi:a"), device("null:b"), device("wasapi:off", false)};
    return settings;
}

TEST(ValidationAccepts, DefaultAndFullyUsedLimits) {
    EXPECT_EQ(check(Settings{}), Lines{});

    Settings settings;
    settings.devices = {
        {.key = "wasapi:a", .name = "", .enabled = true, .api = DeviceApi::Exclusive, .bufferFrames = 16, .periods = 2},
        {.key = "null:b", .name = "", .enabled = true, .bufferFrames = 8192, .periods = 8},
        {.key = "asio:c", .name = "", .enabled = true, .api = DeviceApi::Asio},
        {.key = "asio:d", .name = "", .enabled = false, .api = DeviceApi::Asio},  // a second ASIO driver, off
    };
    settings.cards = {
        card("00000000", "Stereo", {member("wasapi:a", 0), member("wasapi:a", 1, 500.0)}),
        card("ffffffff", "Joined", {member("wasapi:a", 63, 0.5), member("null:b", 0)}),
        card("0123abcd", std::string(64, 'x'), {member("asio:c", 5, -0.0)}),
        card("0123abce", "stereo", {member("asio:c", 4)}),  // names differ in case only
    };
    EXPECT_EQ(check(settings), Lines{});
}

TEST(ValidationDevices, BufferAndPeriodsLimits) {
    struct Case {
        std::uint32_t bufferFrames;
        std::uint32_t periods;
        Lines issues;
    };
    const Case cases[] = {
        {0, 0, {}},
        {16, 2, {}},
        {8192, 8, {}},
        {15, 0, {"buffer_out_of_range wasapi:a"}},
        {8193, 0, {"buffer_out_of_range wasapi:a"}},
        {1, 0, {"buffer_out_of_range wasapi:a"}},
        {0xffffffffu, 0, {"buffer_out_of_range wasapi:a"}},
        {0, 1, {"periods_out_of_range wasapi:a"}},
        {0, 9, {"periods_out_of_range wasapi:a"}},
        {0, 0xffffffffu, {"periods_out_of_range wasapi:a"}},
        {15, 9, {"buffer_out_of_range wasapi:a", "periods_out_of_range wasapi:a"}},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.devices = {device("wasapi:a")};
        settings.devices[0].bufferFrames = c.bufferFrames;
        settings.devices[0].periods = c.periods;
        EXPECT_EQ(check(settings), c.issues) << "buffer " << c.bufferFrames << ", periods " << c.periods;
    }
}

TEST(ValidationDevices, ApiMustMatchKeyFamily) {
    struct Case {
        const char* key;
        DeviceApi api;
        bool wrong;
    };
    const Case cases[] = {
        {"wasapi:a", DeviceApi::Shared, false},
        {"wasapi:a", DeviceApi::Exclusive, false},
        {"wasapi:a", DeviceApi::Asio, true},
        {"null:a", DeviceApi::Shared, false},
        {"null:a", DeviceApi::Exclusive, false},
        {"null:a", DeviceApi::Asio, true},
        {"asio:a", DeviceApi::Asio, false},
        {"asio:a", DeviceApi::Shared, true},
        {"asio:a", DeviceApi::Exclusive, true},
        {"asio:a", static_cast<DeviceApi>(7), true},
        {"wasapi:a", static_cast<DeviceApi>(7), false},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.devices = {device(c.key, true, c.api)};
        EXPECT_EQ(check(settings), c.wrong ? Lines{std::string("api_wrong_family ") + c.key} : Lines{})
            << c.key << " with api " << static_cast<int>(c.api);
    }
}

TEST(ValidationDevices, UnreadableKeyStopsBeforeFamilyChecks) {
    // A bare ASIO prefix is no ASIO card: no family mismatch, and not counted as a driver.
    Settings settings;
    settings.devices = {device("asio:", true, DeviceApi::Asio), device("asio:x", true, DeviceApi::Asio),
                        device("asio", true, DeviceApi::Shared)};
    EXPECT_EQ(check(settings), (Lines{"device_key_invalid asio:", "device_key_invalid asio"}));
}

TEST(ValidationDevices, IssuesOfOneDeviceComeInFixedOrder) {
    Settings settings;
    settings.devices = {device("bad"), device("wasapi:a")};
    settings.devices.push_back({.key = "bad", .name = "", .bufferFrames = 8, .periods = 1});
    settings.devices.push_back(
        {.key = "wasapi:a", .name = "", .api = DeviceApi::Asio, .bufferFrames = 9000, .periods = 9});
    settings.devices.push_back({.key = "", .name = "", .bufferFrames = 1});
    EXPECT_EQ(check(settings), (Lines{
                                   "device_key_invalid bad",
                                   "device_key_invalid bad",
                                   "device_key_duplicate bad",  // unreadable keys count as seen
                                   "buffer_out_of_range bad",
                                   "periods_out_of_range bad",
                                   "device_key_duplicate wasapi:a",
                                   "buffer_out_of_range wasapi:a",
                                   "periods_out_of_range wasapi:a",
                                   "api_wrong_family wasapi:a",  // a duplicate is still checked in full
                                   "device_key_invalid ",
                                   "buffer_out_of_range ",
                               }));
}

TEST(ValidationDevices, TwoEnabledAsioKeysReportedOnceAfterAllDevices) {
    Settings settings;
    settings.devices = {
        device("asio:a", true, DeviceApi::Shared),  // wrong api, still an ASIO driver to load
        device("asio:b", true, DeviceApi::Shared),      device("asio:c", true, DeviceApi::Asio),
        device("wasapi:z", true, DeviceApi::Asio),  // an ASIO api does not make it an ASIO card
        {.key = "null:late", .name = "", .periods = 1},
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "api_wrong_family asio:a",
                                   "api_wrong_family asio:b",
                                   "api_wrong_family wasapi:z",
                                   "periods_out_of_range null:late",
                                   "two_asio_drivers asio",
                               }));

    // One enabled and any number turned off is fine.
    settings.devices = {device("asio:a", false, DeviceApi::Asio), device("asio:b", true, DeviceApi::Asio),
                        device("asio:c", false, DeviceApi::Asio), device("wasapi:z", true)};
    EXPECT_EQ(check(settings), Lines{});

    // The same driver listed twice and enabled twice would still be loaded twice.
    settings.devices = {device("asio:a", true, DeviceApi::Asio), device("asio:a", true, DeviceApi::Asio)};
    EXPECT_EQ(check(settings), (Lines{"device_key_duplicate asio:a", "two_asio_drivers asio"}));
}

TEST(ValidationCards, IdsMustBeEightLowercaseHexDigitsAndUnique) {
    Settings settings = threeDevices();
    settings.cards = {
        card("", "A", {member("wasapi:a", 0)}),          card("", "B", {member("wasapi:a", 1)}),
        card("0123ABCD", "C", {member("wasapi:a", 2)}),  card("0123abc", "D", {member("wasapi:a", 3)}),
        card("0123abcde", "E", {member("wasapi:a", 4)}), card("0123abcg", "F", {member("wasapi:a", 5)}),
        card("0123abcd", "G", {member("wasapi:a", 6)}),  card("0123abcd", "H", {member("wasapi:a", 7)}),
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "card_id_invalid ",
                                   "card_id_invalid ",
                                   "card_id_duplicate ",
                                   "card_id_invalid 0123ABCD",
                                   "card_id_invalid 0123abc",
                                   "card_id_invalid 0123abcde",
                                   "card_id_invalid 0123abcg",
                                   "card_id_duplicate 0123abcd",
                               }));
}

TEST(ValidationCards, NamesAreMeasuredInBytesAndEmptyNamesNotRemembered) {
    std::string twoByteNames;
    for (int i = 0; i < 40; ++i) twoByteNames += "\xc3\xa9";  // 40 characters, 80 bytes
    Settings settings = threeDevices();
    settings.cards = {
        card("00000001", "", {member("wasapi:a", 0)}),
        card("00000002", "", {member("wasapi:a", 1)}),
        card("00000003", std::string(64, 'x'), {member("wasapi:a", 2)}),
        card("00000004", std::string(65, 'x'), {member("wasapi:a", 3)}),
        card("00000005", std::string(65, 'x'), {member("wasapi:a", 4)}),
        card("00000006", twoByteNames, {member("wasapi:a", 5)}),
        card("00000007", "Kitchen", {member("wasapi:a", 6)}),
        card("00000008", "kitchen", {member("wasapi:a", 7)}),
        card("00000009", "Kitchen", {member("wasapi:a", 8)}),
        card("0000000a", "Kitchen ", {member("wasapi:a", 9)}),
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "card_name_empty 00000001",
                                   "card_name_empty 00000002",
                                   "card_name_too_long 00000004",
                                   "card_name_too_long 00000005",
                                   "card_name_duplicate 00000005",
                                   "card_name_too_long 00000006",
                                   "card_name_duplicate 00000009",
                               }));
}

TEST(ValidationCards, WrongMemberCountSkipsMembersAndForgetsTheirOutputs) {
    Settings settings = threeDevices();
    settings.cards = {
        card("00000001", "None", {}),
        card("00000002", "Three", {member("gone:x", 99, -1.0), member("wasapi:off", 0), member("wasapi:a", 0)}),
        card("00000003", "Later", {member("wasapi:off", 0)}),
        card("00000004", "Also", {member("wasapi:a", 0)}),
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "card_member_count 00000001",
                                   "card_member_count 00000002",
                                   "member_device_off 00000003",
                               }));
}

TEST(ValidationCards, MemberDeviceIsJudgedByItsFirstListing) {
    Settings settings;
    settings.devices = {device("wasapi:a", false), device("wasapi:a", true), device("wasapi:b", true),
                        device("wasapi:b", false)};
    settings.cards = {card("00000001", "A", {member("wasapi:a", 0)}), card("00000002", "B", {member("wasapi:b", 0)}),
                      card("00000003", "C", {member("WASAPI:b", 1)})};
    EXPECT_EQ(check(settings), (Lines{
                                   "device_key_duplicate wasapi:a",
                                   "device_key_duplicate wasapi:b",
                                   "member_device_off 00000001",
                                   "member_unknown_device 00000003",
                               }));
}

TEST(ValidationCards, ChannelAndDelayLimits) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::uint32_t channel;
        double delayMs;
        Lines issues;
    };
    const Case cases[] = {
        {0, 0.0, {}},
        {63, 500.0, {}},
        {0, 0.001, {}},
        {64, 0.0, {"member_channel_range 0000000a"}},
        {0xffffffffu, 0.0, {"member_channel_range 0000000a"}},
        {0, 500.5, {"member_delay_range 0000000a"}},
        {0, std::nextafter(500.0, 1000.0), {"member_delay_range 0000000a"}},
        {0, -0.1, {"member_delay_range 0000000a"}},
        {0, nan, {"member_delay_range 0000000a"}},
        {0, -nan, {"member_delay_range 0000000a"}},
        {0, inf, {"member_delay_range 0000000a"}},
        {0, -inf, {"member_delay_range 0000000a"}},
        {64, nan, {"member_channel_range 0000000a", "member_delay_range 0000000a"}},
    };
    for (const Case& c : cases) {
        Settings settings = threeDevices();
        settings.cards = {card("0000000a", "A", {member("wasapi:a", c.channel, c.delayMs)})};
        EXPECT_EQ(check(settings), c.issues) << "channel " << c.channel << ", delay " << c.delayMs;
    }
}

TEST(ValidationCards, OutputsAreTakenOnlyOnceAcrossAndWithinCards) {
    Settings settings = threeDevices();
    settings.cards = {
        card("00000001", "Same", {member("wasapi:a", 0), member("wasapi:a", 0)}),
        card("00000002", "Left", {member("wasapi:a", 1)}),
        card("00000003", "Right", {member("null:b", 1), member("wasapi:a", 1)}),  // taken through its second member
        card("00000004", "Other device", {member("null:b", 0)}),
        card("00000005", "Unknown", {member("gone:x", 2)}),
        card("00000006", "Unknown too", {member("gone:x", 2)}),  // outputs of unknown devices are remembered too
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "channel_taken 00000001",
                                   "stereo_same_channel 00000001",
                                   "channel_taken 00000003",
                                   "member_unknown_device 00000005",
                                   "member_unknown_device 00000006",
                                   "channel_taken 00000006",
                               }));
}

TEST(ValidationCards, IssuesOfOneCardComeInFixedOrder) {
    const std::string longName(65, 'n');
    Settings settings = threeDevices();
    settings.cards = {
        card("BAD", longName, {member("wasapi:a", 5)}),
        card("BAD", longName, {member("wasapi:off", 64, -1.0), member("wasapi:off", 64, -1.0)}),
        card("00000003", "", {member("gone:x", 0, std::numeric_limits<double>::quiet_NaN()), member("wasapi:a", 5)}),
    };
    EXPECT_EQ(check(settings), (Lines{
                                   "card_id_invalid BAD",
                                   "card_name_too_long BAD",
                                   "card_id_invalid BAD",
                                   "card_id_duplicate BAD",
                                   "card_name_too_long BAD",
                                   "card_name_duplicate BAD",
                                   "member_device_off BAD",
                                   "member_channel_range BAD",
                                   "member_delay_range BAD",
                                   "member_device_off BAD",
                                   "member_channel_range BAD",
                                   "member_delay_range BAD",
                                   "channel_taken BAD",
                                   "stereo_same_channel BAD",
                                   "card_name_empty 00000003",
                                   "member_unknown_device 00000003",
                                   "member_delay_range 00000003",
                                   "channel_taken 00000003",
                               }));
}

TEST(ValidationCards, DeviceIssuesComeBeforeCardIssues) {
    Settings settings;
    settings.cards = {card("BAD", "A", {member("asio:a", 0)})};
    settings.devices = {device("asio:a", true, DeviceApi::Asio), device("asio:b", true, DeviceApi::Asio)};
    EXPECT_EQ(validateSettings(settings),
              (std::vector<ValidationIssue>{{IssueCode::TwoAsioDrivers, "asio"}, {IssueCode::CardIdInvalid, "BAD"}}));
}

TEST(ValidationTexts, CodeTextsAreStable) {
    const char* const expected[] = {
        "device_key_invalid",    "device_key_duplicate", "buffer_out_of_range",  "periods_out_of_range",
        "api_wrong_family",      "two_asio_drivers",     "card_id_invalid",      "card_id_duplicate",
        "card_name_empty",       "card_name_too_long",   "card_name_duplicate",  "card_member_count",
        "member_unknown_device", "member_device_off",    "member_channel_range", "member_delay_range",
        "channel_taken",         "stereo_same_channel",
    };
    static_assert(std::size(expected) == kIssueCodeCount);
    for (std::size_t i = 0; i < kIssueCodeCount; ++i) {
        EXPECT_STREQ(issueCodeText(static_cast<IssueCode>(i)), expected[i]) << "code " << i;
    }
    EXPECT_STREQ(issueCodeText(static_cast<IssueCode>(kIssueCodeCount)), "unknown");
    EXPECT_STREQ(issueCodeText(static_cast<IssueCode>(255)), "unknown");
}

TEST(ValidationTexts, EveryCodeHasItsOwnTextInEveryLanguage) {
    for (int language = 0; language < 3; ++language) {
        std::set<std::string> seen;
        for (std::size_t i = 0; i < kIssueCodeCount; ++i) {
            const std::string text = issueText(language, static_cast<IssueCode>(i));
            EXPECT_FALSE(text.empty()) << "language " << language << ", code " << i;
            EXPECT_TRUE(seen.insert(text).second) << "language " << language << ", code " << i << ": " << text;
            if (language != 0) {
                EXPECT_NE(text, issueText(0, static_cast<IssueCode>(i))) << "language " << language << ", code " << i;
            }
        }
    }
}

TEST(ValidationTexts, ExactBytesAndLanguageFallback) {
    EXPECT_STREQ(issueText(0, IssueCode::CardNameTooLong), "A card name is longer than 64 characters.");
    EXPECT_STREQ(issueText(1, IssueCode::TwoAsioDrivers),
                 "Er kan maar \xc3\xa9\xc3\xa9n ASIO-kaart tegelijk worden gebruikt.");
    EXPECT_STREQ(issueText(1, IssueCode::ChannelTaken), "E\xc3\xa9n uitgang wordt door twee kaarten gebruikt.");
    EXPECT_STREQ(issueText(2, IssueCode::BufferOutOfRange), "Ein Puffer muss 16 bis 8192 Frames gro\xc3\x9f sein.");
    EXPECT_STREQ(issueText(2, IssueCode::PeriodsOutOfRange), "Perioden m\xc3\xbcssen 2 bis 8 sein.");
    EXPECT_STREQ(issueText(2, IssueCode::CardNameTooLong), "Ein Kartenname ist l\xc3\xa4nger als 64 Zeichen.");
    EXPECT_STREQ(issueText(2, IssueCode::MemberDelayRange), "Eine Verz\xc3\xb6gerung muss 0 bis 500 ms betragen.");
    EXPECT_STREQ(issueText(2, IssueCode::StereoSameChannel),
                 "Eine Stereokarte braucht zwei verschiedene Ausg\xc3\xa4nge.");

    for (int language : {-1, 3, 99}) {
        EXPECT_STREQ(issueText(language, IssueCode::ApiWrongFamily),
                     "ASIO can only drive an ASIO card, WASAPI only a Windows card.")
            << "language " << language;
    }
    for (int language : {0, 1, 2, 7}) {
        EXPECT_STREQ(issueText(language, static_cast<IssueCode>(kIssueCodeCount)), "") << "language " << language;
        EXPECT_STREQ(issueText(language, static_cast<IssueCode>(255)), "") << "language " << language;
    }
}

}  // namespace
}  // namespace core
