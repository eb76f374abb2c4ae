#include "core/settings/SettingsFile.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace core {
namespace {

const std::string kDefaultText =
    "{\n"
    "  \"cards\": [],\n"
    "  \"devices\": [],\n"
    "  \"language\": \"\",\n"
    "  \"schema\": 1\n"
    "}";

// The error text of a read that must fail; the target must come through unchanged.
std::string readError(std::string_view text) {
    Settings settings;
    settings.language = "untouched";
    std::string error;
    EXPECT_FALSE(readSettings(text, settings, error)) << text;
    Settings untouched;
    untouched.language = "untouched";
    EXPECT_EQ(writeSettings(settings), writeSettings(untouched)) << text;
    return error;
}

Settings readOk(std::string_view text) {
    Settings settings;
    std::string error;
    EXPECT_TRUE(readSettings(text, settings, error)) << text << "\n" << error;
    return settings;
}

// The library's words for a member of the wrong type, and for a required member that is missing.
std::string typeError(std::string_view expected, std::string_view found) {
    return "[json.exception.type_error.302] type must be " + std::string(expected) + ", but is " + std::string(found);
}

std::string keyNotFound(std::string_view key) {
    return "[json.exception.out_of_range.403] key '" + std::string(key) + "' not found";
}

// A root holding one device object with the given members (text between the braces).
std::string withDevice(std::string_view members) {
    return R"({"schema":1,"devices":[{"key":"wasapi:a")" + std::string(members) + "}]}";
}

// A root holding one card whose single member has the given members.
std::string withMember(std::string_view members) {
    return R"({"schema":1,"cards":[{"id":"00000001","name":"A","members":[{"device":"wasapi:a")" +
           std::string(members) + "}]}]}";
}

Settings fullSettings() {
    Settings settings;
    settings.language = "nl";
    settings.devices.push_back({.key = "wasapi:{0.0.0.00000000}.{1234}",
                                .name = "Luidsprekers (Realtek\xc2\xae)",
                                .enabled = true,
                                .api = DeviceApi::Exclusive,
                                .sampleRate = 44100,
                                .bufferFrames = 256,
                                .periods = 3});
    settings.devices.push_back({.key = "asio:Focusrite USB ASIO",
                                .name = "",
                                .enabled = false,
                                .api = DeviceApi::Asio,
                                .sampleRate = 4294967295u});
    settings.cards.push_back({.id = "0000000a",
                              .name = "K\xc3\xbc"
                                      "che",
                              .members = {{.device = "wasapi:{0.0.0.00000000}.{1234}", .channel = 0, .delayMs = 12.5},
                                          {.device = "asio:Focusrite USB ASIO", .channel = 63, .delayMs = 0.0}},
                              .mono = MonoMode::Sum});
    settings.cards.push_back({.id = "ffffffff",
                              .name = "Mono \"right\"",
                              .members = {{.device = "asio:Focusrite USB ASIO", .channel = 7, .delayMs = 500.0}},
                              .mono = MonoMode::Right});
    return settings;
}

using TextEdit = std::function<void(Settings&, const std::string&)>;

// Sets each free text of fullSettings() in turn: the language, the key and name of device
// `d`, the id and name of card `c`, and the device of that card's member `m`.
std::vector<TextEdit> textFields(std::size_t d, std::size_t c, std::size_t m) {
    return {
        [](Settings& s, const std::string& t) { s.language = t; },
        [d](Settings& s, const std::string& t) { s.devices.at(d).key = t; },
        [d](Settings& s, const std::string& t) { s.devices.at(d).name = t; },
        [c](Settings& s, const std::string& t) { s.cards.at(c).id = t; },
        [c](Settings& s, const std::string& t) { s.cards.at(c).name = t; },
        [c, m](Settings& s, const std::string& t) { s.cards.at(c).members.at(m).device = t; },
    };
}

const std::string kFullText = R"json({
  "cards": [
    {
      "id": "0000000a",
      "members": [
        {
          "channel": 0,
          "delayMs": 12.5,
          "device": "wasapi:{0.0.0.00000000}.{1234}"
        },
        {
          "channel": 63,
          "delayMs": 0.0,
          "device": "asio:Focusrite USB ASIO"
        }
      ],
      "mono": "sum",
      "name": "Küche"
    },
    {
      "id": "ffffffff",
      "members": [
        {
          "channel": 7,
          "delayMs": 500.0,
          "device": "asio:Focusrite USB ASIO"
        }
      ],
      "mono": "right",
      "name": "Mono \"right\""
    }
  ],
  "devices": [
    {
      "api": "exclusive",
      "bufferFrames": 256,
      "enabled": true,
      "key": "wasapi:{0.0.0.00000000}.{1234}",
      "name": "Luidsprekers (Realtek®)",
      "periods": 3,
      "sampleRate": 44100
    },
    {
      "api": "asio",
      "bufferFrames": 0,
      "enabled": false,
      "key": "asio:Focusrite USB ASIO",
      "name": "",
      "periods": 0,
      "sampleRate": 4294967295
    }
  ],
  "language": "nl",
  "schema": 1
})json";

