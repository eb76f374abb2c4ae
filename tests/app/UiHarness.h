#pragma once

// These tests drive the real Ui in a Dear ImGui context of their own, with no window and no
// renderer: the test plays the backend. It announces that it handles textures itself, and
// after every frame marks each texture request as done without making anything, so the font
// atlas grows glyph by glyph exactly as it does behind the Direct3D backend.
//
// What the user sees is read back from the draw lists, as the renderer would get them: every
// glyph is a quad whose top-left texture coordinate is that of one glyph of the baked font, so
// walking the vertices gives back each piece of text with its colour and rectangle (see
// readText). Widgets are found by their ImGui id: the mouse goes to the middle of each piece of
// text in the window in turn until ImGui reports that id as hovered, and clicks there. So a
// test names the button "###apply", never its label, and still sees what the label says.

#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/SettingsBuilders.h"
#include "TestSupport.h"
#include "app/shell/ConfigFile.h"
#include "app/shell/Folders.h"
#include "app/ui/Ui.h"
#include "core/settings/SettingsFile.h"
#include "core/settings/Validation.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace app::ui_testing {

using testing_support::readFile;
using testing_support::TempFolder;

inline const win::DeviceInfo kStereo = win::makeTestOutput(0, 2, 48000);
inline const win::DeviceInfo kQuad = win::makeTestOutput(1, 4, 48000);

using test_support::card;
using test_support::member;

inline core::DeviceSettings deviceSettings(const win::DeviceInfo& device, bool enabled) {
    core::DeviceSettings settings;
    settings.key = device.key;
    settings.name = device.name;
    settings.enabled = enabled;
    return settings;
}

// Settings in one language with these sound cards set up.
inline core::Settings settingsWith(std::string language, std::vector<core::DeviceSettings> devices = {}) {
    core::Settings settings;
    settings.language = std::move(language);
    settings.devices = std::move(devices);
    return settings;
}

// A format filled in as snprintf does, for texts such as "%u channels" (255 bytes at most).
template <typename... Values>
std::string printed(std::string_view format, Values... values) {
    char text[256];
    std::snprintf(text, sizeof(text), std::string(format).c_str(), values...);
    return text;
}

// One piece of text drawn in one colour on one line.
struct TextRun {
    std::string text;
    ImU32 colour = 0;
    ImRect rect;
};

// One glyph drawn: its quad, where the pen stood, how far it moves on, and its colour.
struct Glyph {
    ImRect rect;
    float originX = 0.0f;
    float originY = 0.0f;
    float advance = 0.0f;
    ImU32 colour = 0;
    unsigned codepoint = 0;
};

inline std::string utf8(unsigned codepoint) {
    char text[5] = {};
    ImTextCharToUtf8(text, codepoint);
    return text;
}

inline ImU32 packed(const ImVec4& colour) {
    return ImGui::ColorConvertFloat4ToU32(colour);
}

inline std::string inLanguage(UiLanguage language, UiText id) {
    return std::string(uiText(language, id));
}

inline std::string english(UiText id) {
    return inLanguage(UiLanguage::English, id);
}

class UiHarness : public ::testing::Test {
protected:
    void SetUp() override {
        dataDirOverride = folder_.path();
        loadSettings();  // from an empty folder: no file kept from an earlier test

        useRouter({kStereo, kQuad}, false, L"Local\\qova-uitest");

        context_ = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.LogFilename = nullptr;
        io.DisplaySize = ImVec2(800.0f, 600.0f);
        io.BackendFlags |= ImGuiBackendFlags_RendererHasTextures;
    }

    void TearDown() override {
        ui_.reset();
        ImGui::DestroyContext(context_);
        router_.reset();
        dataDirOverride.clear();
    }

    // A router of its own for the test, in place of the one it had (and of the Ui on it).
    void useRouter(std::vector<win::DeviceInfo> devices, bool scan, const wchar_t* ringPrefix) {
        ui_.reset();
        router_.reset();
        win::RouterOptions options;
        options.scanDevices = scan;
        options.extraDevices = std::move(devices);
        options.ringPrefix = ringPrefix;
        router_ = std::make_unique<win::Router>(std::move(options));
        router_->rescan();
    }

    // As the shell starts: the loaded settings go to the router first, then to the Ui.
    void start(core::Settings settings) {
        router_->apply(settings);
        ui_ = std::make_unique<Ui>(router_.get(), std::move(settings));
        // A tab bar lays its tabs out on the frame after it first appears.
        frames(2);
    }

