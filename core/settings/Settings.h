#pragma once

// The settings model: which sound cards QOVA may drive and how, which cards it offers to
// player apps and on which device channels they play, and the interface language.
// Plain values, copied freely between the router and the user interface. The limits below
// are checked by validation and by the card editing operations, never by the types.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace core {

enum class DeviceApi : std::uint8_t {
    Shared = 0,     // WASAPI shared mode
    Exclusive = 1,  // WASAPI exclusive mode
    Asio = 2,
};

// How a one-member card turns the stereo stream into its single channel.
enum class MonoMode : std::uint8_t {
    Sum = 0,
    Left = 1,
    Right = 2,
};

struct DeviceSettings {
    std::string key;   // "wasapi:…", "asio:…" or "null:…"; names the sound card across runs
    std::string name;  // display name remembered when the user turned it on
    bool enabled = false;
    DeviceApi api = DeviceApi::Shared;
    std::uint32_t sampleRate = 0;    // Hz; 0 lets the output choose
    std::uint32_t bufferFrames = 0;  // 0 lets the output choose
    std::uint32_t periods = 0;       // 0 lets the output choose
};

// One output of a card: a channel of a device, with its own delay.
struct CardMember {
    std::string device;         // key of a DeviceSettings
    std::uint32_t channel = 0;  // 0-based
    double delayMs = 0.0;
};

struct CardSettings {
    std::string id;                   // 8 lowercase hexadecimal digits, fixed for the card's life
    std::string name;                 // what the player app shows
    std::vector<CardMember> members;  // one: mono card; two: left then right
    MonoMode mono = MonoMode::Sum;
};

struct Settings {
    std::vector<DeviceSettings> devices;  // in order of first use
    std::vector<CardSettings> cards;
    std::string language;  // empty: follow Windows

    // Linear scans in list order; the first match, or nullptr.
    const DeviceSettings* findDevice(std::string_view key) const;
    DeviceSettings* findDevice(std::string_view key);
    const CardSettings* findCard(std::string_view id) const;
    CardSettings* findCard(std::string_view id);
    const CardSettings* findCardUsingOutput(std::string_view deviceKey, std::uint32_t channel) const;
};

inline constexpr std::uint32_t kMinBufferFrames = 16;
inline constexpr std::uint32_t kMaxBufferFrames = 8192;
inline constexpr std::uint32_t kMinPeriods = 2;
inline constexpr std::uint32_t kMaxPeriods = 8;
inline constexpr std::uint32_t kMaxChannels = 64;  // a member addresses channels 0 to 63
inline constexpr double kMaxDelayMs = 500.0;
inline constexpr std::size_t kMaxCardNameBytes = 64;
inline constexpr std::size_t kMaxMembers = 2;
inline constexpr std::size_t kCardIdLength = 8;
inline constexpr std::string_view kCardDeviceIdPrefix = "qova:";

// Names are measured in UTF-8 bytes, not characters: 1 to 64 bytes fit.
bool cardNameLengthFits(std::string_view name);

// True for exactly 8 characters from "0123456789abcdef".
bool isCardId(std::string_view text);

// The card id for a 32-bit number: 8 lowercase hexadecimal digits with leading zeros.
std::string formatCardId(std::uint32_t number);

// "qova:" followed by the id: the form in which player apps name cards.
std::string cardDeviceId(std::string_view id);

// The 8-digit id inside a card device id, or empty when the text is not exactly "qova:"
// followed by 8 lowercase hexadecimal digits. Does not check that the card exists.
std::string parseCardDeviceId(std::string_view text);

// The file's text forms; a value outside the enumeration gives "shared" and "sum".
const char* apiText(DeviceApi api);
const char* monoText(MonoMode mono);

}  // namespace core
