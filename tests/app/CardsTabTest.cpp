// The Cards, Status and About tabs, driven like a user drives them: widgets found by their
// ids, clicked and typed into, and what they show read back from the draw lists.

#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "UiHarness.h"
#include "app/shell/StartWithWindows.h"
#include "core/settings/CardEditing.h"
#include "core/settings/Settings.h"
#include "core/settings/Validation.h"
#include "win/control/ControlServer.h"
#include "win/devices/DeviceScan.h"

namespace app {
namespace {

using namespace std::chrono_literals;
using namespace ui_testing;
using testing_support::AsyncProgram;
using testing_support::binaryFolder;
using testing_support::fileExists;
using testing_support::ProcessResult;

// A sound card with a single channel: no pair to offer, only mono cards.
const win::DeviceInfo kSingle = win::makeTestOutput(2, 1, 48000);

// Both test outputs on; no cards yet.
core::Settings emptySettings(const std::string& language = "en") {
    return settingsWith(language, {deviceSettings(kStereo, true), deviceSettings(kQuad, true)});
}

// A stereo card on the stereo output and a mono card on the four-channel one.
core::Settings twoCards(const std::string& language = "en") {
    core::Settings settings = emptySettings(language);
    settings.cards = {card("0000000a", "Lounge", {member(kStereo.key, 0), member(kStereo.key, 1)}),
                      card("0000000b", "Porch", {member(kQuad.key, 2)})};
    return settings;
}

// The outputs of a card as (device key, channel), for comparing.
using Outputs = std::vector<std::pair<std::string, std::uint32_t>>;

Outputs outputsOf(const std::vector<core::CardMember>& members) {
    Outputs outputs;
    for (const core::CardMember& member : members) outputs.emplace_back(member.device, member.channel);
    return outputs;
}

std::string channelText(UiLanguage language, unsigned oneBased) {
    return printed(uiText(language, UiText::ChannelN), oneBased);
}

// One output as the forms and the table name it in English: "sound card, Channel n".
std::string outputText(const win::DeviceInfo& device, unsigned oneBased) {
    return device.name + ", " + channelText(UiLanguage::English, oneBased);
}

class CardsTabTest : public UiHarness {
protected:
    void SetUp() override {
        UiHarness::SetUp();
        // Room for the table and both forms without scrolling, as in a maximised window.
        ImGui::GetIO().DisplaySize = ImVec2(1100.0f, 900.0f);
    }

    // Widgets of a tab's contents: the tab item pushes its own id.
    ImGuiID cardsId(const char* id) const { return ImHashStr(id, 0, tabId("###cards")); }
    ImGuiID aboutId(const char* id) const { return ImHashStr(id, 0, tabId("###about")); }
    // The row of one card of the "##cards" table, and a widget in it.
    ImGuiID cardRow(const std::string& cardId) const { return ImHashStr(cardId.c_str(), 0, cardsId("##cards")); }
    ImGuiID rowId(const std::string& cardId, const char* id) const { return ImHashStr(id, 0, cardRow(cardId)); }
    ImGuiID delayId(const std::string& cardId, int memberIndex) const {
        return ImHashStr("##delay", 0, ImHashData(&memberIndex, sizeof(memberIndex), cardRow(cardId)));
    }

    void openTab(int tab) {
        ui_->requestTab(tab);
        frames(3);
    }

    void startOn(int tab, core::Settings settings) {
        start(std::move(settings));
        openTab(tab);
    }

    std::vector<TextRun> tabText() const { return readText(tabsChild()); }

    bool shows(const std::string& text) const { return findRun(tabText(), text).has_value(); }

    // A third of a second first, so that two clicks on one spot never make a double-click.
    void clickInTab(ImGuiID id) {
        frames(20);
        click(tabsChild(), id);
    }

    // A combo opens on the release of the click and shows its list from the frame after.
    void openCombo(ImGuiID combo) {
        clickInTab(combo);
        frames(2);
    }

    std::vector<std::string> comboItems() const { return texts(readText(comboPopup())); }

    // A click on the empty end of the apply bar closes an open list without choosing.
    void closePopup() {
        frames(20);
        clickAt(ImVec2(ImGui::GetIO().DisplaySize.x - 4.0f, ImGui::GetIO().DisplaySize.y - 4.0f));
        ASSERT_EQ(comboPopup()->Active, false);
    }

