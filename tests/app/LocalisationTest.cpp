#include "app/ui/Localisation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestSupport.h"

namespace app {
namespace {

constexpr UiLanguage kLanguages[] = {UiLanguage::English, UiLanguage::Dutch, UiLanguage::German};

UiText textId(unsigned id) {
    return static_cast<UiText>(id);
}

std::string text(UiLanguage language, UiText id) {
    return std::string(uiText(language, id));
}

// Beyond ASCII the window's font covers é ä ö ü Ä Ü © ® and nothing more, so a text with any
// other character, or with broken UTF-8, would show a missing glyph.
bool onlyCoveredCharacters(std::string_view text) {
    static constexpr std::string_view kCovered[] = {"\xc3\xa9", "\xc3\xa4", "\xc3\xb6", "\xc3\xbc",
                                                    "\xc3\x84", "\xc3\x9c", "\xc2\xa9", "\xc2\xae"};
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f) {
            ++i;
            continue;
        }
        bool covered = false;
        for (std::string_view character : kCovered) {
            if (text.substr(i, 2) == character) covered = true;
        }
        if (!covered) return false;
        i += 2;
    }
    return true;
}

TEST(UiTextTable, EndsAtIdEightyThree) {
    EXPECT_EQ(kUiTextCount, 84u);
    EXPECT_EQ(static_cast<unsigned>(UiText::StillRunningInTray), 83u);
    for (UiLanguage language : kLanguages) {
        EXPECT_FALSE(uiText(language, UiText::AlreadyRunning).empty());
        EXPECT_FALSE(uiText(language, UiText::AppliedNotSaved).empty());
        EXPECT_FALSE(uiText(language, UiText::AppliedFileKept).empty());
        EXPECT_FALSE(uiText(language, UiText::StillRunningInTray).empty());
        for (unsigned id : {84u, 85u, 255u, 1000u, 0xffffffffu}) {
            const std::string_view beyond = uiText(language, textId(id));
            EXPECT_EQ(beyond.data(), nullptr) << id;
            EXPECT_EQ(beyond.size(), 0u) << id;
        }
    }
}

TEST(UiTextTable, EveryIdHasPrintableTextInEveryLanguage) {
    for (UiLanguage language : kLanguages) {
        for (unsigned id = 0; id < kUiTextCount; ++id) {
            const std::string_view found = uiText(language, textId(id));
            EXPECT_FALSE(found.empty()) << static_cast<int>(language) << " " << id;
            EXPECT_TRUE(onlyCoveredCharacters(found)) << static_cast<int>(language) << " " << id << ": " << found;
            EXPECT_NE(found.front(), ' ') << id;
            EXPECT_NE(found.back(), ' ') << id;
        }
    }
}

TEST(UiTextTable, OnlyTheThreeFormatsHoldOneUnsignedNumber) {
    for (UiLanguage language : kLanguages) {
        for (unsigned id = 0; id < kUiTextCount; ++id) {
            const std::string found = text(language, textId(id));
            const bool isFormat = id == 25 || id == 26 || id == 31;
            const std::size_t percent = found.find('%');
            if (!isFormat) {
                EXPECT_EQ(percent, std::string::npos) << id << ": " << found;
                continue;
            }
            ASSERT_NE(percent, std::string::npos) << id;
            EXPECT_EQ(found.substr(percent, 2), "%u") << id << ": " << found;
            EXPECT_EQ(found.find('%', percent + 1), std::string::npos) << id << ": " << found;
        }
    }
    char line[64];
    std::snprintf(line, sizeof line, text(UiLanguage::German, UiText::NChannels).c_str(), 8u);
    EXPECT_STREQ(line, "8 Kan\xc3\xa4le");
    std::snprintf(line, sizeof line, text(UiLanguage::Dutch, UiText::ChannelN).c_str(), 2u);
    EXPECT_STREQ(line, "Kanaal 2");
    std::snprintf(line, sizeof line, text(UiLanguage::English, UiText::NFrames).c_str(), 480u);
    EXPECT_STREQ(line, "480 frames");
}