    void frame() {
        ImGui::GetIO().DeltaTime = 1.0f / 60.0f;
        ImGui::NewFrame();
        baked_ = ImGui::GetFontBaked();
        ui_->draw();
        ImGui::Render();
        for (ImTextureData* texture : *ImGui::GetDrawData()->Textures) {
            if (texture->Status == ImTextureStatus_WantCreate) {
                texture->SetTexID(static_cast<ImTextureID>(1));
                texture->SetStatus(ImTextureStatus_OK);
            } else if (texture->Status == ImTextureStatus_WantUpdates) {
                texture->SetStatus(ImTextureStatus_OK);
            } else if (texture->Status == ImTextureStatus_WantDestroy) {
                texture->SetTexID(ImTextureID_Invalid);
                texture->SetStatus(ImTextureStatus_Destroyed);
            }
        }
    }

    // Enough frames for a tooltip's hover delay to pass.
    void frames(int count) {
        for (int i = 0; i < count; ++i) frame();
    }

    ImGuiWindow* host() const { return ImGui::FindWindowByName("##qova"); }

    ImGuiWindow* tabsChild() const {
        for (ImGuiWindow* child : host()->DC.ChildWindows) {
            if (std::string(child->Name).find("/##tabs_") != std::string::npos) return child;
        }
        return nullptr;
    }

    ImGuiTabBar* tabBar() const { return GImGui->TabBars.GetByKey(tabsChild()->GetID("##main")); }

    ImGuiID tabId(const char* id) const { return ImHashStr(id, 0, tabBar()->ID); }

    // The labels on the tab bar, left to right (the open tab's contents come in between in
    // drawing order, so the runs are picked by where they lie).
    std::vector<std::string> tabLabels() const {
        std::vector<std::string> labels;
        for (const TextRun& run : readText(tabsChild())) {
            if (tabBar()->BarRect.Contains(run.rect.GetCenter())) labels.push_back(run.text);
        }
        return labels;
    }

    // The glyphs drawn into one window's draw list in the frame just rendered, in drawing order:
    // the quads whose texture corners are those of one glyph of the baked font.
    std::vector<Glyph> glyphs(const ImGuiWindow* window) const {
        std::map<std::pair<float, float>, const ImFontGlyph*> atlas;
        for (const ImFontGlyph& glyph : baked_->Glyphs) {
            if (glyph.Visible) atlas[{glyph.U0, glyph.V0}] = &glyph;
        }
        std::vector<Glyph> found;
        const ImVector<ImDrawVert>& vertices = window->DrawList->VtxBuffer;
        for (int i = 0; i + 3 < vertices.Size; ++i) {
            const auto known = atlas.find({vertices[i].uv.x, vertices[i].uv.y});
            if (known == atlas.end()) continue;
            const ImFontGlyph& glyph = *known->second;
            if (vertices[i + 2].uv.x != glyph.U1 || vertices[i + 2].uv.y != glyph.V1) continue;
            found.push_back(Glyph{ImRect(vertices[i].pos, vertices[i + 2].pos), vertices[i].pos.x - glyph.X0,
                                  vertices[i].pos.y - glyph.Y0, glyph.AdvanceX, vertices[i].col, glyph.Codepoint});
            i += 3;
        }
        return found;
    }

    // The text drawn into one window's draw list in the frame just rendered, in drawing order;
    // empty when the window was not shown. A run is a line of glyphs of one colour whose pens
    // follow each other by whole advances; a few spaces' gap is read as spaces.
    std::vector<TextRun> readText(const ImGuiWindow* window) const {
        std::vector<TextRun> runs;
        if (window == nullptr || !window->Active || window->Hidden) return runs;
        const float spaceAdvance = baked_->FindGlyph(' ')->AdvanceX;
        float lastEndX = 0.0f;
        float lastOriginY = 0.0f;
        for (const Glyph& glyph : glyphs(window)) {
            // Within one piece of text the pen moves by whole advances, so the gap is an exact
            // number of spaces; the gaps between widgets are frame padding and item spacing.
            const float gap = glyph.originX - lastEndX;
            const long spaces = std::lround(gap / spaceAdvance);
            const bool sameRun = !runs.empty() && runs.back().colour == glyph.colour &&
                                 std::fabs(glyph.originY - lastOriginY) < 0.5f && spaces >= 0 && spaces <= 3 &&
                                 std::fabs(gap - static_cast<float>(spaces) * spaceAdvance) < 0.05f;
            if (sameRun) {
                runs.back().text.append(static_cast<std::size_t>(spaces), ' ');
            } else {
                runs.push_back(TextRun{"", glyph.colour, glyph.rect});
            }
            runs.back().text += utf8(glyph.codepoint);
            runs.back().rect.Add(glyph.rect);
            lastEndX = glyph.originX + glyph.advance;
            lastOriginY = glyph.originY;
        }
        return runs;
    }