    // Opens a combo and picks the item that reads `item`.
    void choose(ImGuiID combo, const std::string& item) {
        openCombo(combo);
        ASSERT_NE(comboPopup(), nullptr) << "the combo did not open";
        const std::optional<TextRun> run = findRun(readText(comboPopup()), item);
        ASSERT_TRUE(run.has_value()) << "no item " << item;
        frames(20);
        clickAt(run->rect.GetCenter());
        frame();
    }

    // A frame every 10 ms while another process works, until `done` or the timeout.
    void framesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline && !done()) {
            frame();
            std::this_thread::sleep_for(10ms);
        }
    }

    void key(ImGuiKey which) {
        ImGui::GetIO().AddKeyEvent(which, true);
        frame();
        ImGui::GetIO().AddKeyEvent(which, false);
        frame();
    }

    // Clicks into the field, selects what it holds, types the text and presses Enter.
    // With ctrl held, a click turns a drag field into a text field.
    void typeInto(ImGuiID field, const std::string& text, bool ctrlClick = false) {
        if (ctrlClick) ImGui::GetIO().AddKeyEvent(ImGuiMod_Ctrl, true);
        clickInTab(field);
        ImGui::GetIO().AddKeyEvent(ImGuiMod_Ctrl, false);
        frame();
        ASSERT_EQ(GImGui->ActiveId, field) << "the field did not take the keyboard";
        ImGui::GetIO().AddKeyEvent(ImGuiMod_Ctrl, true);
        key(ImGuiKey_A);
        ImGui::GetIO().AddKeyEvent(ImGuiMod_Ctrl, false);
        ImGui::GetIO().AddInputCharactersUTF8(text.c_str());
        frame();
        key(ImGuiKey_Enter);
        frames(2);
    }

    std::vector<std::string> cardNames() const {
        std::vector<std::string> names;
        for (const core::CardSettings& settings : ui_->pending().cards) names.push_back(settings.name);
        return names;
    }

    const core::CardSettings* pendingCard(const std::string& name) const {
        for (const core::CardSettings& settings : ui_->pending().cards) {
            if (settings.name == name) return &settings;
        }
        return nullptr;
    }

    // The texts of one table row: from the name in its first cell down to the next text in
    // that column, or the next row's top. A row of a two-member card is two lines high.
    std::vector<TextRun> rowText(const std::string& name) const {
        const std::vector<TextRun> runs = tabText();
        std::vector<TextRun> row;
        const auto first = std::find_if(runs.begin(), runs.end(), [&](const TextRun& run) { return run.text == name; });
        if (first == runs.end()) return row;
        const float top = first->rect.Min.y - 0.5f * ImGui::GetFrameHeight();
        float bottom = 1e9f;
        for (const TextRun& run : runs) {
            if (run.rect.Min.y > first->rect.Max.y && std::fabs(run.rect.Min.x - first->rect.Min.x) < 2.0f) {
                bottom = std::min(bottom, run.rect.Min.y - 0.5f * ImGui::GetFrameHeight());
            }
        }
        for (const TextRun& run : runs) {
            const float y = run.rect.GetCenter().y;
            if (y >= top && y < bottom) row.push_back(run);
        }
        return row;
    }
};

