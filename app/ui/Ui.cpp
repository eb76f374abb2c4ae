#include "app/ui/Ui.h"

#include <string>
#include <iterator>
#include <utility>

#include "app/shell/ConfigFile.h"
#include "app/ui/Tabs.h"
#include "app/ui/Widgets.h"
#include "core/settings/SettingsFile.h"
#include "core/settings/Validation.h"

namespace app {
namespace {

struct TabEntry {
    UiText label;
    const char* id;  // "###…", so the tab keeps its id when the language changes
};

constexpr TabEntry kTabs[] = {
    {UiText::SoundCards, "###soundCards"},
    {UiText::CardsForPlayerApp, "###cards"},
    {UiText::Status, "###status"},
    {UiText::About, "###about"},
};
static_assert(std::size(kTabs) == kTabCount);

constexpr ImGuiWindowFlags kHostWindowFlags =
    ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollbar |
    ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus;

UiLanguage languageFor(std::string_view code) {
    return languageOfCode(code.empty() ? std::string_view(windowsLanguageCode()) : code);
}

using TabContents = void (*)(Ui&);
constexpr TabContents kTabContents[] = {drawSoundCardsTab, drawCardsTab, drawStatusTab, drawAboutTab};
static_assert(std::size(kTabContents) == kTabCount);

}  // namespace

Ui::Ui(win::Router* router, core::Settings settings)
    : router_(router), applied_(std::move(settings)), pending_(applied_), language_(languageFor(applied_.language)) {
    std::random_device source;
    random_.seed(source());
}

void Ui::draw() {
    win::StatusSnapshot snapshot = router_->statusSnapshot();
    devices_ = std::move(snapshot.devices);
    cards_ = std::move(snapshot.cards);

    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->WorkPos);
    ImGui::SetNextWindowSize(viewport->WorkSize);
    if (ImGui::Begin("##qova", nullptr, kHostWindowFlags)) {
        drawTabs();
        ImGui::Separator();
        drawApplyBar();
    }
    ImGui::End();
}

void Ui::drawTabs() {
    // The bottom 2.6 frame heights are the apply bar's.
    if (ImGui::BeginChild("##tabs", ImVec2(0.0f, -2.6f * ImGui::GetFrameHeightWithSpacing()))) {
        if (ImGui::BeginTabBar("##main")) {
            for (int tab = 0; tab < kTabCount; ++tab) {
                const std::string tabLabel = label(language_, kTabs[tab].label, kTabs[tab].id);
                const ImGuiTabItemFlags flags = requestedTab_ == tab ? ImGuiTabItemFlags_SetSelected : 0;
                if (!ImGui::BeginTabItem(tabLabel.c_str(), nullptr, flags)) continue;
                kTabContents[tab](*this);
                ImGui::EndTabItem();
            }
            ImGui::EndTabBar();
            requestedTab_ = -1;
        }
    }
    ImGui::EndChild();
}

void Ui::drawApplyBar() {
    const std::vector<core::ValidationIssue> issues = core::validateSettings(pending_);
    // Edits that were set back again count as no change, hence the comparison of the texts.
    const bool unchanged = core::writeSettings(applied_) == core::writeSettings(pending_);

    bool appliedNow = false;
    ImGui::BeginDisabled(unchanged || !issues.empty());
    if (ImGui::Button(label(language_, UiText::Apply, "###apply").c_str())) appliedNow = applyPending();
    ImGui::EndDisabled();

    ImGui::SameLine();
    ImGui::BeginDisabled(unchanged);
    if (ImGui::Button(label(language_, UiText::UndoChanges, "###undo").c_str())) {
        pending_ = applied_;
        status_ = Status::None;
    }
    ImGui::EndDisabled();

    ImGui::SameLine();
    const int languageNumber = static_cast<int>(language_);
    if (!issues.empty()) {
        const std::string_view fixFirst = uiText(language_, UiText::FixTheseFirst);
        wrappedText(std::string(fixFirst) + " " + core::issueText(languageNumber, issues.front().code), kErrorColour);
        if (issues.size() > 1 && ImGui::BeginItemTooltip()) {
            std::string list;
            for (const core::ValidationIssue& issue : issues) {
                list += core::issueText(languageNumber, issue.code);
                list += '\n';
            }
            ImGui::TextUnformatted(list.c_str(), list.c_str() + list.size());
            ImGui::EndTooltip();
        }
    } else if (status_ != Status::None) {
        wrappedText(statusText(), status_ == Status::Applied      ? kOkColour
                                  : status_ == Status::EditFailed ? kErrorColour
                                                                  : kWarningColour);
    } else if (!unchanged) {
        wrappedText(uiText(language_, UiText::ChangesNotAppliedYet), kWarningColour);
    }

    // "Applied." stays until the first edit after it. unchanged still describes the frame
    // before an Apply pressed just now, so that frame must not count as an edit.
    if (!unchanged && !appliedNow && status_ != Status::EditFailed) status_ = Status::None;
}

std::string Ui::statusText() const {
    switch (status_) {
    case Status::None: return {};
    case Status::Applied: return std::string(uiText(language_, UiText::Applied));
    case Status::AppliedNotSaved: return std::string(uiText(language_, UiText::AppliedNotSaved));
    case Status::AppliedFileKept: return std::string(uiText(language_, UiText::AppliedFileKept));
    case Status::EditFailed: return core::editResultText(static_cast<int>(language_), editFailure_);
    }
    return {};
}

bool Ui::applyPending() {
    if (!router_->apply(pending_).empty()) return false;
    applied_ = pending_;
    switch (saveSettings(applied_)) {
    case SaveOutcome::Saved: status_ = Status::Applied; break;
    case SaveOutcome::Failed: status_ = Status::AppliedNotSaved; break;
    case SaveOutcome::Withheld: status_ = Status::AppliedFileKept; break;
    }
    return true;
}

void Ui::showEditResult(core::EditResult result) {
    editFailure_ = result;
    status_ = result == core::EditResult::Success ? Status::None : Status::EditFailed;
}

void Ui::setLanguage(std::string_view code) {
    applied_.language = code;
    pending_.language = code;
    language_ = languageFor(code);
    saveSettings(applied_);
}

std::uint32_t Ui::nextRandom() {
    return static_cast<std::uint32_t>(random_());
}

void Ui::setLogo(ID3D11ShaderResourceView* view, int width, int height) {
    logo_ = view;
    logoWidth_ = width;
    logoHeight_ = height;
}

}  // namespace app