TEST(UiTextTable, QuotesTheTextsByteForByte) {
    EXPECT_EQ(text(UiLanguage::English, UiText::WindowTitle), "QOVA - Tavimor Audio Router");
    EXPECT_EQ(text(UiLanguage::German, UiText::WindowTitle), "QOVA - Tavimor Audio Router");
    EXPECT_EQ(text(UiLanguage::English, UiText::CardsForPlayerApp), "Cards for Veltrano");
    EXPECT_EQ(text(UiLanguage::English, UiText::AboutText),
              "QOVA routes the sound of the Veltrano app for Windows to your sound cards: split a stereo card into two "
              "mono cards, join two outputs into one stereo card, and choose ASIO\xc2\xae or WASAPI, buffer and "
              "latency per card.");
    EXPECT_EQ(text(UiLanguage::English, UiText::AlreadyRunning), "QOVA is already running.");

    EXPECT_EQ(text(UiLanguage::Dutch, UiText::About), "Over");
    EXPECT_EQ(text(UiLanguage::Dutch, UiText::OneStereoCard), "E\xc3\xa9n stereokaart");
    EXPECT_EQ(text(UiLanguage::Dutch, UiText::ExclusiveWarning),
              "WASAPI exclusief en ASIO nemen de geluidskaart over van alle andere programma's op deze pc.");
    EXPECT_EQ(text(UiLanguage::Dutch, UiText::CardsHelp),
              "Dit zijn de geluidskaarten die de Veltrano-app voor Windows toont. Elke kaart kan \xc3\xa9\xc3\xa9n "
              "zone spelen.");

    EXPECT_EQ(text(UiLanguage::German, UiText::About),
              "\xc3\x9c"
              "ber");
    EXPECT_EQ(text(UiLanguage::German, UiText::UndoChanges), "\xc3\x84nderungen verwerfen");
    EXPECT_EQ(text(UiLanguage::German, UiText::OpenApp),
              "QOVA \xc3\xb6"
              "ffnen");
    EXPECT_EQ(text(UiLanguage::German, UiText::Running), "L\xc3\xa4uft");
    EXPECT_EQ(text(UiLanguage::German, UiText::QuitWhilePlaying),
              "Ein Player verwendet die Karten von QOVA. Wenn QOVA beendet wird, stoppt die Musik auf diesen Karten. "
              "Trotzdem beenden?");
}

TEST(UiTextTable, PlayerBufferReadsLikeBuffer) {
    for (UiLanguage language : kLanguages)
        EXPECT_EQ(uiText(language, UiText::PlayerBuffer), uiText(language, UiText::Buffer));
    EXPECT_EQ(text(UiLanguage::German, UiText::PlayerBuffer), "Puffer");
}

TEST(UiTextTable, OtherLanguageValuesReadEnglish) {
    for (unsigned value : {3u, 7u, 255u}) {
        const auto language = static_cast<UiLanguage>(value);
        EXPECT_EQ(text(language, UiText::About), "About") << value;
        EXPECT_EQ(text(language, UiText::SameAsWindows), "Same as Windows") << value;
    }
}

// The notice names two files that the About tab opens from the program's folder.
TEST(UiTextTable, LegalNoticeNamesTheFilesBesideTheProgram) {
    for (UiLanguage language : kLanguages) {
        const std::string notice = text(language, UiText::LegalNotice);
        EXPECT_EQ(notice.rfind("\xc2\xa9 2026 ", 0), 0u) << notice;
        EXPECT_NE(notice.find(" LICENSE.txt"), std::string::npos) << notice;
        EXPECT_NE(notice.find(" THIRD-PARTY-NOTICES.txt"), std::string::npos) << notice;
    }
    const std::wstring folder = testing_support::binaryFolder();
    ASSERT_TRUE(testing_support::fileExists(folder + L"\\QOVA.exe"));
    const std::string licence = testing_support::readFile(folder + L"\\LICENSE.txt");
    EXPECT_EQ(licence.rfind("MIT License\n\nCopyright (c) 2026 the QOVA developers\n", 0), 0u) << licence;
    const std::string notices = testing_support::readFile(folder + L"\\THIRD-PARTY-NOTICES.txt");
    for (const char* library : {"Dear ImGui", "miniaudio", "libsamplerate", "nlohmann-json"})
        EXPECT_NE(notices.find("\n" + std::string(library) + " "), std::string::npos) << library;
}

TEST(LanguageOfCode, MatchesTheFirstTwoLettersAsAWholeSubtag) {
    const struct {
        const char* code;
        UiLanguage language;
    } cases[] = {
        {"nl", UiLanguage::Dutch},      {"NL", UiLanguage::Dutch},          {"Nl", UiLanguage::Dutch},
        {"nl-BE", UiLanguage::Dutch},   {"nl_NL", UiLanguage::Dutch},       {"nL-", UiLanguage::Dutch},
        {"de", UiLanguage::German},     {"DE", UiLanguage::German},         {"de-AT", UiLanguage::German},
        {"de_CH", UiLanguage::German},  {"dE-Latn-DE", UiLanguage::German}, {"nld", UiLanguage::English},
        {"deu", UiLanguage::English},   {"nl.UTF-8", UiLanguage::English},  {"fr-FR", UiLanguage::English},
        {"en-NL", UiLanguage::English}, {"en", UiLanguage::English},        {"", UiLanguage::English},
        {"n", UiLanguage::English},     {"d", UiLanguage::English},         {"n-", UiLanguage::English},
        {" nl", UiLanguage::English},
    };
    for (const auto& c : cases) EXPECT_EQ(languageOfCode(c.code), c.language) << '"' << c.code << '"';
}

TEST(LanguageOfCode, ReadsOnlyTheCodesOwnBytes) {
    const char buffer[] = "nlde";
    EXPECT_EQ(languageOfCode(std::string_view(buffer, 1)), UiLanguage::English);
    EXPECT_EQ(languageOfCode(std::string_view(buffer, 2)), UiLanguage::Dutch);
    EXPECT_EQ(languageOfCode(std::string_view(buffer + 2, 2)), UiLanguage::German);
    EXPECT_EQ(languageOfCode(std::string_view(buffer, 3)), UiLanguage::English);  // "nld"
}

}  // namespace
}  // namespace app