TEST_F(CardsTabTest, AddFormMakesStereoSplitAndMonoCardsFromOneSoundCard) {
    startOn(kCardsTab, emptySettings());
    EXPECT_TRUE(shows(english(UiText::CardsHelp)));
    ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), english(UiText::NoCardsYet), kDimColour));

    // The four-channel output, channels 3 + 4, as one stereo card named by the user.
    choose(cardsId("##adddev"), kQuad.name);
    EXPECT_EQ(ui_->addCardForm().deviceIndex, 1);
    choose(cardsId("##pair"), "3 + 4");
    typeInto(cardsId("##addname"), "Lounge");
    clickInTab(cardsId("###stereo"));
    ASSERT_EQ(cardNames(), (std::vector<std::string>{"Lounge"}));
    EXPECT_EQ(outputsOf(ui_->pending().cards[0].members), outputsOf({member(kQuad.key, 2), member(kQuad.key, 3)}));
    EXPECT_EQ(ui_->addCardForm().name[0], '\0') << "a card made empties the name field";
    EXPECT_FALSE(message().has_value() && message()->colour == packed(kErrorColour));

    // Channels 1 + 2 split into two mono cards.
    choose(cardsId("##pair"), "1 + 2");
    typeInto(cardsId("##addname"), "Desk");
    clickInTab(cardsId("###split"));
    ASSERT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Desk L", "Desk R"}));
    EXPECT_EQ(outputsOf(pendingCard("Desk L")->members), outputsOf({member(kQuad.key, 0)}));
    EXPECT_EQ(outputsOf(pendingCard("Desk R")->members), outputsOf({member(kQuad.key, 1)}));

    // Another sound card starts again at its first pair and channel.
    ui_->addCardForm().monoChannelIndex = 3;
    choose(cardsId("##adddev"), kStereo.name);
    EXPECT_EQ(ui_->addCardForm().pairIndex, 0);
    EXPECT_EQ(ui_->addCardForm().monoChannelIndex, 0);
    // Its one pair is the only item; its two channels the only mono choices.
    openCombo(cardsId("##pair"));
    EXPECT_EQ(comboItems(), (std::vector<std::string>{"1 + 2"}));
    closePopup();
    choose(cardsId("##monoch"), channelText(UiLanguage::English, 2));
    // No name typed: the sound card's own name, made unique by the second click.
    clickInTab(cardsId("###mono"));
    ui_->addCardForm().monoChannelIndex = 0;
    frame();
    clickInTab(cardsId("###mono"));
    ASSERT_EQ(ui_->pending().cards.size(), 5u);
    EXPECT_EQ(ui_->pending().cards[3].name, kStereo.name);
    EXPECT_EQ(outputsOf(ui_->pending().cards[3].members), outputsOf({member(kStereo.key, 1)}));
    EXPECT_EQ(ui_->pending().cards[4].name, kStereo.name + " 2");
    EXPECT_EQ(outputsOf(ui_->pending().cards[4].members), outputsOf({member(kStereo.key, 0)}));

    // The table: type, outputs with Left/Right in the dim colour, delays, and "-" for cards
    // not applied yet.
    frame();
    const std::vector<TextRun> lounge = rowText("Lounge");
    EXPECT_TRUE(findRun(lounge, "Stereo").has_value());
    ASSERT_NO_FATAL_FAILURE(expectShown(lounge, "Left:", kDimColour));
    EXPECT_TRUE(findRun(lounge, outputText(kQuad, 3)).has_value());
    ASSERT_TRUE(findRun(lounge, "Right:").has_value());
    // In a narrow window the column cuts the sound card's name, never the channel; hovering
    // shows the line whole.
    ImGui::GetIO().DisplaySize = ImVec2(720.0f, 600.0f);
    frames(2);
    const std::string channel = ", " + channelText(UiLanguage::English, 4);
    const std::string rightOutput = outputText(kQuad, 4);
    const std::vector<TextRun> narrow = rowText("Lounge");
    const std::optional<TextRun> narrowRight = findRun(narrow, "Right:");
    ASSERT_TRUE(narrowRight.has_value());
    std::vector<TextRun> line;  // the pieces right of "Right:", left to right
    for (const TextRun& run : narrow) {
        if (run.rect.Min.x > narrowRight->rect.Max.x && std::fabs(run.rect.Max.y - narrowRight->rect.Max.y) < 2.0f)
            line.push_back(run);
    }
    std::sort(line.begin(), line.end(), [](const TextRun& a, const TextRun& b) { return a.rect.Min.x < b.rect.Min.x; });
    ASSERT_FALSE(line.empty());
    std::string shown;
    for (const TextRun& run : line) shown += run.text;
    ASSERT_GE(shown.size(), channel.size());
    EXPECT_NE(shown, rightOutput) << "at this width the name has to be cut";
    EXPECT_TRUE(shown.ends_with(channel)) << shown;
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(line.front().rect.GetCenter(), rightOutput));
    ImGui::GetIO().DisplaySize = ImVec2(800.0f, 600.0f);
    moveMouse(ImVec2(0.0f, 0.0f));
    frames(2);
    EXPECT_TRUE(findRun(lounge, "0.0 ms").has_value());
    ASSERT_NO_FATAL_FAILURE(expectShown(lounge, "-", kDimColour));
    const std::vector<TextRun> desk = rowText("Desk L");
    EXPECT_TRUE(findRun(desk, "Mono").has_value());
    EXPECT_TRUE(findRun(desk, english(UiText::LeftPlusRight)).has_value());
    EXPECT_FALSE(findRun(desk, "Left:").has_value()) << "a mono card's output has no side";
    EXPECT_FALSE(findRun(tabText(), english(UiText::NoCardsYet)).has_value());

    // Applied, they are ready on running outputs.
    clickButton("###apply");
    frames(2);
    ASSERT_NO_FATAL_FAILURE(expectShown(rowText("Lounge"), "Ready", kAccentColour));
}