TEST(WriteSettings, DefaultSettingsAreSixLinesWithoutFinalLineEnd) {
    EXPECT_EQ(writeSettings(Settings{}), kDefaultText);
}

TEST(WriteSettings, WritesEveryMemberSortedIndentedAndNonAsciiUnescaped) {
    EXPECT_EQ(writeSettings(fullSettings()), kFullText);
}

TEST(ReadSettings, ReadsEveryFieldOfAFullFile) {
    const Settings settings = readOk(kFullText);
    ASSERT_EQ(settings.devices.size(), 2u);
    const DeviceSettings& first = settings.devices[0];
    EXPECT_EQ(first.key, "wasapi:{0.0.0.00000000}.{1234}");
    EXPECT_EQ(first.name, "Luidsprekers (Realtek\xc2\xae)");
    EXPECT_TRUE(first.enabled);
    EXPECT_EQ(first.api, DeviceApi::Exclusive);
    EXPECT_EQ(first.sampleRate, 44100u);
    EXPECT_EQ(first.bufferFrames, 256u);
    EXPECT_EQ(first.periods, 3u);
    EXPECT_EQ(settings.devices[1].api, DeviceApi::Asio);
    EXPECT_EQ(settings.devices[1].sampleRate, 4294967295u);
    EXPECT_FALSE(settings.devices[1].enabled);

    ASSERT_EQ(settings.cards.size(), 2u);
    const CardSettings& stereo = settings.cards[0];
    EXPECT_EQ(stereo.id, "0000000a");
    EXPECT_EQ(stereo.name,
              "K\xc3\xbc"
              "che");
    EXPECT_EQ(stereo.mono, MonoMode::Sum);
    ASSERT_EQ(stereo.members.size(), 2u);
    EXPECT_EQ(stereo.members[0].device, "wasapi:{0.0.0.00000000}.{1234}");
    EXPECT_EQ(stereo.members[0].delayMs, 12.5);
    EXPECT_EQ(stereo.members[1].channel, 63u);
    EXPECT_EQ(settings.cards[1].mono, MonoMode::Right);
    EXPECT_EQ(settings.cards[1].name, "Mono \"right\"");
    EXPECT_EQ(settings.cards[1].members[0].delayMs, 500.0);
    EXPECT_EQ(settings.language, "nl");
}

TEST(ReadSettings, EnumerationTextsMapToTheirValues) {
    EXPECT_EQ(readOk(withDevice(R"(,"api":"shared")")).devices[0].api, DeviceApi::Shared);
    EXPECT_EQ(readOk(withDevice(R"(,"api":"exclusive")")).devices[0].api, DeviceApi::Exclusive);
    EXPECT_EQ(readOk(withDevice(R"(,"api":"asio")")).devices[0].api, DeviceApi::Asio);
    const auto mono = [](const char* text) {
        return readOk(std::string(R"({"schema":1,"cards":[{"id":"","name":"","members":[],"mono":)") + text + "}]}")
            .cards[0]
            .mono;
    };
    EXPECT_EQ(mono(R"("sum")"), MonoMode::Sum);
    EXPECT_EQ(mono(R"("left")"), MonoMode::Left);
    EXPECT_EQ(mono(R"("right")"), MonoMode::Right);
}

