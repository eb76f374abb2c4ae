#include "core/settings/Settings.h"

#include <gtest/gtest.h>

namespace core {
namespace {

TEST(CardDeviceId, ParsesOnlyPrefixAndEightLowercaseHexDigits) {
    struct Case {
        const char* text;
        const char* id;
    };
    const Case cases[] = {
        {"qova:0123abcd", "0123abcd"}, {"qova:ffffffff", "ffffffff"}, {"qova:0123ABCD", ""},  // upper-case digits
        {"qova:0123abc", ""},                                                                 // 7 digits
        {"qova:0123abcde", ""},                                                               // 9 digits
        {"Qova:0123abcd", ""},                                                                // upper-case prefix
        {"qova;0123abcd", ""},         {"qova:0123abcg", ""},         {"qova:", ""},         {"", ""}, {"0123abcd", ""},
        {"xqova:0123abc", ""},  // 13 bytes, wrong prefix
        {"qova: 123abcd", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(parseCardDeviceId(c.text), c.id) << '"' << c.text << '"';
}

TEST(CardDeviceId, RejectsBytesOutsideAsciiAndEmbeddedNul) {
    EXPECT_EQ(parseCardDeviceId(std::string("qova:0123abc\0", 13)), "");
    EXPECT_EQ(parseCardDeviceId("qova:0123ab\xc3\xa9"), "");  // 13 bytes, last two a UTF-8 letter
}

TEST(CardDeviceId, RoundTripsThroughFormattedIds) {
    EXPECT_EQ(cardDeviceId("00000001"), "qova:00000001");
    EXPECT_EQ(cardDeviceId("00000001").size(), 13u);
    for (std::uint32_t number : {0u, 1u, 0xabcu, 0x7fffffffu, 0xdeadbeefu, 0xffffffffu}) {
        const std::string id = formatCardId(number);
        EXPECT_TRUE(isCardId(id)) << id;
        EXPECT_EQ(parseCardDeviceId(cardDeviceId(id)), id);
    }
    EXPECT_EQ(formatCardId(1), "00000001");
    EXPECT_EQ(formatCardId(0xdeadbeef), "deadbeef");
}

Settings twoCards() {
    Settings settings;
    settings.devices.push_back({.key = "wasapi:a", .name = "A", .enabled = true});
    settings.devices.push_back({.key = "wasapi:b", .name = "B"});
    settings.devices.push_back({.key = "wasapi:a", .name = "A again"});  // duplicate: first one wins
    settings.cards.push_back({.id = "00000001",
                              .name = "Kitchen",
                              .members = {{.device = "wasapi:a", .channel = 0}, {.device = "wasapi:b", .channel = 3}}});
    settings.cards.push_back({.id = "00000002", .name = "Hall", .members = {{.device = "wasapi:a", .channel = 1}}});
    settings.cards.push_back({.id = "00000003", .name = "Later", .members = {{.device = "wasapi:a", .channel = 1}}});
    return settings;
}

TEST(SettingsLookup, FindsFirstMatchInListOrderByExactBytes) {
    Settings settings = twoCards();
    ASSERT_NE(settings.findDevice("wasapi:a"), nullptr);
    EXPECT_EQ(settings.findDevice("wasapi:a")->name, "A");
    EXPECT_EQ(settings.findDevice("WASAPI:a"), nullptr);
    EXPECT_EQ(settings.findDevice("wasapi:"), nullptr);
    EXPECT_EQ(settings.findDevice(""), nullptr);

    ASSERT_NE(settings.findCard("00000002"), nullptr);
    EXPECT_EQ(settings.findCard("00000002")->name, "Hall");
    EXPECT_EQ(settings.findCard("0000000"), nullptr);

    // The mutable lookups hand out the stored element, not a copy.
    settings.findDevice("wasapi:b")->enabled = true;
    EXPECT_TRUE(settings.devices[1].enabled);
    settings.findCard("00000001")->name = "Renamed";
    EXPECT_EQ(settings.cards[0].name, "Renamed");
}

TEST(SettingsLookup, FindsCardUsingOutputThroughEitherMember) {
    const Settings settings = twoCards();
    EXPECT_EQ(settings.findCardUsingOutput("wasapi:a", 0), &settings.cards[0]);
    EXPECT_EQ(settings.findCardUsingOutput("wasapi:b", 3), &settings.cards[0]);  // second member
    EXPECT_EQ(settings.findCardUsingOutput("wasapi:a", 1), &settings.cards[1]);  // first in list order
    EXPECT_EQ(settings.findCardUsingOutput("wasapi:b", 0), nullptr);
    EXPECT_EQ(settings.findCardUsingOutput("wasapi:c", 0), nullptr);
}

TEST(SettingsModel, DefaultsAreEmptyAndZero) {
    const Settings settings;
    EXPECT_TRUE(settings.devices.empty());
    EXPECT_TRUE(settings.cards.empty());
    EXPECT_TRUE(settings.language.empty());
    EXPECT_EQ(settings.findCardUsingOutput("", 0), nullptr);

    const DeviceSettings device;
    EXPECT_FALSE(device.enabled);
    EXPECT_EQ(device.api, DeviceApi::Shared);
    EXPECT_EQ(device.sampleRate + device.bufferFrames + device.periods, 0u);
    EXPECT_EQ(CardSettings{}.mono, MonoMode::Sum);
    EXPECT_EQ(CardMember{}.delayMs, 0.0);
}

TEST(SettingsModel, CardNamesAreMeasuredInBytes) {
    std::string twoByteName;
    for (int i = 0; i < 40; ++i) twoByteName += "\xc3\xa9";  // é
    EXPECT_EQ(twoByteName.size(), 80u);
    EXPECT_FALSE(cardNameLengthFits(twoByteName));
    EXPECT_TRUE(cardNameLengthFits(twoByteName.substr(0, 64)));
    EXPECT_TRUE(cardNameLengthFits(std::string(64, 'x')));
    EXPECT_FALSE(cardNameLengthFits(std::string(65, 'x')));
    EXPECT_FALSE(cardNameLengthFits(""));
    EXPECT_TRUE(cardNameLengthFits("x"));
}

TEST(SettingsModel, EnumerationTextsFallBackForUnknownValues) {
    EXPECT_STREQ(apiText(DeviceApi::Shared), "shared");
    EXPECT_STREQ(apiText(DeviceApi::Exclusive), "exclusive");
    EXPECT_STREQ(apiText(DeviceApi::Asio), "asio");
    EXPECT_STREQ(apiText(static_cast<DeviceApi>(7)), "shared");
    EXPECT_STREQ(monoText(MonoMode::Sum), "sum");
    EXPECT_STREQ(monoText(MonoMode::Left), "left");
    EXPECT_STREQ(monoText(MonoMode::Right), "right");
    EXPECT_STREQ(monoText(static_cast<MonoMode>(200)), "sum");
    static_assert(sizeof(DeviceApi) == 1 && sizeof(MonoMode) == 1);
}

}  // namespace
}  // namespace core