TEST_F(CardsTabTest, RefusedAddsAndJoinsShowTheirTextInRedAndKeepTheName) {
    startOn(kCardsTab, twoCards());

    // 63 bytes: room for one card, not for the " L" and " R" of a split.
    const std::string longName(63, 'x');
    choose(cardsId("##adddev"), kQuad.name);
    typeInto(cardsId("##addname"), longName);
    clickInTab(cardsId("###split"));
    expectMessage(core::editResultText(0, core::EditResult::NameLength), kErrorColour);
    EXPECT_EQ(std::string(ui_->addCardForm().name), longName) << "the typed name stays for correcting";
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch"}));

    // Channels 3 + 4: Porch plays on channel 3.
    choose(cardsId("##pair"), "3 + 4");
    typeInto(cardsId("##addname"), "Garden");
    clickInTab(cardsId("###stereo"));
    expectMessage(core::editResultText(0, core::EditResult::OutputTaken), kErrorColour);
    EXPECT_EQ(std::string(ui_->addCardForm().name), "Garden");
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch"}));

    // The join form offers every channel of both outputs; the same one twice is refused.
    const std::string quad1 = outputText(kQuad, 1);
    ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), english(UiText::JoinTwoOutputs), kAccentColour));
    openCombo(cardsId("##joinl"));
    EXPECT_EQ(comboItems().size(), 6u);
    closePopup();
    choose(cardsId("##joinl"), quad1);
    // The combo is narrower than the output's name; hovering shows it whole.
    const std::optional<ImVec2> combo = pointOf(tabsChild(), cardsId("##joinl"));
    ASSERT_TRUE(combo.has_value());
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(*combo, quad1));
    choose(cardsId("##joinr"), quad1);
    typeInto(cardsId("##joinname"), "Wide");
    clickInTab(cardsId("###join"));
    expectMessage(core::editResultText(0, core::EditResult::SameOutput), kErrorColour);
    EXPECT_EQ(std::string(ui_->joinForm().name), "Wide");
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch"}));

    // Fixed: the join succeeds, the field empties and the error goes.
    choose(cardsId("##joinr"), outputText(kQuad, 2));
    clickInTab(cardsId("###join"));
    ASSERT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch", "Wide"}));
    EXPECT_EQ(outputsOf(pendingCard("Wide")->members), outputsOf({member(kQuad.key, 0), member(kQuad.key, 1)}));
    EXPECT_EQ(ui_->joinForm().name[0], '\0');
    expectMessage(english(UiText::ChangesNotAppliedYet), kWarningColour);

    // Without a name the joined card is called "Stereo"; Lounge's delete frees its outputs.
    clickInTab(rowId("0000000a", "###delete"));
    ASSERT_EQ(cardNames(), (std::vector<std::string>{"Porch", "Wide"}));
    choose(cardsId("##joinl"), outputText(kStereo, 2));
    choose(cardsId("##joinr"), outputText(kStereo, 1));
    clickInTab(cardsId("###join"));
    ASSERT_EQ(cardNames(), (std::vector<std::string>{"Porch", "Wide", "Stereo"}));
    EXPECT_EQ(outputsOf(pendingCard("Stereo")->members), outputsOf({member(kStereo.key, 1), member(kStereo.key, 0)}));
}

