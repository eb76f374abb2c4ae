// libFuzzer target for the config.json reader and writer. Run on a copy of corpus/settings
// with settings.dict, for example:
//   build/fuzz/bin/settings_file_fuzz -dict=fuzz/settings.dict -max_total_time=60 build/fuzz/corpus
//
// What must hold for any input:
//  - a failed read names its fault in UTF-8 and leaves the target settings as they were;
//  - settings that were read are valid UTF-8, and their written text reads back to the same
//    settings (field by field, delays bit for bit), which write the same bytes again
//    (settings are compared by this text, so a drift here would show the user changes that
//    are not there, or lose a value on every save);
//  - the same bytes used as a text inside settings never make the writer throw, and what it
//    writes is always a file the reader accepts.
// A violation aborts, which libFuzzer reports as a crash with the input saved.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/settings/SettingsFile.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view first, std::string_view second = {}) {
    std::fprintf(stderr, "settings file fuzz: %s\n--- first\n%.*s\n--- second\n%.*s\n", what,
                 static_cast<int>(first.size()), first.data(), static_cast<int>(second.size()), second.data());
    std::abort();
}

core::Settings occupiedSettings() {
    core::Settings settings;
    settings.language = "de";
    settings.devices.push_back({.key = "null:fuzz",
                                .name = "Fuzz",
                                .enabled = true,
                                .api = core::DeviceApi::Exclusive,
                                .sampleRate = 48000,
                                .bufferFrames = 256,
                                .periods = 2});
    settings.cards.push_back({.id = "0000f022",
                              .name = "Fuzz",
                              .members = {{.device = "null:fuzz", .channel = 1, .delayMs = 2.5}},
                              .mono = core::MonoMode::Left});
    return settings;
}

// Field by field, delays bit for bit: the written text alone would not show a writer that
// loses precision the same way every time.
bool sameSettings(const core::Settings& a, const core::Settings& b) {
    const auto sameDevice = [](const core::DeviceSettings& x, const core::DeviceSettings& y) {
        return x.key == y.key && x.name == y.name && x.enabled == y.enabled && x.api == y.api &&
               x.sampleRate == y.sampleRate && x.bufferFrames == y.bufferFrames && x.periods == y.periods;
    };
    const auto sameMember = [](const core::CardMember& x, const core::CardMember& y) {
        return x.device == y.device && x.channel == y.channel &&
               std::bit_cast<std::uint64_t>(x.delayMs) == std::bit_cast<std::uint64_t>(y.delayMs);
    };
    const auto sameCard = [&](const core::CardSettings& x, const core::CardSettings& y) {
        return x.id == y.id && x.name == y.name && x.mono == y.mono &&
               std::equal(x.members.begin(), x.members.end(), y.members.begin(), y.members.end(), sameMember);
    };
    return a.language == b.language &&
           std::equal(a.devices.begin(), a.devices.end(), b.devices.begin(), b.devices.end(), sameDevice) &&
           std::equal(a.cards.begin(), a.cards.end(), b.cards.begin(), b.cards.end(), sameCard);
}

bool isUtf8(const std::string& text) {
    core::Settings holder;
    holder.language = text;
    return core::settingsTextIsUtf8(holder);
}

// Whatever the reader accepts survives a write and a read unchanged.
void checkRead(std::string_view input) {
    core::Settings settings = occupiedSettings();
    const std::string before = core::writeSettings(settings);
    std::string error;
    if (!core::readSettings(input, settings, error)) {
        if (error.empty()) fail("a failed read gave no error text", input);
        if (!isUtf8(error)) fail("the error text is not UTF-8", error);
        if (core::writeSettings(settings) != before) fail("a failed read changed the settings", error);
        return;
    }
    if (!core::settingsTextIsUtf8(settings)) fail("settings that were read are not UTF-8", input);

    const std::string written = core::writeSettings(settings);
    core::Settings back;
    if (!core::readSettings(written, back, error)) fail("the written text does not read back", written, error);
    if (!sameSettings(back, settings)) fail("the written text reads back as other settings", input, written);
    const std::string rewritten = core::writeSettings(back);
    if (rewritten != written) fail("reading back changed the settings", written, rewritten);
}

// Any bytes as a text in the settings, UTF-8 or not: the writer neither throws nor writes a
// file that cannot be read; valid text comes back byte for byte, and what is written reads
// back to settings that write the same bytes.
void checkWrite(std::string_view input) {
    core::Settings settings = occupiedSettings();
    settings.language = std::string(input);
    settings.cards[0].name = std::string(input);
    const std::string written = core::writeSettings(settings);  // throwing here ends the run
    core::Settings back;
    std::string error;
    if (!core::readSettings(written, back, error)) fail("the writer wrote an unreadable file", written, error);
    if (core::settingsTextIsUtf8(settings) && back.language != settings.language) {
        fail("a valid text did not come back unchanged", settings.language, back.language);
    }
    // Replaced bytes read back as U+FFFD, which writes the same text again.
    const std::string rewritten = core::writeSettings(back);
    if (rewritten != written) fail("reading back changed the settings", written, rewritten);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkRead(input);
    checkWrite(input);
    return 0;
}