    static std::vector<std::string> texts(const std::vector<TextRun>& runs) {
        std::vector<std::string> out;
        for (const TextRun& run : runs) out.push_back(run.text);
        return out;
    }

    // The apply bar draws its two button labels and then at most one message.
    std::optional<TextRun> message() const {
        const std::vector<TextRun> runs = readText(host());
        if (runs.size() < 3) return std::nullopt;
        EXPECT_EQ(runs.size(), 3u) << "the apply bar shows one message at most";
        return runs[2];
    }

    std::optional<TextRun> tooltip() const {
        const std::vector<TextRun> runs = readText(ImGui::FindWindowByName("##Tooltip_00"));
        if (runs.empty()) return std::nullopt;
        TextRun all = runs.front();
        for (std::size_t i = 1; i < runs.size(); ++i) all.text += "\n" + runs[i].text;
        return all;
    }

    void moveMouse(ImVec2 point) {
        ImGui::GetIO().AddMousePosEvent(point.x, point.y);
        frame();
    }

    // The mouse held over `point` past the tooltip's delay, which then shows `text`.
    void expectTooltipAt(ImVec2 point, const std::string& text) {
        moveMouse(point);
        frames(40);
        const std::optional<TextRun> shown = tooltip();
        ASSERT_TRUE(shown.has_value()) << "no tooltip; expected: " << text;
        EXPECT_EQ(shown->text, text);
    }

    ImGuiWindow* comboPopup() const { return ImGui::FindWindowByName("##Combo_00"); }

    // A point of the window over the widget with that id, found by hovering each piece of text
    // the window shows until ImGui names the widget as hovered.
    std::optional<ImVec2> pointOf(ImGuiWindow* window, ImGuiID id) {
        for (const TextRun& run : readText(window)) {
            moveMouse(run.rect.GetCenter());
            if (GImGui->HoveredId == id) return run.rect.GetCenter();
        }
        ADD_FAILURE() << "no widget with id " << id << " in " << window->Name;
        return std::nullopt;
    }

    std::optional<TextRun> findRun(const std::vector<TextRun>& runs, const std::string& text) const {
        for (const TextRun& run : runs) {
            if (run.text == text) return run;
        }
        return std::nullopt;
    }

    // One of the runs reads `text`, and it is drawn in `colour`.
    void expectShown(const std::vector<TextRun>& runs, const std::string& text, const ImVec4& colour) const {
        const std::optional<TextRun> shown = findRun(runs, text);
        ASSERT_TRUE(shown.has_value()) << "not shown: " << text;
        EXPECT_EQ(shown->colour, packed(colour)) << text;
    }

    // Press and release where the mouse is; the frame of the release is the one in which a
    // button reports being pressed.
    void pressAndRelease() {
        ImGui::GetIO().AddMouseButtonEvent(ImGuiMouseButton_Left, true);
        frame();
        ImGui::GetIO().AddMouseButtonEvent(ImGuiMouseButton_Left, false);
        frame();
    }

    void clickAt(ImVec2 point) {
        moveMouse(point);
        pressAndRelease();
    }

    // Over the widget with that id.
    void click(ImGuiWindow* window, ImGuiID id) {
        if (pointOf(window, id)) pressAndRelease();
    }

    void clickButton(const char* id) { click(host(), host()->GetID(id)); }

    // Whether ImGui itself holds the widget enabled, asked while the mouse is over it.
    bool enabledIn(ImGuiWindow* window, ImGuiID id) {
        if (!pointOf(window, id)) return false;
        return !GImGui->HoveredIdIsDisabled;
    }

    bool buttonEnabled(const char* id) { return enabledIn(host(), host()->GetID(id)); }

    // Whether Apply and Undo each take a click.
    void expectApplyAndUndo(bool apply, bool undo) {
        EXPECT_EQ(buttonEnabled("###apply"), apply) << "Apply";
        EXPECT_EQ(buttonEnabled("###undo"), undo) << "Undo";
    }

    void expectMessage(const std::string& text, const ImVec4& colour) {
        const std::optional<TextRun> shown = message();
        ASSERT_TRUE(shown.has_value()) << "expected: " << text;
        EXPECT_EQ(shown->text, text);
        EXPECT_EQ(shown->colour, packed(colour)) << shown->text;
    }

    core::Settings savedSettings() const {
        core::Settings saved;
        std::string error;
        EXPECT_TRUE(core::readSettings(readFile(configFilePath()), saved, error)) << error;
        return saved;
    }

    TempFolder folder_;
    std::unique_ptr<win::Router> router_;
    ImGuiContext* context_ = nullptr;
    ImFontBaked* baked_ = nullptr;
    std::unique_ptr<Ui> ui_;
};

}  // namespace app::ui_testing