TEST_F(CardsTabTest, TableEditsNamesMonoMixAndDelaysAndDeletes) {
    startOn(kCardsTab, twoCards());

    // A name another card has: the apply bar names the issue and Apply stays off.
    typeInto(rowId("0000000b", "##name"), "Lounge");
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Lounge"}));
    expectMessage("Fix these first: " + std::string(core::issueText(0, core::IssueCode::CardNameDuplicate)),
                  kErrorColour);
    EXPECT_FALSE(buttonEnabled("###apply"));
    typeInto(rowId("0000000b", "##name"), "Porch 2");
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch 2"}));
    EXPECT_TRUE(buttonEnabled("###apply"));

    // A typed delay is held to 0 .. 500 ms.
    typeInto(delayId("0000000a", 1), "600", true);
    EXPECT_EQ(ui_->pending().cards[0].members[1].delayMs, 500.0);
    EXPECT_EQ(ui_->pending().cards[0].members[0].delayMs, 0.0) << "each member has its own field";
    EXPECT_TRUE(findRun(rowText("Lounge"), "500.0 ms").has_value());
    typeInto(delayId("0000000a", 0), "12.5", true);
    EXPECT_EQ(ui_->pending().cards[0].members[0].delayMs, 12.5);
    typeInto(delayId("0000000a", 0), "-3", true);
    EXPECT_EQ(ui_->pending().cards[0].members[0].delayMs, 0.0);

    // The mono mix of the one-member card.
    choose(rowId("0000000b", "##mono"), english(UiText::RightOnly));
    EXPECT_EQ(ui_->pending().cards[1].mono, core::MonoMode::Right);

    // Delete, then Undo brings the card back with the rest of the applied settings.
    clickButton("###apply");
    frames(2);
    clickInTab(rowId("0000000b", "###delete"));
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge"}));
    frame();
    expectMessage(english(UiText::ChangesNotAppliedYet), kWarningColour);
    clickButton("###undo");
    frames(2);
    EXPECT_EQ(cardNames(), (std::vector<std::string>{"Lounge", "Porch 2"}));
    EXPECT_EQ(ui_->pending().cards[1].mono, core::MonoMode::Right);
    EXPECT_TRUE(findRun(rowText("Porch 2"), english(UiText::RightOnly)).has_value());
}

// At the window's own size and at 800 x 600, in every language: each output's channel, each
// mono mix, each state and each button label shows whole; the sound card's name is what gives.
TEST_F(CardsTabTest, ChannelsMonoMixesAndStatesShowWholeInEveryLanguageAtTheWindowsSizes) {
    core::Settings settings = emptySettings();
    settings.cards = {card("0000000a", "Lounge", {member(kQuad.key, 0), member(kQuad.key, 1)}),
                      card("0000000b", "Porch", {member(kQuad.key, 2)}),
                      card("0000000c", "Garden", {member(kStereo.key, 0), member(kQuad.key, 3)})};
    const std::pair<const char*, UiLanguage> languages[] = {{"en", UiLanguage::English},
                                                            {"nl", UiLanguage::Dutch},
                                                            {"de", UiLanguage::German}};
    for (const auto& [code, language] : languages) {
        for (const ImVec2 size : {ImVec2(1092.0f, 693.0f), ImVec2(800.0f, 600.0f)}) {
            SCOPED_TRACE(std::string(code) + " at " + std::to_string(static_cast<int>(size.x)));
            ImGui::GetIO().DisplaySize = size;
            settings.language = code;
            startOn(kCardsTab, settings);
            frames(2);
            const ImGuiTable* table = ImGui::TableFindByID(cardsId("##cards"));
            ASSERT_NE(table, nullptr);
            // Whole: drawn as it is, inside its column.
            auto shownWhole = [&](const std::vector<TextRun>& row, int column, const std::string& whole,
                                  bool atTheEnd) {
                return std::any_of(row.begin(), row.end(), [&](const TextRun& run) {
                    const bool found = atTheEnd ? run.text.ends_with(whole) : run.text == whole;
                    return found && run.rect.Min.x >= table->Columns[column].MinX - 0.5f &&
                           run.rect.Max.x <= table->Columns[column].ClipRect.Max.x + 0.5f;
                });
            };
            for (const core::CardSettings& card : settings.cards) {
                const std::vector<TextRun> row = rowText(card.name);
                for (const core::CardMember& member : card.members) {
                    EXPECT_TRUE(shownWhole(row, 2, ", " + channelText(language, member.channel + 1), true))
                        << card.name << " " << member.channel;
                }
                EXPECT_TRUE(shownWhole(row, 5, inLanguage(language, UiText::Ready), false)) << card.name;
            }
            EXPECT_TRUE(shownWhole(rowText("Porch"), 3, inLanguage(language, UiText::LeftPlusRight), false));
            // Button labels, whole.
            for (const UiText button : {UiText::Delete, UiText::OneMonoCard, UiText::Join})
                EXPECT_TRUE(findRun(tabText(), inLanguage(language, button)).has_value()) << uiText(language, button);
            for (const UiText button : {UiText::Apply, UiText::UndoChanges})
                EXPECT_TRUE(findRun(readText(host()), inLanguage(language, button)).has_value())
                    << uiText(language, button);
            // The join form's choices of output: the channel beside "Left from" and "Right from".
            const std::vector<TextRun> tab = tabText();
            for (const UiText side : {UiText::LeftFrom, UiText::RightFrom}) {
                const std::optional<TextRun> label = findRun(tab, inLanguage(language, side));
                ASSERT_TRUE(label.has_value());
                std::string line;
                for (const TextRun& run : tab) {
                    if (run.rect.Min.x > label->rect.Max.x &&
                        std::fabs(run.rect.GetCenter().y - label->rect.GetCenter().y) < 0.5f * ImGui::GetFontSize())
                        line += run.text;
                }
                bool endsWithAChannel = false;
                for (unsigned oneBased = 1; oneBased <= 4; ++oneBased) {
                    endsWithAChannel = endsWithAChannel || line.ends_with(", " + channelText(language, oneBased));
                }
                EXPECT_TRUE(endsWithAChannel) << line;
            }
        }
    }
}

