#include "core/settings/SettingsFile.h"

// config.json on top of nlohmann-json. The library reports most type faults by throwing, so
// the reader is written in that style too: its own faults throw a ReadFault, and one catch
// at the edge turns every exception into the error text. Nothing is thrown out of this file.
//
// The error texts are part of the program's behaviour (they are logged when a file is moved
// aside), so where the library's own text is wanted the library is left to throw it.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

namespace core {

namespace {

using Json = nlohmann::json;  // std::map objects: members come out sorted by name

constexpr std::int64_t kSchema = 1;

// A fault the reader itself names; the text carries no library prefix.
class ReadFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it does not start
// with one. Overlong forms, surrogates and code points above U+10FFFF are not valid.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // bounds of the second byte, which rule out overlongs and surrogates
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    }
    return length;
}

bool isUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

// The library quotes the offending input bytes in its parse errors; those can be anything,
// and the error text goes on to the log, which wants UTF-8.
std::string replaceInvalidUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            result += "\xef\xbf\xbd";  // U+FFFD
            length = 1;
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

// The member `name` of `object`, or nullptr when it is absent.
const Json* findMember(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

// Optional members: absent and null both give the default.
const Json* findOptional(const Json& object, const char* name) {
    const Json* value = findMember(object, name);
    return value == nullptr || value->is_null() ? nullptr : value;
}

std::string readRequiredString(const Json& object, const char* name) {
    return object.at(name).get<std::string>();
}

std::string readOptionalString(const Json& object, const char* name, const char* fallback = "") {
    const Json* value = findOptional(object, name);
    return value == nullptr ? std::string(fallback) : value->get<std::string>();
}

// sampleRate, bufferFrames, periods and channel: whole numbers 0 to 4294967295 written as
// integers. A fraction is refused even when it is whole (48000.0), so that a value never
// reads as something other than what the file shows.
std::uint32_t readUnsigned(const Json& object, const char* name) {
    const Json* value = findOptional(object, name);
    if (value == nullptr) return 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    const auto tooLarge = [&] { return ReadFault(std::string(name) + " is too large"); };
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > kMax) throw tooLarge();
        return static_cast<std::uint32_t>(number);
    }
    if (value->is_number_integer()) {  // signed: from the parser, only negatives and "-0"
        const auto number = value->get<std::int64_t>();
        if (number >= 0 && static_cast<std::uint64_t>(number) <= kMax) return static_cast<std::uint32_t>(number);
        if (number > 0) throw tooLarge();
    }
    // An integer beyond 64 bits reaches us as a floating-point number; it is still too large
    // rather than a fraction. 2^64 is the smallest value the library cannot hold as an integer.
    if (value->is_number_float() && value->get<double>() >= 18446744073709551616.0) throw tooLarge();
    throw ReadFault(std::string(name) + " must be a non-negative integer");
}

// "schema" is read as a plain integer: a fraction is cut toward zero and true counts as 1.
// It is compared at full width, so no large number can wrap round to 1.
void checkSchema(const Json& root) {
    const Json* value = findMember(root, "schema");
    std::string number = "0";
    if (value != nullptr) {
        if (value->is_number_unsigned()) {
            const auto schema = value->get<std::uint64_t>();
            if (schema == static_cast<std::uint64_t>(kSchema)) return;
            number = std::to_string(schema);
        } else if (value->is_number_integer()) {
            const auto schema = value->get<std::int64_t>();
            if (schema == kSchema) return;
            number = std::to_string(schema);
        } else if (value->is_number_float()) {
            const double schema = std::trunc(value->get<double>());
            if (schema == static_cast<double>(kSchema)) return;
            char digits[400];  // the largest double has 309 digits
            const auto written = std::to_chars(digits, digits + sizeof digits, schema == 0.0 ? 0.0 : schema,
                                               std::chars_format::fixed);  // "0", never "-0"
            number.assign(digits, written.ptr);
        } else if (value->is_boolean()) {
            if (value->get<bool>()) return;
        } else {
            (void)value->get<std::int64_t>();  // the library's "type must be number, but is ..."
        }
    }
    throw ReadFault("schema " + number + " is not supported");
}

DeviceApi readApi(const Json& device) {
    const std::string text = readOptionalString(device, "api", "shared");
    if (text == "shared") return DeviceApi::Shared;
    if (text == "exclusive") return DeviceApi::Exclusive;
    if (text == "asio") return DeviceApi::Asio;
    throw ReadFault("unknown api " + text);
}

MonoMode readMono(const Json& card) {
    const std::string text = readOptionalString(card, "mono", "sum");
    if (text == "sum") return MonoMode::Sum;
    if (text == "left") return MonoMode::Left;
    if (text == "right") return MonoMode::Right;
    throw ReadFault("unknown mono " + text);
}