TEST(ReadSettings, FailureNamesTheFirstFaultInReadingOrder) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        // Syntax, from the library.
        {"",
         "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an empty input; "
         "check that your input string or stream contains the expected JSON"},
        {R"({"schema":1} // saved)",
         "[json.exception.parse_error.101] parse error at line 1, column 14: syntax error while parsing value - "
         "invalid literal; last read: '1} /'; expected end of input"},
        {"/* c */{\"schema\":1}",
         "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing value - "
         "invalid literal; last read: '/'"},
        {"{\"schema\":1}{}",
         "[json.exception.parse_error.101] parse error at line 1, column 13: syntax error while parsing value - "
         "unexpected '{'; expected end of input"},
        {"{\"schema\":1,\"cards\":[{\"delayMs\":1e400}]}",
         "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
        // Root and schema.
        {"[]", "the file is not a JSON object"},
        {"\"text\"", "the file is not a JSON object"},
        {"{}", "schema 0 is not supported"},
        {R"({"schema":2})", "schema 2 is not supported"},
        {R"({"schema":0})", "schema 0 is not supported"},
        {R"({"schema":-1})", "schema -1 is not supported"},
        {R"({"schema":2.9})", "schema 2 is not supported"},  // cut toward zero
        {R"({"schema":-0.9})", "schema 0 is not supported"},
        {R"({"schema":false})", "schema 0 is not supported"},
        {R"({"schema":4294967297})", "schema 4294967297 is not supported"},  // must not wrap to 1
        {R"({"schema":18446744073709551615})", "schema 18446744073709551615 is not supported"},
        {R"({"schema":1e20})", "schema 100000000000000000000 is not supported"},
        {R"({"schema":null})", typeError("number", "null")},
        {R"({"schema":"1"})", typeError("number", "string")},
        {R"({"schema":[1]})", typeError("number", "array")},
        {R"({"schema":{}})", typeError("number", "object")},
        {R"({"Schema":1})", "schema 0 is not supported"},  // member names are case-sensitive
        // The schema is checked before anything else in the file.
        {R"({"schema":3,"devices":null})", "schema 3 is not supported"},
        // Language.
        {R"({"schema":1,"language":5})", typeError("string", "number")},
        {R"({"schema":1,"language":["en"]})", typeError("string", "array")},
        {R"({"schema":1,"language":1,"devices":null})", typeError("string", "number")},
        // Devices.
        {R"({"schema":1,"devices":null})", "devices must be an array"},
        {R"({"schema":1,"devices":{}})", "devices must be an array"},
        {R"({"schema":1,"devices":"wasapi:a"})", "devices must be an array"},
        {R"({"schema":1,"devices":[5]})", "a device is not an object"},
        {R"({"schema":1,"devices":[null]})", "a device is not an object"},
        {R"({"schema":1,"devices":[[]]})", "a device is not an object"},
        {R"({"schema":1,"devices":[{}]})", keyNotFound("key")},
        {R"({"schema":1,"devices":[{"Key":"wasapi:a"}]})", keyNotFound("key")},
        {R"({"schema":1,"devices":[{"key":null}]})", typeError("string", "null")},
        {R"({"schema":1,"devices":[{"key":1}]})", typeError("string", "number")},
        {withDevice(R"(,"name":5)"), typeError("string", "number")},
        {withDevice(R"(,"enabled":"yes")"), typeError("boolean", "string")},
        {withDevice(R"(,"enabled":1)"), typeError("boolean", "number")},
        {withDevice(R"(,"api":"ASIO")"), "unknown api ASIO"},
        {withDevice(R"(,"api":"")"), "unknown api "},
        {withDevice(R"(,"api":2)"), typeError("string", "number")},
        {withDevice(R"(,"sampleRate":-1)"), "sampleRate must be a non-negative integer"},
        {withDevice(R"(,"bufferFrames":-1)"), "bufferFrames must be a non-negative integer"},
        {withDevice(R"(,"periods":2.0)"), "periods must be a non-negative integer"},
        // Within a device the members are read key, name, enabled, api, then the numbers.
        {R"({"schema":1,"devices":[{"api":"x","name":1}]})", keyNotFound("key")},
        {withDevice(R"(,"api":"x","name":1)"), typeError("string", "number")},
        {withDevice(R"(,"api":"x","enabled":1)"), typeError("boolean", "number")},
        {withDevice(R"(,"periods":-1,"api":"x")"), "unknown api x"},
        {withDevice(R"(,"periods":-1,"sampleRate":-1,"bufferFrames":-1)"), "sampleRate must be a non-negative integer"},
        {withDevice(R"(,"periods":-1,"bufferFrames":-1)"), "bufferFrames must be a non-negative integer"},
        // Devices come before cards, and the first faulty device wins.
        {R"({"schema":1,"cards":7,"devices":[{"key":"a"},5]})", "a device is not an object"},
        // Cards.
        {R"({"schema":1,"cards":null})", "cards must be an array"},
        {R"({"schema":1,"cards":{}})", "cards must be an array"},
        {R"({"schema":1,"cards":[true]})", "a card is not an object"},
        {R"({"schema":1,"cards":[{"name":"A","members":[]}]})", keyNotFound("id")},
        {R"({"schema":1,"cards":[{"id":"00000001","members":[]}]})", keyNotFound("name")},
        {R"({"schema":1,"cards":[{"id":"00000001","name":"A"}]})", keyNotFound("members")},
        {R"({"schema":1,"cards":[{"id":1,"name":"A","members":[]}]})", typeError("string", "number")},
        {R"({"schema":1,"cards":[{"id":"00000001","name":null,"members":[]}]})", typeError("string", "null")},
        {R"({"schema":1,"cards":[{"id":"00000001","name":"A","mono":"both","members":[]}]})", "unknown mono both"},
        {R"({"schema":1,"cards":[{"id":"00000001","name":"A","mono":0,"members":[]}]})", typeError("string", "number")},
        {R"({"schema":1,"cards":[{"id":"00000001","name":"A","members":null}]})", "members must be an array"},
        {R"({"schema":1,"cards":[{"id":"00000001","name":"A","members":{}}]})", "members must be an array"},
        // Within a card: id, name, mono, then members.
        {R"({"schema":1,"cards":[{"mono":"x"}]})", keyNotFound("id")},
        {R"({"schema":1,"cards":[{"id":"1","mono":"x"}]})", keyNotFound("name")},
        {R"({"schema":1,"cards":[{"id":"1","name":"A","mono":"x"}]})", "unknown mono x"},
        // Members.
        {R"({"schema":1,"cards":[{"id":"1","name":"A","members":[5]}]})",
         "[json.exception.type_error.304] cannot use at() with number"},
        {R"({"schema":1,"cards":[{"id":"1","name":"A","members":[null]}]})",
         "[json.exception.type_error.304] cannot use at() with null"},
        {R"({"schema":1,"cards":[{"id":"1","name":"A","members":[["wasapi:a"]]}]})",
         "[json.exception.type_error.304] cannot use at() with array"},
        {R"({"schema":1,"cards":[{"id":"1","name":"A","members":[{}]}]})", keyNotFound("device")},
        {R"({"schema":1,"cards":[{"id":"1","name":"A","members":[{"device":null}]}]})", typeError("string", "null")},
        {withMember(R"(,"channel":-1)"), "channel must be a non-negative integer"},
        {withMember(R"(,"delayMs":"12.5")"), typeError("number", "string")},
        {withMember(R"(,"delayMs":true)"), typeError("number", "boolean")},
        {withMember(R"(,"delayMs":[])"), typeError("number", "array")},
        {withMember(R"(,"delayMs":"x","channel":-1)"), "channel must be a non-negative integer"},
    };
    for (const Case& c : cases) EXPECT_EQ(readError(c.text), c.error) << c.text;
}