// In a narrow window every text of the Cards, Status and About tabs and of the Apply bar stays
// inside it, broken into lines at spaces: a file name such as LICENSE.txt stays whole.
TEST_F(CardsTabTest, TextsWrapAtSpacesInsideANarrowWindowInEveryLanguage) {
    for (const char* code : {"en", "nl", "de"}) {
        SCOPED_TRACE(code);
        ImGui::GetIO().DisplaySize = ImVec2(360.0f, 1400.0f);
        start(emptySettings(code));
        ui_->pending().devices[1].enabled = false;  // a pending change: the Apply bar says so
        for (const int tab : {kCardsTab, kStatusTab, kAboutTab}) {
            openTab(tab);
            frames(2);
            for (const TextRun& run : tabText())
                EXPECT_LE(run.rect.Max.x, tabsChild()->InnerClipRect.Max.x + 0.5f) << run.text << " runs off";
        }
        const std::vector<TextRun> bar = readText(host());
        ASSERT_FALSE(bar.empty());
        for (const TextRun& run : bar)
            EXPECT_LE(run.rect.Max.x, host()->InnerClipRect.Max.x + 0.5f) << run.text << " runs off";
        // Wherever the lines happen to break, at any width.
        openTab(kAboutTab);
        for (float width = 300.0f; width <= 1200.0f; width += 10.0f) {
            ImGui::GetIO().DisplaySize = ImVec2(width, 1400.0f);
            frames(2);
            std::string all;
            for (const TextRun& run : tabText()) all += run.text + "\n";
            EXPECT_NE(all.find("LICENSE.txt"), std::string::npos) << width << "\n" << all;
            EXPECT_NE(all.find("THIRD-PARTY-NOTICES.txt"), std::string::npos) << width << "\n" << all;
        }
    }
}

TEST_F(CardsTabTest, FormsOfferOnlyWhatTheSoundCardsHave) {
    // Sound cards that are off offer nothing: neither form is drawn.
    core::Settings off = twoCards();
    off.devices[0].enabled = false;
    off.devices[1].enabled = false;
    startOn(kCardsTab, off);
    EXPECT_TRUE(shows("Lounge"));
    EXPECT_FALSE(shows(english(UiText::AddFrom)));
    EXPECT_FALSE(shows(english(UiText::JoinTwoOutputs)));

    // A one-channel sound card: only a mono card, and no second output to join.
    useRouter({kSingle}, false, L"Local\\qova-cardstest");
    startOn(kCardsTab, settingsWith("en", {deviceSettings(kSingle, true)}));
    EXPECT_TRUE(shows(english(UiText::AddFrom)));
    EXPECT_TRUE(shows(english(UiText::OneMonoCard)));
    EXPECT_FALSE(shows(english(UiText::OneStereoCard)));
    EXPECT_FALSE(shows(english(UiText::SplitIntoTwoMonoCards)));
    EXPECT_FALSE(shows("1 + 2"));
    EXPECT_FALSE(shows(english(UiText::JoinTwoOutputs)));
    clickInTab(cardsId("###mono"));
    EXPECT_EQ(cardNames(), (std::vector<std::string>{kSingle.name}));
}