DeviceSettings readDevice(const Json& object) {
    if (!object.is_object()) throw ReadFault("a device is not an object");
    DeviceSettings device;
    device.key = readRequiredString(object, "key");
    device.name = readOptionalString(object, "name");
    if (const Json* enabled = findOptional(object, "enabled")) device.enabled = enabled->get<bool>();
    device.api = readApi(object);
    device.sampleRate = readUnsigned(object, "sampleRate");
    device.bufferFrames = readUnsigned(object, "bufferFrames");
    device.periods = readUnsigned(object, "periods");
    return device;
}

CardMember readMember(const Json& object) {
    CardMember member;
    // at() on a non-object gives the library's "cannot use at() with ..." error.
    member.device = object.at("device").get<std::string>();
    member.channel = readUnsigned(object, "channel");
    // get<double> refuses booleans and non-numbers with "type must be number, but is ...".
    if (const Json* delay = findOptional(object, "delayMs")) member.delayMs = delay->get<double>();
    return member;
}

CardSettings readCard(const Json& object) {
    if (!object.is_object()) throw ReadFault("a card is not an object");
    CardSettings card;
    card.id = readRequiredString(object, "id");
    card.name = readRequiredString(object, "name");
    card.mono = readMono(object);
    const Json& members = object.at("members");
    if (!members.is_array()) throw ReadFault("members must be an array");
    for (const Json& member : members) card.members.push_back(readMember(member));
    return card;
}

Settings readRoot(std::string_view text) {
    // Strict: the whole text must be one value; comments are refused; a byte-order mark is
    // skipped by the library.
    const Json root = Json::parse(text.begin(), text.end(), nullptr, true, false);
    if (!root.is_object()) throw ReadFault("the file is not a JSON object");
    checkSchema(root);

    Settings settings;
    settings.language = readOptionalString(root, "language");
    // "devices" and "cards" may be left out, but a null there is a fault, not an empty list.
    if (const Json* devices = findMember(root, "devices")) {
        if (!devices->is_array()) throw ReadFault("devices must be an array");
        for (const Json& device : *devices) settings.devices.push_back(readDevice(device));
    }
    if (const Json* cards = findMember(root, "cards")) {
        if (!cards->is_array()) throw ReadFault("cards must be an array");
        for (const Json& card : *cards) settings.cards.push_back(readCard(card));
    }
    return settings;
}

Json deviceJson(const DeviceSettings& device) {
    return Json{{"key", device.key},
                {"name", device.name},
                {"enabled", device.enabled},
                {"api", apiText(device.api)},
                {"sampleRate", device.sampleRate},
                {"bufferFrames", device.bufferFrames},
                {"periods", device.periods}};
}

Json memberJson(const CardMember& member) {
    // A double is always written with a fraction or an exponent ("0.0", "12.5", "1e-07"),
    // in the shortest form that reads back to the same value.
    return Json{{"device", member.device}, {"channel", member.channel}, {"delayMs", member.delayMs}};
}

Json cardJson(const CardSettings& card) {
    Json members = Json::array();
    for (const CardMember& member : card.members) members.push_back(memberJson(member));
    return Json{{"id", card.id}, {"name", card.name}, {"mono", monoText(card.mono)}, {"members", std::move(members)}};
}

}  // namespace

bool readSettings(std::string_view text, Settings& settings, std::string& error) {
    try {
        Settings read = readRoot(text);
        settings.devices = std::move(read.devices);
        settings.cards = std::move(read.cards);
        settings.language = std::move(read.language);
        return true;
    } catch (const std::exception& e) {
        try {
            error = replaceInvalidUtf8(e.what());
        } catch (...) {
            error.clear();  // out of memory while copying the text
        }
    } catch (...) {
        error.clear();
    }
    return false;
}

std::string writeSettings(const Settings& settings) {
    try {
        Json devices = Json::array();
        for (const DeviceSettings& device : settings.devices) devices.push_back(deviceJson(device));
        Json cards = Json::array();
        for (const CardSettings& card : settings.cards) cards.push_back(cardJson(card));
        const Json root{{"schema", kSchema},
                        {"language", settings.language},
                        {"devices", std::move(devices)},
                        {"cards", std::move(cards)}};
        // Invalid UTF-8 is written as U+FFFD instead of throwing: settings are compared by
        // this text, and a save checks settingsTextIsUtf8 before it writes anything.
        return root.dump(2, ' ', false, Json::error_handler_t::replace);
    } catch (...) {
        return {};  // only running out of memory gets here
    }
}

bool settingsTextIsUtf8(const Settings& settings) {
    if (!isUtf8(settings.language)) return false;
    for (const DeviceSettings& device : settings.devices) {
        if (!isUtf8(device.key) || !isUtf8(device.name)) return false;
    }
    for (const CardSettings& card : settings.cards) {
        if (!isUtf8(card.id) || !isUtf8(card.name)) return false;
        for (const CardMember& member : card.members) {
            if (!isUtf8(member.device)) return false;
        }
    }
    return true;
}

}  // namespace core