// sampleRate, bufferFrames, periods and channel share one rule.
TEST(ReadSettings, UnsignedMembersTakeOnlyIntegersThatFitIn32Bits) {
    struct Case {
        const char* value;
        std::uint32_t expected;
        const char* fault;  // nullptr: reads as `expected`
    };
    const Case cases[] = {
        {"0", 0, nullptr},
        {"48000", 48000, nullptr},
        {"4294967295", 4294967295u, nullptr},
        {"-0", 0, nullptr},
        {"null", 0, nullptr},
        {"4294967296", 0, " is too large"},
        {"18446744073709551615", 0, " is too large"},
        {"18446744073709551616", 0, " is too large"},  // beyond 64 bits: the library holds a double
        {"123456789012345678901234567890", 0, " is too large"},
        {"-1", 0, " must be a non-negative integer"},
        {"-4294967296", 0, " must be a non-negative integer"},
        {"-99999999999999999999", 0, " must be a non-negative integer"},
        {"2.0", 0, " must be a non-negative integer"},
        {"48000.0", 0, " must be a non-negative integer"},
        {"0.5", 0, " must be a non-negative integer"},
        {"1e3", 0, " must be a non-negative integer"},
        {"\"5\"", 0, " must be a non-negative integer"},
        {"true", 0, " must be a non-negative integer"},
        {"false", 0, " must be a non-negative integer"},
        {"[]", 0, " must be a non-negative integer"},
        {"{}", 0, " must be a non-negative integer"},
    };
    struct Member {
        const char* name;
        std::string (*document)(std::string_view members);
        std::uint32_t (*read)(const Settings&);
    };
    const Member members[] = {
        {"sampleRate", withDevice, [](const Settings& s) { return s.devices.at(0).sampleRate; }},
        {"bufferFrames", withDevice, [](const Settings& s) { return s.devices.at(0).bufferFrames; }},
        {"periods", withDevice, [](const Settings& s) { return s.devices.at(0).periods; }},
        {"channel", withMember, [](const Settings& s) { return s.cards.at(0).members.at(0).channel; }},
    };
    for (const Member& member : members) {
        for (const Case& c : cases) {
            const std::string text = member.document(std::string(",\"") + member.name + "\":" + c.value);
            if (c.fault == nullptr) {
                EXPECT_EQ(member.read(readOk(text)), c.expected) << text;
            } else {
                EXPECT_EQ(readError(text), std::string(member.name) + c.fault) << text;
            }
        }
    }
}

