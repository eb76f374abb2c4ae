#include "app/ui/Ui.h"

#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "UiHarness.h"
#include "app/shell/ConfigFile.h"
#include "app/shell/Folders.h"
#include "core/settings/SettingsFile.h"
#include "core/settings/Validation.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace app {
namespace {

using namespace ui_testing;
using testing_support::readFile;
using testing_support::writeFile;

// The stereo test output in use with one card on it; the four-channel one listed but off.
core::Settings startSettings() {
    core::Settings settings;
    settings.devices = {deviceSettings(kStereo, true), deviceSettings(kQuad, false)};
    settings.cards = {card("0000000a", "Lounge", {member(kStereo.key, 0), member(kStereo.key, 1)})};
    settings.language = "en";
    return settings;
}

class UiTest : public UiHarness {};

TEST_F(UiTest, ApplyAndUndoAreEnabledOnlyWhilePendingSettingsDiffer) {
    start(startSettings());
    EXPECT_EQ(texts(readText(host())), (std::vector<std::string>{"Apply", "Undo changes"}));
    expectApplyAndUndo(false, false);

    ui_->pending().devices[0].bufferFrames = 256;
    frame();
    expectApplyAndUndo(true, true);
    expectMessage(english(UiText::ChangesNotAppliedYet), kWarningColour);

    // Set back by hand, not by Undo: the same bytes again count as no change.
    ui_->pending().devices[0].bufferFrames = 0;
    frame();
    expectApplyAndUndo(false, false);
    EXPECT_FALSE(message().has_value());

    // A disabled Apply does nothing when clicked.
    const std::uint64_t builds = router_->buildCount();
    clickButton("###apply");
    EXPECT_EQ(router_->buildCount(), builds);
    EXPECT_FALSE(message().has_value());
}

TEST_F(UiTest, ApplyPutsSettingsInForceSavesThemAndSaysAppliedUntilTheNextEdit) {
    start(startSettings());
    ASSERT_EQ(ui_->devices().size(), 2u);
    EXPECT_EQ(ui_->devices()[1].state, win::DeviceState::Off) << "the four-channel output is off";
    const std::uint64_t builds = router_->buildCount();

    ui_->pending().devices[1].enabled = true;
    ui_->pending().devices[1].bufferFrames = 512;
    frame();
    clickButton("###apply");
    EXPECT_GT(router_->buildCount(), builds);
    EXPECT_EQ(core::writeSettings(ui_->applied()), core::writeSettings(ui_->pending()));
    EXPECT_EQ(readFile(configFilePath()), core::writeSettings(ui_->applied())) << "saved exactly";
    const core::Settings saved = savedSettings();
    ASSERT_EQ(saved.devices.size(), 2u);
    EXPECT_TRUE(saved.devices[1].enabled);

    // Still shown on the frames after the one in which Apply was pressed.
    frames(3);
    ASSERT_EQ(ui_->devices().size(), 2u);
    EXPECT_EQ(ui_->devices()[1].state, win::DeviceState::Open) << "open: " << ui_->devices()[1].problem;
    expectMessage("Applied.", kOkColour);
    expectApplyAndUndo(false, false);

    // The frame that first sees the edit still says "Applied." and then drops it.
    ui_->pending().cards[0].name = "Kitchen";
    frames(2);
    expectMessage(english(UiText::ChangesNotAppliedYet), kWarningColour);
    EXPECT_TRUE(ui_->statusText().empty());

    // Undoing that edit leaves no message: "Applied." is gone for good.
    ui_->pending().cards[0].name = "Lounge";
    frame();
    EXPECT_FALSE(message().has_value());
}

TEST_F(UiTest, IssuesShowTheFirstInRedAndTheTooltipListsThemAll) {
    start(startSettings());
    ui_->pending().devices[0].bufferFrames = 5;
    ui_->pending().cards[0].name = "";
    const std::string first = core::issueText(0, core::IssueCode::BufferOutOfRange);
    const std::string second = core::issueText(0, core::IssueCode::CardNameEmpty);
    frame();
    expectMessage("Fix these first: " + first, kErrorColour);
    expectApplyAndUndo(false, true);

    const TextRun shown = *message();
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(shown.rect.GetCenter(), first + "\n" + second));

