#include "core/settings/CardEditing.h"

#include "core/settings/Validation.h"
#include "core/text/Utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/SettingsBuilders.h"

namespace core {
namespace {

using test_support::card;
using test_support::member;

// Every field, with delays in hexadecimal floating point, so that "nothing changed" is
// checked on the whole value and a difference shows where it is.
std::string dump(const Settings& settings) {
    std::ostringstream out;
    out << "language \"" << settings.language << "\"\n";
    for (const DeviceSettings& d : settings.devices) {
        out << "device \"" << d.key << "\" \"" << d.name << "\" " << d.enabled << ' ' << static_cast<int>(d.api) << ' '
            << d.sampleRate << ' ' << d.bufferFrames << ' ' << d.periods << '\n';
    }
    for (const CardSettings& c : settings.cards) {
        out << "card \"" << c.id << "\" \"" << c.name << "\" " << static_cast<int>(c.mono) << '\n';
        for (const CardMember& m : c.members) {
            char delay[64];
            std::snprintf(delay, sizeof delay, "%a", m.delayMs);
            out << "  member \"" << m.device << "\" " << m.channel << ' ' << delay << '\n';
        }
    }
    return out.str();
}

// Hands out the given numbers in order, then repeats the last one; counts the draws.
RandomSource scripted(std::vector<std::uint32_t> numbers, int* draws = nullptr) {
    return [numbers = std::move(numbers), next = std::size_t{0}, draws]() mutable {
        if (draws != nullptr) ++*draws;
        const std::uint32_t number = numbers[std::min(next, numbers.size() - 1)];
        ++next;
        return number;
    };
}

RandomSource counting(std::uint32_t first) {
    return [next = first]() mutable { return next++; };
}

// An 8-channel card, a 2-channel card that is turned off, an ASIO card, and one card that
// holds channel 0 and, through its second member, channel 5 of the 8-channel card.
Settings studio() {
    Settings settings;
    settings.language = "nl";
    settings.devices = {
        {.key = "wasapi:eight", .name = "Eight", .enabled = true, .bufferFrames = 256, .periods = 3},
        {.key = "wasapi:off", .name = "Off", .enabled = false},
        {.key = "asio:rme", .name = "RME", .enabled = true, .api = DeviceApi::Asio},
    };
    settings.cards = {
        card("00c0ffee", "Taken", {member("wasapi:eight", 0, 12.5), member("wasapi:eight", 5, 0.25)}, MonoMode::Left)};
    return settings;
}

// An add left the studio as it was but for `added` after its own card, and valid.
void expectStudioWith(const Settings& settings, const std::vector<CardSettings>& added) {
    Settings expected = studio();
    expected.cards.insert(expected.cards.end(), added.begin(), added.end());
    EXPECT_EQ(dump(settings), dump(expected));
    EXPECT_EQ(validateSettings(settings), std::vector<ValidationIssue>{});
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xe  ? 3
                                   : (lead >> 3) == 0x1e ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

const std::string k2 = "\xc3\xa9";          // é
const std::string k3 = "\xe2\x82\xac";      // €
const std::string k4 = "\xf0\x9f\x8e\xb5";  // musical note, outside the BMP

TEST(CardEditingEnable, ListsNewDevicesWithApiFromTheKey) {
    Settings settings = studio();
    Settings expected = settings;
    enableDevice(settings, "asio:new", "New ASIO");
    enableDevice(settings, "wasapi:new", "");
    enableDevice(settings, "asio:", "Bare prefix");  // no ASIO key, so no ASIO api
    expected.devices.push_back({.key = "asio:new", .name = "New ASIO", .enabled = true, .api = DeviceApi::Asio});
    expected.devices.push_back({.key = "wasapi:new", .name = "", .enabled = true, .api = DeviceApi::Shared});
    expected.devices.push_back({.key = "asio:", .name = "Bare prefix", .enabled = true, .api = DeviceApi::Shared});
    EXPECT_EQ(dump(settings), dump(expected));
}

TEST(CardEditingEnable, ListedDeviceKeepsItsSettingsAndOnlyANonEmptyNameReplacesIt) {
    Settings settings = studio();
    settings.devices.push_back({.key = "wasapi:off", .name = "Second listing", .enabled = false});
    Settings expected = settings;
    expected.devices[1].enabled = true;

    enableDevice(settings, "wasapi:off", "");
    EXPECT_EQ(dump(settings), dump(expected));

    enableDevice(settings, "wasapi:eight", "Renamed");
    expected.devices[0].name = "Renamed";
    EXPECT_EQ(dump(settings), dump(expected));
}

TEST(CardEditingEnable, TextsMayPointIntoTheSettings) {
    Settings settings = studio();
    settings.devices.shrink_to_fit();  // the append below has to move every device
    enableDevice(settings, settings.cards[0].members[0].device + "2", settings.devices[2].name);
    enableDevice(settings, settings.devices[1].key, settings.devices[0].name);
    EXPECT_EQ(settings.devices[3].key, "wasapi:eight2");
    EXPECT_EQ(settings.devices[3].name, "RME");
    EXPECT_EQ(settings.devices[1].name, "Eight");
    EXPECT_TRUE(settings.devices[1].enabled);
}

using Edit = std::function<EditResult(Settings&, const RandomSource&)>;

struct Refusal {
    const char* what;
    Edit edit;
    EditResult expected;
};

using AddCards = EditResult (*)(Settings&, std::string_view, std::uint32_t, std::uint32_t, std::string_view,
                                const RandomSource&);

Edit adding(AddCards add, std::string key, std::uint32_t channel, std::uint32_t count, std::string name) {
    return [=](Settings& s, const RandomSource& r) { return add(s, key, channel, count, name, r); };
}

Edit joining(std::string leftKey, std::uint32_t leftChannel, std::string rightKey, std::uint32_t rightChannel,
             std::uint32_t leftCount, std::uint32_t rightCount, std::string name) {
    return [=](Settings& s, const RandomSource& r) {
        return joinOutputs(s, leftKey, leftChannel, rightKey, rightChannel, leftCount, rightCount, name, r);
    };
}

Edit deleting(std::string id) {
    return [=](Settings& s, const RandomSource&) { return deleteCard(s, id); };
}

TEST(CardEditingRefusals, EveryRefusalLeavesTheSettingsAlone) {
    const std::string name64(64, 'n');
    const std::string name65(65, 'n');
    const std::string name62(62, 'n');
    const std::string name63(63, 'n');
    using R = EditResult;
    const Refusal refusals[] = {
        // mono
        {"mono, empty name", adding(addMonoCard, "wasapi:eight", 1, 8, ""), R::NameLength},
        {"mono, 65-byte name", adding(addMonoCard, "wasapi:eight", 1, 8, name65), R::NameLength},
        {"mono, name before device", adding(addMonoCard, "wasapi:gone", 99, 8, ""), R::NameLength},
        {"mono, device not listed", adding(addMonoCard, "wasapi:gone", 1, 8, "M"), R::DeviceNotListed},
        {"mono, key differs in case", adding(addMonoCard, "WASAPI:eight", 1, 8, "M"), R::DeviceNotListed},
        {"mono, device before channel", adding(addMonoCard, "wasapi:gone", 99, 8, "M"), R::DeviceNotListed},
        {"mono, channel = count", adding(addMonoCard, "wasapi:eight", 8, 8, "M"), R::NoSuchChannel},
        {"mono, channel 64", adding(addMonoCard, "wasapi:eight", 64, 128, "M"), R::NoSuchChannel},
        {"mono, no channels", adding(addMonoCard, "wasapi:eight", 0, 0, "M"), R::NoSuchChannel},
        {"mono, channel before taken", adding(addMonoCard, "wasapi:eight", 5, 4, "M"), R::NoSuchChannel},
        {"mono, taken by first member", adding(addMonoCard, "wasapi:eight", 0, 8, "M"), R::OutputTaken},
        {"mono, taken by second member", adding(addMonoCard, "wasapi:eight", 5, 8, "M"), R::OutputTaken},
        // stereo
        {"stereo, 65-byte name", adding(addStereoCard, "wasapi:eight", 1, 8, name65), R::NameLength},
        {"stereo, device not listed", adding(addStereoCard, "wasapi:gone", 1, 8, "S"), R::DeviceNotListed},
        {"stereo, first channel = count", adding(addStereoCard, "wasapi:eight", 8, 8, "S"), R::NoSuchChannel},
        {"stereo, right channel = count", adding(addStereoCard, "wasapi:eight", 7, 8, "S"), R::NoSuchChannel},
        {"stereo, right channel 64", adding(addStereoCard, "wasapi:eight", 63, 128, "S"), R::NoSuchChannel},
        {"stereo, first channel wraps", adding(addStereoCard, "wasapi:eight", 0xffffffffu, 8, "S"), R::NoSuchChannel},
        {"stereo, left taken", adding(addStereoCard, "wasapi:eight", 5, 8, "S"), R::OutputTaken},
        {"stereo, right taken", adding(addStereoCard, "wasapi:eight", 4, 8, "S"), R::OutputTaken},
        {"stereo, left taken before right missing", adding(addStereoCard, "wasapi:eight", 5, 6, "S"), R::OutputTaken},
        // split
        {"split, empty name", adding(addSplitCards, "wasapi:eight", 1, 8, ""), R::NameLength},
        {"split, 63-byte name", adding(addSplitCards, "wasapi:eight", 1, 8, name63), R::NameLength},
        {"split, device not listed", adding(addSplitCards, "wasapi:gone", 1, 8, "P"), R::DeviceNotListed},
        {"split, right channel = count", adding(addSplitCards, "wasapi:eight", 7, 8, "P"), R::NoSuchChannel},
        {"split, left taken", adding(addSplitCards, "wasapi:eight", 0, 8, "P"), R::OutputTaken},
        {"split, left free, right taken", adding(addSplitCards, "wasapi:eight", 4, 8, "P"), R::OutputTaken},
        // join
        {"join, empty name", joining("wasapi:eight", 1, "asio:rme", 0, 8, 2, ""), R::NameLength},
        {"join, name before same output", joining("wasapi:eight", 1, "wasapi:eight", 1, 8, 8, name65), R::NameLength},
        {"join, same output", joining("wasapi:eight", 1, "wasapi:eight", 1, 8, 8, "J"), R::SameOutput},
        {"join, same output before anything else", joining("wasapi:gone", 0, "wasapi:gone", 0, 0, 0, "J"),
         R::SameOutput},
        {"join, left not listed", joining("wasapi:gone", 1, "asio:rme", 0, 8, 2, "J"), R::DeviceNotListed},
        {"join, right not listed", joining("wasapi:eight", 1, "asio:gone", 0, 8, 2, "J"), R::DeviceNotListed},
        {"join, left channel = left count", joining("asio:rme", 2, "wasapi:eight", 2, 2, 8, "J"), R::NoSuchChannel},
        {"join, right channel = right count", joining("wasapi:eight", 2, "asio:rme", 2, 8, 2, "J"), R::NoSuchChannel},
        {"join, right channel 64", joining("wasapi:eight", 2, "asio:rme", 64, 8, 128, "J"), R::NoSuchChannel},
        {"join, left taken", joining("wasapi:eight", 0, "asio:rme", 0, 8, 2, "J"), R::OutputTaken},
        {"join, right taken", joining("asio:rme", 0, "wasapi:eight", 5, 2, 8, "J"), R::OutputTaken},
        {"join, left taken before right not listed", joining("wasapi:eight", 5, "asio:gone", 0, 8, 2, "J"),
         R::OutputTaken},
        {"join, right channel before right taken", joining("asio:rme", 0, "wasapi:eight", 5, 2, 4, "J"),
         R::NoSuchChannel},
        // delete
        {"delete, unknown id", deleting("deadbeef"), R::NoSuchCard},
        {"delete, empty id", deleting(""), R::NoSuchCard},
        {"delete, id differs in case", deleting("00C0FFEE"), R::NoSuchCard},
    };
    int draws = 0;
    const RandomSource random = scripted({0x12345678}, &draws);
    for (const Refusal& refusal : refusals) {
        Settings settings = studio();
        const std::string before = dump(settings);
        EXPECT_EQ(refusal.edit(settings, random), refusal.expected) << refusal.what;
        EXPECT_EQ(dump(settings), before) << refusal.what;
    }
    EXPECT_EQ(draws, 0) << "a refused edit drew a card id";

    // The 62- and 64-byte limits are the last that pass.
    Settings settings = studio();
    EXPECT_EQ(addSplitCards(settings, "wasapi:eight", 1, 8, name62, random), R::Success);
    EXPECT_EQ(addMonoCard(settings, "wasapi:eight", 3, 8, name64, random), R::Success);
}

TEST(CardEditingAdd, StereoOnTheLastTwoChannels) {
    Settings settings = studio();
    EXPECT_EQ(addStereoCard(settings, "wasapi:eight", 6, 8, "Living room", scripted({0xabc})), EditResult::Success);
    expectStudioWith(settings,
                     {card("00000abc", "Living room", {member("wasapi:eight", 6), member("wasapi:eight", 7)})});
}

TEST(CardEditingAdd, SplitMakesTwoMonoCardsWithDistinctIds) {
    Settings settings = studio();
    const std::string name(62, 'p');
    // The same number every time: the second card cannot have it.
    EXPECT_EQ(addSplitCards(settings, "wasapi:eight", 2, 8, name, scripted({7})), EditResult::Success);
    expectStudioWith(settings, {card("00000007", name + " L", {member("wasapi:eight", 2)}),
                                card("00000001", name + " R", {member("wasapi:eight", 3)})});
}

TEST(CardEditingAdd, MonoAndJoinAcrossTwoSoundCards) {
    Settings settings = studio();
    EXPECT_EQ(addMonoCard(settings, "asio:rme", 1, 2, "Sub", counting(0x10)), EditResult::Success);
    // Channel counts belong to their own side: 7 is fine on the 8-channel left card.
    EXPECT_EQ(joinOutputs(settings, "wasapi:eight", 7, "asio:rme", 0, 8, 2, "Wide", counting(0x20)),
              EditResult::Success);
    // Two different channels of one device join too.
    EXPECT_EQ(joinOutputs(settings, "wasapi:eight", 2, "wasapi:eight", 1, 8, 8, "Crossed", counting(0x30)),
              EditResult::Success);
    expectStudioWith(settings, {card("00000010", "Sub", {member("asio:rme", 1)}),
                                card("00000020", "Wide", {member("wasapi:eight", 7), member("asio:rme", 0)}),
                                card("00000030", "Crossed", {member("wasapi:eight", 2), member("wasapi:eight", 1)})});
}

TEST(CardEditingAdd, DeviceTurnedOffIsAcceptedAndLeftToValidation) {
    Settings settings = studio();
    EXPECT_EQ(addMonoCard(settings, "wasapi:off", 1, 2, "Later", scripted({0xfeed})), EditResult::Success);
    EXPECT_EQ(validateSettings(settings), (std::vector<ValidationIssue>{{IssueCode::MemberDeviceOff, "0000feed"}}));
}

TEST(CardEditingAdd, NamesAreMadeUniqueAndInputsMayPointIntoTheSettings) {
    Settings settings = studio();
    const RandomSource random = counting(100);
    for (std::uint32_t channel : {1u, 2u, 3u}) {
        ASSERT_EQ(addMonoCard(settings, "wasapi:eight", channel, 8, "Zone", random), EditResult::Success);
    }
    ASSERT_EQ(settings.cards.size(), 4u);
    EXPECT_EQ(settings.cards[1].name, "Zone");
    EXPECT_EQ(settings.cards[2].name, "Zone 2");
    EXPECT_EQ(settings.cards[3].name, "Zone 3");

    // Proposing a card's own name and key while the list has to grow.
    settings.cards.shrink_to_fit();
    ASSERT_EQ(addSplitCards(settings, settings.cards[1].members[0].device, 6, 8, settings.cards[1].name, random),
              EditResult::Success);
    EXPECT_EQ(settings.cards[4].name, "Zone L");
    EXPECT_EQ(settings.cards[5].name, "Zone R");
    EXPECT_EQ(settings.cards[5].members[0].device, "wasapi:eight");
    settings.cards.shrink_to_fit();
    ASSERT_EQ(joinOutputs(settings, settings.cards[0].members[1].device, 4, settings.cards[4].members[0].device, 8, 8,
                          10, settings.cards[2].name, random),
              EditResult::Success);
    EXPECT_EQ(settings.cards[6].name, "Zone 2 2");
    EXPECT_EQ(validateSettings(settings), std::vector<ValidationIssue>{});
}

TEST(CardEditingDelete, RemovesOnlyTheFirstMatchAndKeepsOrder) {
    Settings settings = studio();
    settings.cards.push_back(card("00000002", "Two", {}));
    settings.cards.push_back(card("00000003", "Three", {}));
    settings.cards.push_back(card("00000002", "Two again", {}));
    Settings expected = settings;
    expected.cards.erase(expected.cards.begin() + 1);
    EXPECT_EQ(deleteCard(settings, "00000002"), EditResult::Success);
    EXPECT_EQ(dump(settings), dump(expected));
    expected.cards.erase(expected.cards.begin() + 2);
    EXPECT_EQ(deleteCard(settings, "00000002"), EditResult::Success);
    EXPECT_EQ(dump(settings), dump(expected));
}

Settings withCardIds(std::vector<std::string> ids) {
    Settings settings;
    for (std::string& id : ids) settings.cards.push_back(card(std::move(id), "x", {}));
    return settings;
}

TEST(CardEditingIds, FirstFreeDrawFormattedAsEightLowercaseDigits) {
    struct Case {
        std::vector<std::uint32_t> numbers;
        std::vector<std::string> taken;
        std::string id;
        int draws;
    };
    const Case cases[] = {
        {{0xabc}, {}, "00000abc", 1},
        {{0}, {}, "00000000", 1},
        {{0xDEADBEEF}, {}, "deadbeef", 1},
        {{0xffffffff}, {}, "ffffffff", 1},
        {{1, 1, 2}, {"00000001"}, "00000002", 3},
    };
    for (const Case& c : cases) {
        int draws = 0;
        EXPECT_EQ(newCardId(withCardIds(c.taken), scripted(c.numbers, &draws)), c.id) << c.id;
        EXPECT_EQ(draws, c.draws) << c.id;
    }
}

TEST(CardEditingIds, AfterSixtyFourCollisionsCountsUpFromOne) {
    const Settings settings = withCardIds({"deadbeef", "00000001", "00000003"});
    std::vector<std::uint32_t> numbers(63, 0xdeadbeef);

    // The 64th draw is still used...
    numbers.push_back(0x12345678);
    int draws = 0;
    EXPECT_EQ(newCardId(settings, scripted(numbers, &draws)), "12345678");
    EXPECT_EQ(draws, 64);

    // ...the 65th is never made.
    numbers.back() = 0xdeadbeef;
    numbers.push_back(0x12345678);
    draws = 0;
    EXPECT_EQ(newCardId(settings, scripted(numbers, &draws)), "00000002");
    EXPECT_EQ(draws, 64);

    // A source without a function behind it goes straight to counting.
    EXPECT_EQ(newCardId(settings, RandomSource{}), "00000002");
    EXPECT_EQ(newCardId(Settings{}, RandomSource{}), "00000001");
}

TEST(CardEditingIds, StuckSourceStillGivesEveryCardItsOwnId) {
    Settings settings = studio();
    const RandomSource stuck = scripted({0x00c0ffee});  // the id the studio card already has
    for (std::uint32_t channel = 1; channel < 5; ++channel) {
        ASSERT_EQ(addMonoCard(settings, "wasapi:eight", channel, 8, "M", stuck), EditResult::Success);
    }
    ASSERT_EQ(settings.cards.size(), 5u);
    EXPECT_EQ(settings.cards[1].id, "00000001");
    EXPECT_EQ(settings.cards[4].id, "00000004");
    EXPECT_EQ(validateSettings(settings), std::vector<ValidationIssue>{});
}

Settings withCardNames(std::vector<std::string> names) {
    Settings settings;
    std::uint32_t number = 1;
    for (std::string& name : names) settings.cards.push_back(card(formatCardId(number++), std::move(name), {}));
    return settings;
}

// The name proposed for a new card among cards already named `taken`.
struct NameCase {
    const char* what;
    std::vector<std::string> taken;
    std::string proposed;
    std::string expected;
};

TEST(CardEditingNames, SuffixesCountUpAndShortenTheBase) {
    const std::string n64(64, 'n');
    const std::string n62(62, 'n');
    const std::string n61(61, 'n');
    std::vector<std::string> manyTaken = {"Zone"};
    for (int n = 2; n <= 999; ++n) manyTaken.push_back("Zone " + std::to_string(n));
    std::vector<std::string> suffixesUpToNine = {n64};
    for (int n = 2; n <= 9; ++n) suffixesUpToNine.push_back(n62 + " " + std::to_string(n));

    const NameCase cases[] = {
        {"free", {"Other"}, "Zone", "Zone"},
        {"taken", {"Zone"}, "Zone", "Zone 2"},
        {"taken twice", {"Zone", "Zone 2"}, "Zone", "Zone 3"},
        {"gap", {"Zone", "Zone 3"}, "Zone", "Zone 2"},
        {"exact bytes", {"zone", "Zone "}, "Zone", "Zone"},
        {"64 bytes free", {}, n64, n64},
        {"longer than 64 bytes", {}, n64 + "tail", n64},
        {"64 bytes taken", {n64}, n64, n62 + " 2"},
        {"cut then taken", {n64}, n64 + "tail", n62 + " 2"},
        {"two-digit suffix", suffixesUpToNine, n64, n61 + " 10"},
        {"all suffixes taken", manyTaken, "Zone", "Zone"},
        {"empty stays empty", {}, "", ""},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(uniqueCardName(withCardNames(c.taken), c.proposed), c.expected) << c.what;
    }
    manyTaken.pop_back();
    EXPECT_EQ(uniqueCardName(withCardNames(manyTaken), "Zone"), "Zone 999");
}

TEST(CardEditingNames, CutsEndOnCharacterBoundaries) {
    const NameCase cases[] = {
        {"2-byte character across byte 64", {}, std::string(63, 'x') + k2, std::string(63, 'x')},
        {"3-byte character across byte 64", {}, std::string(62, 'x') + k3, std::string(62, 'x')},
        {"4-byte character across byte 64", {}, std::string(61, 'x') + k4 + "y", std::string(61, 'x')},
        {"4-byte character ending at byte 64", {}, std::string(60, 'x') + k4 + "y", std::string(60, 'x') + k4},
        {"2-byte character across byte 62", {repeat(k2, 32)}, repeat(k2, 32), repeat(k2, 31) + " 2"},
        {"3-byte character across byte 62",
         {std::string(61, 'x') + k3},
         std::string(61, 'x') + k3,
         std::string(61, 'x') + " 2"},
        {"4-byte character across byte 62",
         {std::string(60, 'x') + k4},
         std::string(60, 'x') + k4,
         std::string(60, 'x') + " 2"},
        {"3-byte character across byte 61",
         {repeat(k3, 21) + "x", repeat(k3, 20) + " 2"},
         repeat(k3, 21) + "x",
         repeat(k3, 20) + " 3"},
    };
    for (const NameCase& c : cases) {
        const std::string name = uniqueCardName(withCardNames(c.taken), c.proposed);
        EXPECT_EQ(name, c.expected) << c.what;
        EXPECT_TRUE(isValidUtf8(name)) << c.what;
        EXPECT_LE(name.size(), 64u) << c.what;
    }
}

TEST(CardEditingUtf8Cut, KeepsTheLongestPrefixOfWholeCharacters) {
    // Every cut point of a text mixing 1- to 4-byte characters.
    const std::vector<std::string> characters = {"a", k2, k3, k4, "b", k4, k2, k3, "c"};
    std::string text;
    std::vector<std::size_t> boundaries = {0};
    for (const std::string& c : characters) {
        text += c;
        boundaries.push_back(text.size());
    }
    for (std::size_t maxBytes = 0; maxBytes <= text.size() + 2; ++maxBytes) {
        std::size_t expected = 0;
        for (std::size_t boundary : boundaries) {
            if (boundary <= maxBytes) expected = boundary;
        }
        const std::string cut = cutUtf8(text, maxBytes);
        EXPECT_EQ(cut, text.substr(0, expected)) << "maxBytes " << maxBytes;
        EXPECT_TRUE(isValidUtf8(cut)) << "maxBytes " << maxBytes;
    }
}

TEST(CardEditingUtf8Cut, TextThatIsNotUtf8StaysWithinBounds) {
    // A run of continuation bytes has no boundary to go back to: the cut stays where asked
    // instead of running back over the whole text.
    const std::string junk(10, '\x80');
    EXPECT_EQ(cutUtf8(junk, 6), junk.substr(0, 6));
    EXPECT_EQ(cutUtf8(junk, 2), junk.substr(0, 2));
    EXPECT_EQ(cutUtf8("ab" + junk, 8), "ab" + junk.substr(0, 6));
    EXPECT_EQ(cutUtf8("\xe2\x82", 1), "");      // a lead byte whose character is cut short stays out
    EXPECT_EQ(cutUtf8("ab\xc3", 3), "ab\xc3");  // short enough: returned as given
}

TEST(EditResultText, EveryFailureHasItsOwnTextInEveryLanguage) {
    for (int language = 0; language < 3; ++language) {
        EXPECT_STREQ(editResultText(language, EditResult::Success), "") << "language " << language;
        std::vector<std::string> seen;
        for (int value = 1; value <= 6; ++value) {
            const std::string text = editResultText(language, static_cast<EditResult>(value));
            EXPECT_FALSE(text.empty()) << "language " << language << ", result " << value;
            EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << text;
            if (language != 0) {
                EXPECT_NE(text, editResultText(0, static_cast<EditResult>(value))) << text;
            }
            seen.push_back(text);
        }
        EXPECT_STREQ(editResultText(language, static_cast<EditResult>(7)), "") << "language " << language;
        EXPECT_STREQ(editResultText(language, static_cast<EditResult>(255)), "") << "language " << language;
    }
}

TEST(EditResultText, ExactBytesAndLanguageFallback) {
    EXPECT_STREQ(editResultText(0, EditResult::DeviceNotListed), "That sound card is not turned on.");
    EXPECT_STREQ(editResultText(1, EditResult::OutputTaken), "Een andere kaart speelt al op die uitgang.");
    EXPECT_STREQ(editResultText(2, EditResult::NoSuchChannel), "Diese Soundkarte hat diesen Kanal nicht.");
    EXPECT_STREQ(editResultText(2, EditResult::SameOutput), "W\xc3\xa4hle zwei verschiedene Ausg\xc3\xa4nge.");
    EXPECT_STREQ(editResultText(1, EditResult::NoSuchCard), "Die kaart bestaat niet meer.");
    EXPECT_STREQ(editResultText(2, EditResult::NameLength),
                 "W\xc3\xa4hle einen Namen mit 1 bis 64 Zeichen, den keine andere Karte hat.");
    for (int language : {-1, 3, 42}) {
        EXPECT_STREQ(editResultText(language, EditResult::NoSuchCard), "That card no longer exists.") << language;
    }
    static_assert(sizeof(EditResult) == 1 && static_cast<int>(EditResult::NameLength) == 6);
}

}  // namespace
}  // namespace core