TEST(ReadSettings, NullAndAbsentOptionalMembersGiveDefaults) {
    const char* const texts[] = {
        R"({"schema":1,"devices":[{"key":"k"}],"cards":[{"id":"i","name":"n","members":[{"device":"d"}]}]})",
        R"({"schema":1,"language":null,
            "devices":[{"key":"k","name":null,"enabled":null,"api":null,"sampleRate":null,"bufferFrames":null,
                        "periods":null}],
            "cards":[{"id":"i","name":"n","mono":null,"members":[{"device":"d","channel":null,"delayMs":null}]}]})",
    };
    for (const char* text : texts) {
        Settings expected;
        expected.devices.emplace_back().key = "k";
        expected.cards.push_back({.id = "i", .name = "n", .members = {{.device = "d"}}});
        // Non-default values in the target prove that the defaults come from the reader.
        Settings settings = fullSettings();
        std::string error;
        ASSERT_TRUE(readSettings(text, settings, error)) << error;
        EXPECT_EQ(writeSettings(settings), writeSettings(expected)) << text;
    }
    EXPECT_EQ(writeSettings(readOk(R"({"schema":1})")), kDefaultText);
    EXPECT_EQ(writeSettings(readOk(R"({"schema":true})")), kDefaultText);
    EXPECT_EQ(writeSettings(readOk(R"({"schema":1.9})")), kDefaultText);
}

TEST(ReadSettings, SuccessReplacesAllThreeFieldsAndFailureTouchesNothing) {
    Settings settings = fullSettings();
    std::string error = "old";
    EXPECT_FALSE(readSettings(R"({"schema":1,"language":"de","cards":[5]})", settings, error));
    EXPECT_EQ(error, "a card is not an object");
    EXPECT_EQ(writeSettings(settings), kFullText);  // not even the language that was read first

    ASSERT_TRUE(readSettings(R"({"schema":1,"devices":[{"key":"null:x"}]})", settings, error));
    EXPECT_EQ(settings.language, "");
    ASSERT_EQ(settings.devices.size(), 1u);
    EXPECT_EQ(settings.devices[0].key, "null:x");
    EXPECT_TRUE(settings.cards.empty());
}