    // With one issue left the line reads the same, and hovering it shows nothing more.
    ui_->pending().cards[0].name = "Lounge";
    frames(40);
    const std::optional<TextRun> oneIssue = message();
    ASSERT_TRUE(oneIssue.has_value());
    EXPECT_EQ(oneIssue->text, "Fix these first: " + first);
    EXPECT_EQ(oneIssue->colour, packed(kErrorColour));
    EXPECT_EQ(oneIssue->rect.GetCenter().x, shown.rect.GetCenter().x) << "still under the mouse";
    EXPECT_FALSE(tooltip().has_value());

    // Invalid settings loaded at start: nothing to undo, and still the red line.
    core::Settings invalid = startSettings();
    invalid.devices[0].periods = 1;
    ui_.reset();
    start(invalid);
    expectMessage("Fix these first: " + std::string(core::issueText(0, core::IssueCode::PeriodsOutOfRange)),
                  kErrorColour);
    expectApplyAndUndo(false, false);
}

TEST_F(UiTest, UndoRestoresEveryFieldAndClearsACardEditFailure) {
    start(startSettings());
    core::Settings& pending = ui_->pending();
    pending.devices[0].api = core::DeviceApi::Exclusive;
    pending.devices[0].sampleRate = 44100;
    pending.devices[0].bufferFrames = 128;
    pending.devices[0].periods = 3;
    pending.devices[0].name = "Renamed";
    pending.devices[1].enabled = true;
    pending.cards[0].name = "Kitchen";
    pending.cards[0].members[1].delayMs = 12.5;
    pending.cards[0].mono = core::MonoMode::Left;
    ASSERT_EQ(core::addMonoCard(pending, kQuad.key, 3, 4, "Porch", [this] { return ui_->nextRandom(); }),
              core::EditResult::Success);
    frame();

    ui_->showEditResult(core::EditResult::OutputTaken);
    frame();
    expectMessage(core::editResultText(0, core::EditResult::OutputTaken), kErrorColour);
    EXPECT_TRUE(ui_->statusIsError());

    clickButton("###undo");
    frame();
    EXPECT_EQ(core::writeSettings(ui_->pending()), core::writeSettings(startSettings()));
    EXPECT_TRUE(ui_->statusText().empty());
    EXPECT_FALSE(message().has_value());
    EXPECT_FALSE(buttonEnabled("###undo"));

    // A successful edit clears an earlier failure too.
    ui_->showEditResult(core::EditResult::NameLength);
    frame();
    expectMessage(core::editResultText(0, core::EditResult::NameLength), kErrorColour);
    ui_->showEditResult(core::EditResult::Success);
    frame();
    EXPECT_FALSE(message().has_value());
}

TEST_F(UiTest, LanguageSwitchIsSavedAtOnceAndKeepsEditsPending) {
    start(startSettings());
    EXPECT_EQ(ui_->language(), UiLanguage::English);
    EXPECT_EQ(tabLabels(),
              (std::vector<std::string>{"Sound cards", english(UiText::CardsForPlayerApp), "Status", "About"}));

    ui_->pending().devices[0].bufferFrames = 256;
    frame();
    ui_->setLanguage("de");
    EXPECT_EQ(ui_->language(), UiLanguage::German);
    const core::Settings saved = savedSettings();
    EXPECT_EQ(saved.language, "de");
    EXPECT_EQ(saved.devices[0].bufferFrames, 0u) << "the file holds the applied settings, not the edit";
    EXPECT_EQ(ui_->applied().language, "de");
    EXPECT_EQ(ui_->pending().language, "de");
    EXPECT_EQ(ui_->pending().devices[0].bufferFrames, 256u);

    const std::vector<std::string> germanTabs = {
        inLanguage(UiLanguage::German, UiText::SoundCards),
        inLanguage(UiLanguage::German, UiText::CardsForPlayerApp),
        inLanguage(UiLanguage::German, UiText::Status),
        inLanguage(UiLanguage::German, UiText::About),
    };
    // The next frame draws the new labels, but in the old tabs' widths: the tab bar sizes its
    // tabs one frame behind, so a longer label may end in an ellipsis (U+0085 in this font).
    frame();
    const std::vector<std::string> nextFrame = tabLabels();
    ASSERT_EQ(nextFrame.size(), germanTabs.size());
    for (std::size_t i = 0; i < germanTabs.size(); ++i) {
        std::string shown = nextFrame[i];
        if (shown.size() >= 2 && shown.compare(shown.size() - 2, 2, "\xc2\x85") == 0) shown.resize(shown.size() - 2);
        EXPECT_FALSE(shown.empty());
        EXPECT_EQ(germanTabs[i].compare(0, shown.size(), shown), 0) << nextFrame[i];
    }
    frame();
    EXPECT_EQ(tabLabels(), germanTabs);
    EXPECT_TRUE(buttonEnabled("###apply")) << "the buttons keep their ids in every language";
    expectMessage(inLanguage(UiLanguage::German, UiText::ChangesNotAppliedYet), kWarningColour);

    // Only the language changed on both sides: nothing pending once the edit is undone.
    clickButton("###undo");
    frame();
    EXPECT_EQ(ui_->pending().language, "de");
    EXPECT_FALSE(buttonEnabled("###apply"));
    EXPECT_FALSE(message().has_value());

    // "" follows Windows again and is saved as such.
    ui_->setLanguage("");
    EXPECT_EQ(savedSettings().language, "");
    EXPECT_EQ(ui_->language(), languageOfCode(windowsLanguageCode()));
}

