#pragma once

// The contents of the settings window: the four tabs, and under them the apply bar with its
// status line. The Ui keeps two copies of the settings: `applied`, which the router runs and
// config.json holds, and `pending`, which the tabs edit freely until Apply (or Undo changes
// throws the edits away). The language is the exception: it takes effect and is saved at once.
// UI thread only; drawn with Dear ImGui once per frame, between NewFrame and Render.
//
// Widget ids stay the same in every language (the visible label comes before the "###"):
//   "##qova"   the host window, filling the main viewport's work area
//   "##tabs"   the child holding the tab bar, everything but the apply bar
//   "##main"   the tab bar; its tabs "###soundCards", "###cards", "###status", "###about"
//   "###apply" and "###undo"   the two buttons of the apply bar, in the host window

#include <imgui.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/Localisation.h"
#include "core/settings/CardEditing.h"
#include "core/settings/Settings.h"
#include "win/router/Router.h"

struct ID3D11ShaderResourceView;

namespace app {

// Colours shared by every tab.
inline constexpr ImVec4 kAccentColour{0.13f, 0.83f, 0.99f, 1.0f};   // headings, sound-card names, meters
inline constexpr ImVec4 kDimColour{0.62f, 0.66f, 0.74f, 1.0f};      // descriptions, hints, empty lists
inline constexpr ImVec4 kOkColour{0.35f, 0.85f, 0.45f, 1.0f};       // "Applied.", good states
inline constexpr ImVec4 kWarningColour{0.98f, 0.75f, 0.25f, 1.0f};  // pending changes, dropouts
inline constexpr ImVec4 kErrorColour{0.98f, 0.38f, 0.38f, 1.0f};    // failures, validation issues

// Tab numbers, as requestedTab and "--tab" count them.
inline constexpr int kSoundCardsTab = 0;
inline constexpr int kCardsTab = 1;
inline constexpr int kStatusTab = 2;
inline constexpr int kAboutTab = 3;
inline constexpr int kTabCount = 4;

// The Cards tab's form that adds cards from one sound card.
struct AddCardForm {
    int deviceIndex = 0;
    int pairIndex = 0;
    int monoChannelIndex = 0;
    char name[core::kMaxCardNameBytes + 1] = {};
};

// The Cards tab's form that joins two outputs into one stereo card.
struct JoinForm {
    int leftIndex = 0;
    int rightIndex = 1;
    char name[core::kMaxCardNameBytes + 1] = {};
};

class Ui {
public:
    // `router` must outlive the Ui. `settings` are the ones loaded at start-up, already
    // handed to the router's apply.
    Ui(win::Router* router, core::Settings settings);

    // Once per frame: takes a status snapshot, then draws the window.
    void draw();

    // "" (follow Windows), "en", "nl" or "de". Changes both copies and saves at once, so a
    // language change is never a pending change.
    void setLanguage(std::string_view code);

    // The outcome of a card edit: a failure shows in the status line until the next edit
    // result, Apply or Undo; a success clears the line.
    void showEditResult(core::EditResult result);

    // The next number of the generator from which new card ids are made.
    std::uint32_t nextRandom();

    // The engine, for what the tabs do at once: rescans, test tones, ASIO control panels.
    win::Router& router() { return *router_; }

    UiLanguage language() const { return language_; }
    const core::Settings& applied() const { return applied_; }
    core::Settings& pending() { return pending_; }
    const core::Settings& pending() const { return pending_; }

    // The status line's text in the current language ("" for none), and whether it tells
    // of a failed card edit.
    std::string statusText() const;
    bool statusIsError() const { return status_ == Status::EditFailed; }

    // From the last snapshot, replaced on every frame.
    const std::vector<win::DeviceStatus>& devices() const { return devices_; }
    const std::vector<win::CardStatus>& cards() const { return cards_; }
    // Displayed level of each channel's meter, by device key.
    std::map<std::string, std::vector<float>, std::less<>>& meters() { return meters_; }

    // The logo picture, owned by the shell, which keeps it alive while the Ui draws.
    void setLogo(ID3D11ShaderResourceView* view, int width, int height);
    ID3D11ShaderResourceView* logo() const { return logo_; }
    int logoWidth() const { return logoWidth_; }
    int logoHeight() const { return logoHeight_; }

    // Selects that tab (kSoundCardsTab ... kAboutTab) on the next frame only; -1 none.
    void requestTab(int tab) { requestedTab_ = tab; }
    int requestedTab() const { return requestedTab_; }

    AddCardForm& addCardForm() { return addCard_; }
    JoinForm& joinForm() { return join_; }

private:
    void drawTabs();
    void drawApplyBar();
    // True when the router took the pending settings.
    bool applyPending();

    win::Router* router_;
    core::Settings applied_;
    core::Settings pending_;
    UiLanguage language_ = UiLanguage::English;
    std::vector<win::DeviceStatus> devices_;
    std::vector<win::CardStatus> cards_;
    std::map<std::string, std::vector<float>, std::less<>> meters_;
    // What the status line tells of: kept as a fact, not a text, so that it follows a
    // change of language.
    enum class Status { None, Applied, AppliedNotSaved, AppliedFileKept, EditFailed };
    Status status_ = Status::None;
    core::EditResult editFailure_ = core::EditResult::Success;
    std::mt19937 random_;
    ID3D11ShaderResourceView* logo_ = nullptr;
    int logoWidth_ = 0;
    int logoHeight_ = 0;
    int requestedTab_ = -1;
    AddCardForm addCard_;
    JoinForm join_;
};

}  // namespace app