TEST(ReadSettings, AcceptsAByteOrderMarkOnlyAtTheStart) {
    const std::string bom = "\xef\xbb\xbf";
    EXPECT_EQ(readOk(bom + R"({"schema":1,"language":"de"})").language, "de");
    EXPECT_EQ(readError(bom),
              "[json.exception.parse_error.101] parse error at line 1, column 4: syntax error while "
              "parsing value - unexpected end of input; expected '[', '{', or a literal");
    EXPECT_EQ(readError(" " + bom + R"({"schema":1})").substr(0, 33), "[json.exception.parse_error.101] ");
    EXPECT_EQ(readError(bom + bom + R"({"schema":1})").substr(0, 33), "[json.exception.parse_error.101] ");
}

TEST(ReadSettings, ErrorTextIsUtf8EvenWhenTheInputIsNot) {
    const std::string error = readError("{\"schema\":1,\"language\":\"\xff\"}");
    EXPECT_EQ(error,
              "[json.exception.parse_error.101] parse error at line 1, column 25: syntax error while parsing value - "
              "invalid string: ill-formed UTF-8 byte; last read: '\"\xef\xbf\xbd'");
    Settings holder;
    holder.language = error;
    EXPECT_TRUE(settingsTextIsUtf8(holder));
}

TEST(SettingsFile, UnknownMembersAreDroppedAndMembersComeBackSorted) {
    const std::string text = R"({"zeta":[1,{"x":null}],"schema":1,"language":"en","comment":"hi",
        "devices":[{"periods":2,"key":"null:a","extra":{"deep":[[[]]]},"Enabled":true}],
        "cards":[{"name":"N","members":[{"volume":3,"device":"null:a"}],"id":"00000001","colour":"red"}]})";
    EXPECT_EQ(writeSettings(readOk(text)), R"({
  "cards": [
    {
      "id": "00000001",
      "members": [
        {
          "channel": 0,
          "delayMs": 0.0,
          "device": "null:a"
        }
      ],
      "mono": "sum",
      "name": "N"
    }
  ],
  "devices": [
    {
      "api": "shared",
      "bufferFrames": 0,
      "enabled": false,
      "key": "null:a",
      "name": "",
      "periods": 2,
      "sampleRate": 0
    }
  ],
  "language": "en",
  "schema": 1
})");
}

TEST(SettingsFile, WrittenTextReadsBackToTheSameBytes) {
    EXPECT_EQ(writeSettings(readOk(kDefaultText)), kDefaultText);
    EXPECT_EQ(writeSettings(readOk(kFullText)), kFullText);

    // Texts that need escaping, an embedded NUL, four-byte characters and the extremes.
    Settings odd;
    odd.language = std::string("a\0b\"\\/\n\t\x01\x7f", 10);
    odd.devices.push_back({.key = "null:\xf0\x9f\x94\x8a",
                           .name = "\xf4\x8f\xbf\xbf",
                           .enabled = true,
                           .api = DeviceApi::Shared,
                           .sampleRate = 4294967295u,
                           .bufferFrames = 4294967295u,
                           .periods = 4294967295u});
    odd.cards.push_back({.id = "", .name = "", .members = {}, .mono = MonoMode::Left});
    odd.cards.push_back({.id = "x",
                         .name = "y",
                         .members = {{.device = "", .channel = 4294967295u, .delayMs = -0.0},
                                     {.device = "", .channel = 0, .delayMs = 1.7976931348623157e308},
                                     {.device = "", .channel = 0, .delayMs = 5e-324}}});
    const std::string written = writeSettings(odd);
    const std::string again = writeSettings(readOk(written));
    EXPECT_EQ(again, written);
    EXPECT_EQ(readOk(written).language, odd.language);
    EXPECT_NE(written.find("\xf0\x9f\x94\x8a"), std::string::npos);  // not written as \ud83d\udd0a
}