// The status line is a fact, not a text: after a switch of language an edit still clears
// "Applied.", and a card-edit failure reads in the new language.
TEST_F(UiTest, TheStatusLineFollowsASwitchOfLanguage) {
    start(startSettings());
    ui_->pending().devices[0].bufferFrames = 256;
    frame();
    clickButton("###apply");
    frame();
    expectMessage("Applied.", kOkColour);
    ui_->setLanguage("nl");
    frame();
    expectMessage(inLanguage(UiLanguage::Dutch, UiText::Applied), kOkColour);
    ui_->pending().cards[0].name = "Keuken";
    frames(2);
    expectMessage(inLanguage(UiLanguage::Dutch, UiText::ChangesNotAppliedYet), kWarningColour);

    ui_->showEditResult(core::EditResult::OutputTaken);
    ui_->setLanguage("de");
    frame();
    expectMessage(core::editResultText(2, core::EditResult::OutputTaken), kErrorColour);
}

// A config.json that could not be read at start-up is the user's only copy: Apply puts the
// settings in force, leaves the file as it is and says so.
TEST_F(UiTest, ApplyLeavesAFileThatCouldNotBeReadAndSaysSo) {
    writeFile(configFilePath(), "the user's settings");
    {
        testing_support::HeldFile held(configFilePath());
        ASSERT_TRUE(loadSettings().cards.empty());
    }
    start(startSettings());
    ui_->pending().cards[0].name = "Kitchen";
    frame();
    clickButton("###apply");
    frame();
    EXPECT_EQ(ui_->applied().cards[0].name, "Kitchen");
    expectMessage(english(UiText::AppliedFileKept), kWarningColour);
    EXPECT_EQ(readFile(configFilePath()), "the user's settings");
}

TEST_F(UiTest, RequestedTabIsSelectedForOneFrameOnly) {
    start(startSettings());
    EXPECT_EQ(tabBar()->SelectedTabId, tabId("###soundCards"));

    ui_->requestTab(kStatusTab);
    frame();
    EXPECT_EQ(ui_->requestedTab(), -1);
    frames(2);
    EXPECT_EQ(tabBar()->SelectedTabId, tabId("###status"));

    click(tabsChild(), tabId("###cards"));
    frames(2);
    EXPECT_EQ(tabBar()->SelectedTabId, tabId("###cards"));

    click(tabsChild(), tabId("###about"));
    frames(2);
    EXPECT_EQ(tabBar()->SelectedTabId, tabId("###about"));
}

TEST_F(UiTest, RandomNumbersDifferBetweenUis) {
    start(startSettings());
    const std::uint32_t first[2] = {ui_->nextRandom(), ui_->nextRandom()};
    EXPECT_NE(first[0], first[1]);
    Ui other(router_.get(), startSettings());
    const std::uint32_t second[2] = {other.nextRandom(), other.nextRandom()};
    // One chance in 2^64 of a false alarm; a fixed seed would give the same numbers every time.
    EXPECT_FALSE(first[0] == second[0] && first[1] == second[1]);
}

}  // namespace
}  // namespace app
