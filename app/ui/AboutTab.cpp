// The About tab: version, notices, licence files, language, start with Windows, the log. The
// language and the Run value change at once, not at Apply.

#include <windows.h>

#include <shellapi.h>

#include <imgui.h>

#include <cmath>
#include <string>

#include "app/shell/Folders.h"
#include "app/shell/StartWithWindows.h"
#include "app/ui/Tabs.h"
#include "app/ui/Ui.h"
#include "app/ui/Widgets.h"
#include "core/Version.h"

namespace app {
namespace {

constexpr const char* kTrademarkNote =
    "ASIO is a trademark of Steinberg Media Technologies GmbH, registered in Europe and other countries.";
constexpr const wchar_t* kLicenceFile = L"LICENSE.txt";
constexpr const wchar_t* kNoticesFile = L"THIRD-PARTY-NOTICES.txt";

std::string text(const Ui& ui, UiText id) {
    return std::string(uiText(ui.language(), id));
}

// The folder of the running program with its final separator, where the build and the
// installer put the licence files.
std::wstring programFolder() {
    std::wstring path(260, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// With the user's program for that kind of file; a failure shows nothing.
void openFile(const std::wstring& path) {
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void drawLicenceButtons(const Ui& ui) {
    const std::wstring folder = programFolder();
    const std::wstring licence = folder + kLicenceFile;
    const std::wstring notices = folder + kNoticesFile;
    bool drawn = false;
    if (fileExists(licence)) {
        if (ImGui::Button(label(ui.language(), UiText::Licence, "###licence").c_str())) openFile(licence);
        drawn = true;
    }
    if (fileExists(notices)) {
        if (drawn) ImGui::SameLine();
        if (ImGui::Button(label(ui.language(), UiText::ThirdPartyLicences, "###notices").c_str())) openFile(notices);
    }
}

void drawLanguagePicker(Ui& ui) {
    // The language names stay in their own language, so anyone can find theirs.
    const std::string sameAsWindows = text(ui, UiText::SameAsWindows);
    const char* const names[] = {sameAsWindows.c_str(), "English", "Nederlands", "Deutsch"};
    const char* const codes[] = {"", "en", "nl", "de"};
    // Only the exact codes this picker writes select a language; "nl-NL" from a hand-edited
    // file still reads as Dutch, but is not one of these entries.
    int selected = 0;
    for (int i = 1; i < 4; ++i) {
        if (ui.applied().language == codes[i]) selected = i;
    }

    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted(text(ui, UiText::Language).c_str());
    ImGui::SameLine();
    ImGui::SetNextItemWidth(12.0f * ImGui::GetFontSize());
    if (!ImGui::BeginCombo("##lang", names[selected])) return;
    for (int i = 0; i < 4; ++i) {
        ImGui::PushID(i);
        if (ImGui::Selectable(names[i], i == selected)) ui.setLanguage(codes[i]);
        ImGui::PopID();
    }
    ImGui::EndCombo();
}

}  // namespace

void drawAboutTab(Ui& ui) {
    ImGui::TextColored(kAccentColour, "%s", QOVA_PRODUCT_NAME " " QOVA_VERSION_TEXT);
    ImGui::Spacing();
    wrappedText(text(ui, UiText::AboutText));
    ImGui::Spacing();

    drawLogoBlock(ui);

    ImGui::Spacing();
    wrappedText(text(ui, UiText::LegalNotice));
    ImGui::PushStyleColor(ImGuiCol_Text, kDimColour);
    wrappedText(kTrademarkNote);
    ImGui::PopStyleColor();
    drawLicenceButtons(ui);

    ImGui::Spacing();
    ImGui::Separator();
    drawLanguagePicker(ui);

    // Read every frame: the tray menu may have changed it since.
    bool startWithWindows = isStartWithWindowsOn();
    if (ImGui::Checkbox(label(ui.language(), UiText::StartWithWindows, "###startWithWindows").c_str(),
                        &startWithWindows)) {
        setStartWithWindows(startWithWindows);
    }

    if (ImGui::Button(label(ui.language(), UiText::OpenTheLog, "###openLog").c_str())) openFile(logFilePath());
}

}  // namespace app