TEST(WriteSettings, DelayIsAlwaysAFloatingPointNumberThatReadsBackExactly) {
    struct Case {
        double delayMs;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {500.0, "500.0"},
        {12.5, "12.5"},
        {0.1, "0.1"},
        {1e-7, "1e-07"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.1 + 0.2, "0.30000000000000004"},
        {499.99999999999994, "499.99999999999994"},
        {1e21, "1e+21"},
        {5e-324, "5e-324"},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.cards.push_back(
            {.id = "00000001", .name = "A", .members = {{.device = "null:a", .delayMs = c.delayMs}}});
        const std::string written = writeSettings(settings);
        EXPECT_NE(written.find(std::string("\"delayMs\": ") + c.text + ",\n"), std::string::npos) << written;
        const Settings back = readOk(written);
        // Bit for bit, so that -0.0 and the last digit of a fraction survive.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back.cards.at(0).members.at(0).delayMs),
                  std::bit_cast<std::uint64_t>(c.delayMs))
            << c.text;
    }
    // A delay written as an integer by hand reads as a number and comes back with a fraction.
    const Settings handWritten = readOk(withMember(R"(,"delayMs":250)"));
    EXPECT_NE(writeSettings(handWritten).find("\"delayMs\": 250.0,"), std::string::npos);
}

TEST(WriteSettings, InvalidUtf8IsReplacedInsteadOfThrowing) {
    const std::string bad =
        "a\xff"
        "b\xc3";  // a stray byte, then a sequence cut short at the end
    const std::string replaced =
        "a\xef\xbf\xbd"
        "b\xef\xbf\xbd";
    for (const TextEdit& edit : textFields(0, 0, 1)) {
        Settings settings = fullSettings();
        ASSERT_TRUE(settingsTextIsUtf8(settings));
        edit(settings, bad);
        EXPECT_FALSE(settingsTextIsUtf8(settings));
        std::string written;
        EXPECT_NO_THROW(written = writeSettings(settings));
        ASSERT_FALSE(written.empty());
        // What was written is valid UTF-8 JSON (the reader refuses anything else), and it is
        // what the same settings with the bad bytes replaced would give.
        const Settings back = readOk(written);
        EXPECT_TRUE(settingsTextIsUtf8(back));
        Settings expected = fullSettings();
        edit(expected, replaced);
        EXPECT_EQ(written, writeSettings(expected));
    }
}

TEST(SettingsFile, Utf8CheckFollowsTheStandardEncoding) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {std::string("\0", 1), true},
        {"plain ASCII \x7f", true},
        {"\xc2\x80", true},          // U+0080, smallest two-byte
        {"\xed\x9f\xbf", true},      // U+D7FF, just below the surrogates
        {"\xee\x80\x80", true},      // U+E000, just above them
        {"\xef\xbf\xbf", true},      // U+FFFF
        {"\xf0\x90\x80\x80", true},  // U+10000, smallest four-byte
        {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF, the last code point
        {"\x80", false},             // continuation byte without a lead
        {"\xbf", false},
        {"\xc0\x80", false},          // overlong NUL
        {"\xc1\xbf", false},          // overlong
        {"\xe0\x9f\xbf", false},      // overlong three-byte
        {"\xf0\x8f\xbf\xbf", false},  // overlong four-byte
        {"\xed\xa0\x80", false},      // U+D800, a surrogate
        {"\xed\xbf\xbf", false},      // U+DFFF
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {"\xf5\x80\x80\x80", false},
        {"\xfe", false},
        {"\xff", false},
        {"\xc3", false},  // cut short at the end
        {"\xe2\x82", false},
        {"\xf0\x9f\x94", false},
        {"\xc3x", false},             // cut short by an ASCII byte
        {"\xe2\x82\xac\x80", false},  // one continuation too many
    };
    // Each text in each field of the settings.
    const std::vector<TextEdit> edits = textFields(1, 1, 0);
    for (const Case& c : cases) {
        for (std::size_t field = 0; field < edits.size(); ++field) {
            Settings settings = fullSettings();
            edits[field](settings, "x" + c.text + "y");
            EXPECT_EQ(settingsTextIsUtf8(settings), c.valid)
                << "field " << field << ", case " << testing::PrintToString(c.text);
        }
        // The reader agrees: a valid text reads back, an invalid one is a parse error. (A raw
        // NUL is valid UTF-8 but not allowed unescaped in a JSON string.)
        if (c.text.find('\0') != std::string::npos) continue;
        Settings settings;
        std::string error;
        EXPECT_EQ(readSettings("{\"schema\":1,\"language\":\"" + c.text + "\"}", settings, error), c.valid)
            << testing::PrintToString(c.text) << " " << error;
    }
}

}  // namespace
}  // namespace core