// Everything on the Status tab comes from a real player in another process.
TEST_F(CardsTabTest, StatusShowsACardPlayedByQovaPlayerWithItsBufferAndDropouts) {
    start(twoCards());
    const std::wstring pipe = L"\\\\.\\pipe\\qova-cardstab-test-" + std::to_wstring(GetCurrentProcessId());
    win::ControlServer server(*router_, [this](std::uint64_t client) { router_->clientGone(client); });
    std::string error;
    ASSERT_TRUE(server.start(pipe, error)) << error;

    openTab(kStatusTab);
    EXPECT_TRUE(shows(english(UiText::PlayersHelp)));
    ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), english(UiText::NoPlayerUsing), kDimColour));
    // The running outputs with their latency.
    for (const win::DeviceStatus& device : ui_->devices()) {
        ASSERT_EQ(device.state, win::DeviceState::Open) << device.info.key;
        ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), device.info.name, kAccentColour));
        const std::string line =
            printed("%s, %.1f ms", device.description.c_str(), device.latency * 1000.0 / device.rate);
        ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), line, kDimColour));
    }

    AsyncProgram player(L"qova-player.exe", L"--pipe " + pipe + L" play Lounge --tone 440 --seconds 3");
    ASSERT_TRUE(player.started());
    framesUntil([&] { return shows("qova-player"); }, 10s);
    // Let it play a little, so the ring has been written and read.
    for (int i = 0; i < 20; ++i) {
        frame();
        std::this_thread::sleep_for(10ms);
    }
    const auto lounge = std::find_if(ui_->cards().begin(), ui_->cards().end(),
                                     [](const win::CardStatus& status) { return status.name == "Lounge"; });
    ASSERT_NE(lounge, ui_->cards().end());
    ASSERT_TRUE(lounge->playing);
    EXPECT_GT(lounge->target, 0u);
    const std::vector<TextRun> row = rowText("Lounge");
    EXPECT_TRUE(findRun(row, "qova-player").has_value());
    const std::string buffer =
        printed("%.1f / %.1f ms", lounge->fill * 1000.0 / 48000.0, lounge->target * 1000.0 / 48000.0);
    EXPECT_TRUE(findRun(row, buffer).has_value()) << buffer;
    const std::uint64_t lost = lounge->underrunFrames + lounge->farDropFrames;
    const std::string dropouts = printed("%.0f ms", lost * 1000.0 / 48000.0);
    ASSERT_NO_FATAL_FAILURE(expectShown(row, dropouts, lost > 0 ? kWarningColour : kOkColour));
    EXPECT_FALSE(shows(english(UiText::NoPlayerUsing)));
    EXPECT_FALSE(shows("Porch")) << "only cards in use are listed";

    // The same card on the Cards tab: playing, in green, the player's name on hover.
    openTab(kCardsTab);
    const std::optional<TextRun> playing = findRun(rowText("Lounge"), english(UiText::Playing));
    ASSERT_TRUE(playing.has_value());
    EXPECT_EQ(playing->colour, packed(kOkColour));
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(playing->rect.GetCenter(), "qova-player"));

    const ProcessResult result = player.finish(15000);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    openTab(kStatusTab);
    framesUntil([&] { return shows(english(UiText::NoPlayerUsing)); }, 5s);
    EXPECT_TRUE(shows(english(UiText::NoPlayerUsing))) << "the card is free again";
    server.stop();
}

TEST_F(CardsTabTest, LanguagePickerShowsTheExactCodesAndStoresTheChoice) {
    start(twoCards("nl-NL"));
    EXPECT_EQ(ui_->language(), UiLanguage::Dutch);
    openTab(kAboutTab);
    const std::string sameAsWindows(uiText(UiLanguage::Dutch, UiText::SameAsWindows));
    EXPECT_TRUE(shows(inLanguage(UiLanguage::Dutch, UiText::Language)));
    EXPECT_TRUE(shows(sameAsWindows)) << "nl-NL is Dutch, but not one of the entries";

    openCombo(aboutId("##lang"));
    EXPECT_EQ(comboItems(), (std::vector<std::string>{sameAsWindows, "English", "Nederlands", "Deutsch"}));
    closePopup();
    choose(aboutId("##lang"), "Nederlands");
    EXPECT_EQ(ui_->applied().language, "nl");
    EXPECT_EQ(savedSettings().language, "nl");
    EXPECT_TRUE(shows("Nederlands"));
    EXPECT_FALSE(shows(sameAsWindows));
    EXPECT_FALSE(buttonEnabled("###apply")) << "a language is never a pending change";

    choose(aboutId("##lang"), "Deutsch");
    EXPECT_EQ(ui_->language(), UiLanguage::German);
    EXPECT_EQ(savedSettings().language, "de");
    frames(2);
    EXPECT_TRUE(shows(inLanguage(UiLanguage::German, UiText::OpenTheLog)));

    choose(aboutId("##lang"), inLanguage(UiLanguage::German, UiText::SameAsWindows));
    EXPECT_EQ(savedSettings().language, "");
}

// Renames a file for the life of the object, so a test can take it away for a moment.
class HiddenFile {
public:
    explicit HiddenFile(std::wstring path) : path_(std::move(path)), aside_(path_ + L".hidden-by-test") {
        moved_ = MoveFileW(path_.c_str(), aside_.c_str()) != 0;
    }
    ~HiddenFile() {
        if (moved_) MoveFileW(aside_.c_str(), path_.c_str());
    }
    HiddenFile(const HiddenFile&) = delete;
    HiddenFile& operator=(const HiddenFile&) = delete;
    bool moved() const { return moved_; }

private:
    std::wstring path_;
    std::wstring aside_;
    bool moved_ = false;
};

TEST_F(CardsTabTest, AboutShowsVersionNoticesAndOnlyTheLicenceButtonsWhoseFilesExist) {
    startOn(kAboutTab, twoCards());
    ASSERT_NO_FATAL_FAILURE(expectShown(tabText(), "QOVA 0.1.2", kAccentColour));
    ASSERT_NO_FATAL_FAILURE(expectShown(
        tabText(),
        "ASIO is a trademark of Steinberg Media Technologies GmbH, registered in Europe and other countries.",
        kDimColour));

    const std::wstring folder = binaryFolder();
    ASSERT_TRUE(fileExists(folder + L"\\LICENSE.txt"));
    ASSERT_TRUE(fileExists(folder + L"\\THIRD-PARTY-NOTICES.txt"));
    const std::optional<TextRun> licence = findRun(tabText(), english(UiText::Licence));
    const std::optional<TextRun> notices = findRun(tabText(), english(UiText::ThirdPartyLicences));
    ASSERT_TRUE(licence.has_value());
    ASSERT_TRUE(notices.has_value());
    EXPECT_NEAR(licence->rect.GetCenter().y, notices->rect.GetCenter().y, 0.5f * ImGui::GetFontSize()) << "on one line";
    EXPECT_TRUE(shows(english(UiText::OpenTheLog)));

    // The box shows the Run value, read back on every frame, and writes it when clicked.
    ASSERT_TRUE(setStartWithWindows(false));
    frame();
    EXPECT_TRUE(shows(english(UiText::StartWithWindows)));
    clickInTab(aboutId("###startWithWindows"));
    EXPECT_TRUE(isStartWithWindowsOn());
    setStartWithWindows(false);
    frame();
    clickInTab(aboutId("###startWithWindows"));
    EXPECT_TRUE(isStartWithWindowsOn()) << "a change made elsewhere shows at once";
    clickInTab(aboutId("###startWithWindows"));
    EXPECT_FALSE(isStartWithWindowsOn());

    {
        const HiddenFile hidden(folder + L"\\THIRD-PARTY-NOTICES.txt");
        ASSERT_TRUE(hidden.moved());
        frame();
        EXPECT_TRUE(shows(english(UiText::Licence)));
        EXPECT_FALSE(shows(english(UiText::ThirdPartyLicences)));
        const HiddenFile both(folder + L"\\LICENSE.txt");
        ASSERT_TRUE(both.moved());
        frame();
        EXPECT_FALSE(shows(english(UiText::Licence)));
    }
    frame();
    EXPECT_TRUE(shows(english(UiText::Licence)));
    EXPECT_TRUE(shows(english(UiText::ThirdPartyLicences)));
}

}  // namespace
}  // namespace app
