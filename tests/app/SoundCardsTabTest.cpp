#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "UiHarness.h"
#include "app/ui/Ui.h"
#include "core/settings/Settings.h"
#include "tests/win/AsioDriverRegistration.h"
#include "win/base/MappedView.h"
#include "win/base/UniqueHandle.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

// The Sound cards tab on a real router that lists the test outputs, the PulseAudio sinks ZoneA
// (2 channels) and ZoneB (8 channels) as WASAPI sound cards, and an ASIO driver that is named
// but not installed, so it fails to open.

namespace app {
namespace {

using namespace ui_testing;

win::DeviceInfo asioDevice(const std::string& name) {
    win::DeviceInfo device;
    device.key = "asio:" + name;
    device.name = name;
    device.family = win::DeviceFamily::Asio;
    return device;
}

const win::DeviceInfo kAsio = asioDevice("Studio Desk");
constexpr char kGoneKey[] = "wasapi:{0.0.0.00000000}.{5d0f3c2e-0000-4000-8000-00000000dead}";

// A sound card the settings name but the scan does not find, in use.
core::DeviceSettings goneDevice(const std::string& name, core::DeviceApi api) {
    core::DeviceSettings gone;
    gone.key = kGoneKey;
    gone.name = name;
    gone.enabled = true;
    gone.api = api;
    return gone;
}

core::Settings englishSettings(std::vector<core::DeviceSettings> devices = {}) {
    return settingsWith("en", std::move(devices));
}

constexpr char kLongCardName[] = "Wohnzimmer links neben dem großen Regal";

// The font's ellipsis as the text reader gives it back (Dear ImGui's own font has it at
// U+0085, other fonts at U+2026).
std::string ellipsis() {
    return utf8(ImGui::GetFont()->EllipsisChar);
}

// Every kind of row the table has: two running test outputs with choices made, an ASIO driver
// that fails, an exclusive WASAPI card that is gone, and the two sinks, not in use. A card
// with a long name sits on a channel of the first output.
core::Settings crowdedSettings(const std::string& language) {
    core::Settings settings =
        settingsWith(language, {deviceSettings(kStereo, true), deviceSettings(kQuad, true), deviceSettings(kAsio, true),
                                goneDevice("Living room speakers", core::DeviceApi::Exclusive)});
    settings.devices[0].bufferFrames = 256;
    settings.devices[1].periods = 3;
    settings.devices[2].api = core::DeviceApi::Asio;
    settings.cards = {card("0000000a", kLongCardName, {{kStereo.key, 0, 0.0}}),
                      card("0000000b", "Küche", {{kQuad.key, 1, 0.0}})};
    return settings;
}

bool endsWithEllipsis(const std::string& text) {
    const std::string mark = ellipsis();
    return text.size() >= mark.size() && text.compare(text.size() - mark.size(), mark.size(), mark) == 0;
}

// `shown` is `whole`, or the start of it followed by an ellipsis.
bool wholeOrVisiblyCut(const std::string& shown, const std::string& whole) {
    if (shown == whole) return true;
    if (!endsWithEllipsis(shown)) return false;
    const std::string start = shown.substr(0, shown.size() - ellipsis().size());
    return whole.rfind(start, 0) == 0;
}

class SoundCardsTabTest : public UiHarness {
protected:
    void SetUp() override {
        UiHarness::SetUp();
        useRouter({kStereo, kQuad, kAsio}, true, L"Local\\qova-soundcardstest");
        // Room for every column's text and for the meters of two sound cards under the table.
        ImGui::GetIO().DisplaySize = ImVec2(1280.0f, 960.0f);
    }

    ImGuiWindow* tab() const { return tabsChild(); }

    // What the open tab shows: the child's text without the tab bar's labels.
    std::vector<TextRun> contents() const {
        std::vector<TextRun> runs;
        for (const TextRun& run : readText(tab())) {
            if (!tabBar()->BarRect.Contains(run.rect.GetCenter())) runs.push_back(run);
        }
        return runs;
    }
    ImGuiID tabItemId() const { return tabId("###soundCards"); }

    // Ids as the tab makes them: table rows and meter sections under the device key.
    ImGuiID cellId(const std::string& key, const char* widget) const {
        const ImGuiID table = ImHashStr("##devices", 0, tabItemId());
        return ImHashStr(widget, 0, ImHashStr(key.data(), key.size(), table));
    }
    ImGuiID sectionId(const std::string& key) const { return ImHashStr(key.data(), key.size(), tabItemId()); }
    ImGuiID toneId(const std::string& key, int channel) const {
        return ImHashStr("###tone", 0, ImHashData(&channel, sizeof(channel), sectionId(key)));
    }

    // A copy: the Ui replaces its list on every frame.
    std::optional<win::DeviceStatus> status(std::string_view key) const {
        for (const win::DeviceStatus& device : ui_->devices()) {
            if (device.info.key == key) return device;
        }
        return std::nullopt;
    }

    // The key of the scanned WASAPI sound card with that name (the sinks' keys differ per prefix).
    std::string wasapiKey(const std::string& name) const {
        for (const win::DeviceStatus& device : ui_->devices()) {
            if (device.info.family == win::DeviceFamily::Wasapi && device.info.name == name) return device.info.key;
        }
        ADD_FAILURE() << "no sound card named " << name << " (is the PulseAudio sink loaded?)";
        return {};
    }

    // The text of the table row that shows `name`: every run on the same line, left to right.
    std::vector<TextRun> row(const std::string& name) const {
        const std::vector<TextRun> runs = contents();
        const auto named = std::find_if(runs.begin(), runs.end(), [&](const TextRun& run) { return run.text == name; });
        if (named == runs.end()) {
            ADD_FAILURE() << "no row shows " << name;
            return {};
        }
        const float y = named->rect.GetCenter().y;
        std::vector<TextRun> line;
        for (const TextRun& run : runs) {
            if (std::fabs(run.rect.GetCenter().y - y) < 3.0f) line.push_back(run);
        }
        std::sort(line.begin(), line.end(),
                  [](const TextRun& a, const TextRun& b) { return a.rect.Min.x < b.rect.Min.x; });
        return line;
    }

    void clickAt(ImVec2 point) {
        UiHarness::clickAt(point);
        // The header is drawn before the table: one more frame shows what the click changed.
        frame();
    }

    // A widget without text (the "Use" checkbox): the mouse sweeps along the row of `name`.
    void clickAlongRow(const std::string& name, ImGuiID id) {
        const std::vector<TextRun> line = row(name);
        ASSERT_FALSE(line.empty());
        const float y = line.front().rect.GetCenter().y;
        for (float x = tab()->Pos.x + 1.0f; x < tab()->Pos.x + tab()->Size.x; x += 3.0f) {
            moveMouse(ImVec2(x, y));
            if (GImGui->HoveredId == id) {
                clickAt(ImVec2(x, y));
                return;
            }
        }
        ADD_FAILURE() << "no widget " << id << " on the row of " << name;
    }

    // Clicks the combo open; its items are then in comboPopup().
    void openCombo(ImGuiID id) {
        const std::optional<ImVec2> point = pointOf(tab(), id);
        ASSERT_TRUE(point.has_value());
        clickAt(*point);
        frame();
        ASSERT_NE(comboPopup(), nullptr);
        ASSERT_FALSE(readText(comboPopup()).empty()) << "the combo did not open";
    }

    // Items drawn on the background a selected item gets.
    std::vector<std::string> markedItems() const {
        const ImU32 marked = ImGui::GetColorU32(ImGuiCol_Header);
        ImRect area;
        bool any = false;
        for (const ImDrawVert& vertex : comboPopup()->DrawList->VtxBuffer) {
            if (vertex.col != marked) continue;
            if (!any) area = ImRect(vertex.pos, vertex.pos);
            area.Add(vertex.pos);
            any = true;
        }
        std::vector<std::string> items;
        if (!any) return items;
        for (const TextRun& run : readText(comboPopup())) {
            if (area.Contains(run.rect.GetCenter())) items.push_back(run.text);
        }
        return items;
    }

    // Clicks the item of the open combo that reads `item`.
    void clickItem(const std::string& item) {
        const std::optional<TextRun> shown = findRun(readText(comboPopup()), item);
        ASSERT_TRUE(shown.has_value()) << item;
        clickAt(shown->rect.GetCenter());
    }

    void chooseInCombo(ImGuiID id, const std::string& item) {
        openCombo(id);
        clickItem(item);
        frame();
    }

    // The pieces of the exclusive-mode warning, joined where they were wrapped.
    std::string warningShown() const {
        std::string text;
        for (const TextRun& run : contents()) {
            if (run.colour != packed(kWarningColour)) continue;
            if (!text.empty()) text += ' ';
            text += run.text;
        }
        return text;
    }

    // Lets the test outputs play for a while, then draws.
    void playFor(DWORD milliseconds) {
        Sleep(milliseconds);
        frame();
    }

    // The meter rows of one running sound card: each "Channel n" with the rest of its line.
    std::vector<std::vector<TextRun>> meterRows(const std::string& name) const {
        const std::vector<TextRun> runs = readText(tab());
        std::vector<std::vector<TextRun>> rows;
        bool inSection = false;
        for (const TextRun& run : runs) {
            if (run.colour == packed(kAccentColour)) {
                inSection = run.text == name;
                continue;
            }
            if (!inSection) continue;
            if (run.text.rfind("Channel ", 0) == 0) {
                rows.push_back({run});
            } else if (!rows.empty() &&
                       std::fabs(run.rect.GetCenter().y - rows.back().front().rect.GetCenter().y) < 3.0f) {
                rows.back().push_back(run);
            }
        }
        return rows;
    }

    // The filled part of a meter: the accent-coloured area right of the channel label.
    float meterFillWidth(const TextRun& channelLabel) const {
        float left = 1e9f;
        float right = -1e9f;
        for (const ImDrawVert& vertex : tab()->DrawList->VtxBuffer) {
            if (vertex.col != packed(kAccentColour) && vertex.col != packed(kErrorColour)) continue;
            if (vertex.pos.x <= channelLabel.rect.Max.x) continue;
            if (std::fabs(vertex.pos.y - channelLabel.rect.GetCenter().y) > ImGui::GetFontSize()) continue;
            left = std::min(left, vertex.pos.x);
            right = std::max(right, vertex.pos.x);
        }
        return right > left ? right - left : 0.0f;
    }

    ImGuiTable* table() const { return ImGui::TableFindByID(ImHashStr("##devices", 0, tabItemId())); }

    // The text drawn inside one rectangle, with the spaces between its words.
    std::string textIn(const ImRect& area) const {
        const float space = baked_->FindGlyph(' ')->AdvanceX;
        std::string text;
        float penX = 0.0f;
        // Glyph by glyph: where readText joins neighbouring cells whose gap happens to be a whole
        // number of spaces, these keep every cell apart.
        for (const Glyph& glyph : glyphs(tab())) {
            if (!area.Contains(glyph.rect.GetCenter())) continue;
            if (!text.empty()) {
                text.append(static_cast<std::size_t>(std::max(0L, std::lround((glyph.originX - penX) / space))), ' ');
            }
            text += utf8(glyph.codepoint);
            penX = glyph.originX + glyph.advance;
        }
        return text;
    }

    // The table column whose cell holds horizontal position x; -1 outside the table.
    int columnAt(float x) const {
        const ImGuiTable* devices = table();
        for (int column = 0; column < devices->ColumnsCount; ++column) {
            if (x >= devices->Columns[column].MinX && x < devices->Columns[column].MaxX) return column;
        }
        return -1;
    }

    // One combo of the table as drawn: its frame, the value shown in it, and whether an arrow
    // (a filled shape in the text colour, not a glyph) sits in it.
    struct ComboFrame {
        ImRect rect;
        int column = -1;
        std::string text;
        bool arrow = false;
    };

    // The combos of the table in drawing order (row by row, left to right): the shapes in
    // the field colour (whatever their alpha, so disabled rows count) inside the table right
    // of the Use column, whose checkboxes share that colour.
    std::vector<ComboFrame> comboFrames() const {
        const ImU32 rgb = IM_COL32(255, 255, 255, 0);
        const ImU32 field = packed(ImGui::GetStyleColorVec4(ImGuiCol_FrameBg)) & rgb;
        const ImU32 text = packed(ImGui::GetStyleColorVec4(ImGuiCol_Text)) & rgb;
        const ImVec2 white = GImGui->DrawListSharedData.TexUvWhitePixel;
        const ImRect outer = table()->OuterRect;
        const float firstChoiceX = table()->Columns[2].MinX;
        const ImVector<ImDrawVert>& vertices = tab()->DrawList->VtxBuffer;

        // A filled shape is a run of vertices in one colour: its body, and around it an
        // anti-aliasing fringe of alpha 0.
        std::vector<ComboFrame> frames;
        bool inShape = false;
        bool hasBody = false;
        for (const ImDrawVert& vertex : vertices) {
            if ((vertex.col & rgb) != field || !outer.Contains(vertex.pos) || vertex.pos.x < firstChoiceX) {
                if (inShape && !hasBody) frames.pop_back();
                inShape = false;
                continue;
            }
            if (!inShape) {
                frames.emplace_back();
                inShape = true;
                hasBody = false;
            }
            if ((vertex.col & IM_COL32_A_MASK) == 0) continue;
            if (!hasBody) frames.back().rect = ImRect(vertex.pos, vertex.pos);
            frames.back().rect.Add(vertex.pos);
            hasBody = true;
        }
        if (inShape && !hasBody) frames.pop_back();
        for (ComboFrame& frame : frames) {
            frame.column = columnAt(frame.rect.GetCenter().x);
            frame.text = textIn(frame.rect);
            for (const ImDrawVert& vertex : vertices) {
                if ((vertex.col & rgb) == text && vertex.uv.x == white.x && vertex.uv.y == white.y &&
                    (vertex.col & IM_COL32_A_MASK) != 0 && frame.rect.Contains(vertex.pos)) {
                    frame.arrow = true;
                }
            }
        }
        return frames;
    }

    // The whole value each combo of one table column stands for, row by row: the table's
    // combos are those of the pending settings (a sound card without settings shows the
    // defaults).
    std::vector<std::string> comboValues(int column) const {
        const UiLanguage language = ui_->language();
        std::vector<std::string> values;
        const auto number = [language](std::uint32_t value, UiText format) {
            if (value == 0) return std::string(uiText(language, UiText::Default));
            return format == UiText::Default ? std::to_string(value) : printed(uiText(language, format), value);
        };
        for (const win::DeviceStatus& device : ui_->devices()) {
            const core::DeviceSettings* settings = ui_->pending().findDevice(device.info.key);
            const core::DeviceSettings none;
            const core::DeviceSettings& shown = settings != nullptr ? *settings : none;
            const win::DeviceFamily family = device.info.family;
            switch (column) {
            case 2:
                if (family == win::DeviceFamily::Asio || family == win::DeviceFamily::Null) break;
                values.emplace_back(uiText(language, shown.api == core::DeviceApi::Exclusive ? UiText::WasapiExclusive
                                                                                             : UiText::WasapiShared));
                break;
            case 3: values.push_back(number(shown.sampleRate, UiText::Default)); break;
            case 4: values.push_back(number(shown.bufferFrames, UiText::NFrames)); break;
            case 5:
                if (family != win::DeviceFamily::Asio) values.push_back(number(shown.periods, UiText::Default));
                break;
            default: break;
            }
        }
        return values;
    }

    // The combos of one column, top to bottom.
    std::vector<ComboFrame> comboColumn(const std::vector<ComboFrame>& frames, int column) const {
        std::vector<ComboFrame> inColumn;
        for (const ComboFrame& frame : frames) {
            if (frame.column == column) inColumn.push_back(frame);
        }
        std::sort(inColumn.begin(), inColumn.end(),
                  [](const ComboFrame& a, const ComboFrame& b) { return a.rect.Min.y < b.rect.Min.y; });
        return inColumn;
    }

    std::optional<ImRect> logoRect() const {
        const ImTextureID logo = reinterpret_cast<ImTextureID>(ui_->logo());
        const ImDrawList& list = *tab()->DrawList;
        for (const ImDrawCmd& command : list.CmdBuffer) {
            if (command.TexRef.GetTexID() != logo || command.ElemCount == 0) continue;
            ImRect rect(list.VtxBuffer[command.VtxOffset + list.IdxBuffer[command.IdxOffset]].pos,
                        list.VtxBuffer[command.VtxOffset + list.IdxBuffer[command.IdxOffset]].pos);
            for (unsigned i = 0; i < command.ElemCount; ++i) {
                rect.Add(list.VtxBuffer[command.VtxOffset + list.IdxBuffer[command.IdxOffset + i]].pos);
            }
            return rect;
        }
        return std::nullopt;
    }
};

TEST_F(SoundCardsTabTest, TickingUseAddsTheSoundCardWithDefaultsAndEnablesApply) {
    start(englishSettings());
    const std::string zoneA = wasapiKey("ZoneA");
    ASSERT_FALSE(zoneA.empty());
    EXPECT_EQ(texts(row("ZoneA")), (std::vector<std::string>{"ZoneA", "2 channels", "WASAPI shared", "Default",
                                                             "Default", "Default", "Off"}));
    EXPECT_EQ(row("ZoneA")[1].colour, packed(kDimColour));
    EXPECT_EQ(row("ZoneA").back().colour, packed(kDimColour));
    EXPECT_FALSE(enabledIn(tab(), cellId(zoneA, "##rate"))) << "choices of a sound card that is off";
    EXPECT_FALSE(buttonEnabled("###apply"));

    clickAlongRow("ZoneA", cellId(zoneA, "##use"));
    const core::DeviceSettings* added = ui_->pending().findDevice(zoneA);
    ASSERT_NE(added, nullptr);
    EXPECT_TRUE(added->enabled);
    EXPECT_EQ(added->name, "ZoneA");
    EXPECT_EQ(added->api, core::DeviceApi::Shared);
    EXPECT_EQ(added->sampleRate, 0u);
    EXPECT_EQ(added->bufferFrames, 0u);
    EXPECT_EQ(added->periods, 0u);
    EXPECT_TRUE(buttonEnabled("###apply"));
    EXPECT_TRUE(enabledIn(tab(), cellId(zoneA, "##rate")));
    EXPECT_TRUE(enabledIn(tab(), cellId(zoneA, "##api")));
    EXPECT_TRUE(ui_->applied().devices.empty()) << "nothing reaches the router before Apply";

    // Unticking keeps the entry and its choices.
    ui_->pending().findDevice(zoneA)->bufferFrames = 256;
    frame();
    clickAlongRow("ZoneA", cellId(zoneA, "##use"));
    const core::DeviceSettings* kept = ui_->pending().findDevice(zoneA);
    ASSERT_NE(kept, nullptr);
    EXPECT_FALSE(kept->enabled);
    EXPECT_EQ(kept->bufferFrames, 256u);
    EXPECT_EQ(texts(row("ZoneA"))[4], "256 frames");
    EXPECT_FALSE(enabledIn(tab(), cellId(zoneA, "##buffer")));
}

TEST_F(SoundCardsTabTest, ExclusiveDriverShowsTheWarningBesideTheRescanButtonUntilSharedAgain) {
    ImGui::GetIO().DisplaySize = ImVec2(1400.0f, 600.0f);
    start(englishSettings());
    const std::string zoneB = wasapiKey("ZoneB");
    ASSERT_FALSE(zoneB.empty());
    clickAlongRow("ZoneB", cellId(zoneB, "##use"));
    EXPECT_EQ(warningShown(), "");

    chooseInCombo(cellId(zoneB, "##api"), "WASAPI exclusive");
    ASSERT_NE(ui_->pending().findDevice(zoneB), nullptr);
    EXPECT_EQ(ui_->pending().findDevice(zoneB)->api, core::DeviceApi::Exclusive);
    EXPECT_EQ(texts(row("ZoneB"))[2], "WASAPI exclusive");
    EXPECT_EQ(warningShown(), english(UiText::ExclusiveWarning));
    const std::vector<TextRun> runs = readText(tab());
    const std::optional<TextRun> rescan = findRun(runs, english(UiText::LookForSoundCardsAgain));
    ASSERT_TRUE(rescan.has_value());
    const auto warning =
        std::find_if(runs.begin(), runs.end(), [](const TextRun& run) { return run.colour == packed(kWarningColour); });
    EXPECT_NEAR(warning->rect.GetCenter().y, rescan->rect.GetCenter().y, 1.0f) << "on the button's line";
    EXPECT_GT(warning->rect.Min.x, rescan->rect.Max.x);

    // Only sound cards in use count: turned off, the choice stays but the warning goes.
    clickAlongRow("ZoneB", cellId(zoneB, "##use"));
    EXPECT_EQ(warningShown(), "");
    clickAlongRow("ZoneB", cellId(zoneB, "##use"));
    EXPECT_EQ(warningShown(), english(UiText::ExclusiveWarning));

    chooseInCombo(cellId(zoneB, "##api"), "WASAPI shared");
    EXPECT_EQ(ui_->pending().findDevice(zoneB)->api, core::DeviceApi::Shared);
    EXPECT_EQ(warningShown(), "");
}

TEST_F(SoundCardsTabTest, EachDriverFamilyShowsItsOwnDriverCellAndState) {
    core::Settings settings = englishSettings(
        {deviceSettings(kStereo, true), deviceSettings(kAsio, true), goneDevice("Gone card", core::DeviceApi::Shared)});
    settings.devices[1].api = core::DeviceApi::Asio;
    start(settings);
    frames(2);

    const std::optional<win::DeviceStatus> stereo = status(kStereo.key);
    ASSERT_TRUE(stereo.has_value());
    ASSERT_EQ(stereo->state, win::DeviceState::Open) << stereo->problem;
    const std::string latency = printed("%.1f ms", stereo->latency * 1000.0 / stereo->rate);
    const std::vector<TextRun> test = row(kStereo.name);
    ASSERT_EQ(test.size(), 8u);
    EXPECT_EQ(texts(test), (std::vector<std::string>{kStereo.name, "2 channels", "Test", "Default", "Default",
                                                     "Default", latency, "Running"}));
    EXPECT_EQ(test.back().colour, packed(kOkColour));

    // No periods for ASIO; the driver is missing, so it failed, and says why on hover.
    const std::optional<win::DeviceStatus> asio = status(kAsio.key);
    ASSERT_TRUE(asio.has_value());
    ASSERT_EQ(asio->state, win::DeviceState::Failed);
    ASSERT_FALSE(asio->problem.empty());
    const std::vector<TextRun> failed = row(kAsio.name);
    ASSERT_EQ(failed.size(), 6u);
    EXPECT_EQ(texts(failed), (std::vector<std::string>{kAsio.name, "ASIO", "Default", "Default", "Error", "(?)"}));
    EXPECT_EQ(failed[4].colour, packed(kErrorColour));
    EXPECT_EQ(failed[5].colour, packed(kErrorColour));
    for (const int piece : {4, 5}) {
        ASSERT_NO_FATAL_FAILURE(expectTooltipAt(failed[piece].rect.GetCenter(), asio->problem)) << failed[piece].text;
    }

    // The latency names the output on hover.
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(test[6].rect.GetCenter(), stereo->description));

    // Named by the settings, not found by the scan: listed, and can still be turned off.
    const std::vector<TextRun> unplugged = row("Gone card");
    EXPECT_EQ(texts(unplugged), (std::vector<std::string>{"Gone card", "WASAPI shared", "Default", "Default", "Default",
                                                          "Not connected"}));
    EXPECT_EQ(unplugged.back().colour, packed(kWarningColour));
    clickAlongRow("Gone card", cellId(kGoneKey, "##use"));
    EXPECT_FALSE(ui_->pending().findDevice(kGoneKey)->enabled);

    const std::string zoneB = wasapiKey("ZoneB");
    EXPECT_EQ(texts(row("ZoneB")), (std::vector<std::string>{"ZoneB", "8 channels", "WASAPI shared", "Default",
                                                             "Default", "Default", "Off"}));
}

TEST_F(SoundCardsTabTest, ChoiceListsMarkThePendingValueAndShowHandEditedValuesAsTheyAre) {
    core::Settings settings = englishSettings({deviceSettings(kStereo, true)});
    settings.devices[0].sampleRate = 47999;
    settings.devices[0].bufferFrames = 100;
    settings.devices[0].periods = 6;
    start(settings);
    EXPECT_EQ(texts(row(kStereo.name)).at(3), "47999");
    EXPECT_EQ(texts(row(kStereo.name)).at(4), "100 frames");
    EXPECT_EQ(texts(row(kStereo.name)).at(5), "6");

    openCombo(cellId(kStereo.key, "##buffer"));
    const std::vector<std::string> items = texts(readText(comboPopup()));
    EXPECT_EQ(items, (std::vector<std::string>{"Default", "32 frames", "48 frames", "64 frames", "96 frames",
                                               "128 frames", "192 frames", "256 frames", "384 frames", "512 frames",
                                               "1024 frames", "2048 frames", "4096 frames"}));
    EXPECT_TRUE(markedItems().empty()) << markedItems().front();
    ASSERT_NO_FATAL_FAILURE(clickItem("512 frames"));
    frame();
    EXPECT_EQ(ui_->pending().devices[0].bufferFrames, 512u);

    openCombo(cellId(kStereo.key, "##buffer"));
    EXPECT_EQ(markedItems(), std::vector<std::string>{"512 frames"});
    ASSERT_NO_FATAL_FAILURE(clickItem("512 frames"));
    EXPECT_EQ(comboPopup()->Active, false) << "closed by the choice";

    openCombo(cellId(kStereo.key, "##rate"));
    EXPECT_EQ(texts(readText(comboPopup())),
              (std::vector<std::string>{"Default", "44100", "48000", "88200", "96000", "176400", "192000"}));
    EXPECT_TRUE(markedItems().empty());
    ASSERT_NO_FATAL_FAILURE(clickItem("Default"));
    frame();
    EXPECT_EQ(ui_->pending().devices[0].sampleRate, 0u);

    chooseInCombo(cellId(kStereo.key, "##periods"), "3");
    EXPECT_EQ(ui_->pending().devices[0].periods, 3u);
    EXPECT_EQ(texts(row(kStereo.name)).at(3), "Default");
    EXPECT_EQ(texts(row(kStereo.name)).at(5), "3");
}

TEST_F(SoundCardsTabTest, TestToneSoundsOnOneChannelAndItsMeterRisesAlone) {
    start(englishSettings({deviceSettings(kQuad, true)}));
    playFor(100);
    playFor(100);
    std::vector<std::vector<TextRun>> rows = meterRows(kQuad.name);
    ASSERT_EQ(rows.size(), 4u);
    for (const std::vector<TextRun>& channel : rows) {
        EXPECT_EQ(texts(channel).back(), "Test");
        EXPECT_EQ(meterFillWidth(channel.front()), 0.0f) << channel.front().text << " at rest";
    }

    click(tab(), toneId(kQuad.key, 1));
    const std::optional<win::DeviceStatus> quad = status(kQuad.key);
    ASSERT_TRUE(quad.has_value());
    ASSERT_EQ(quad->tones.size(), 4u);
    playFor(150);
    playFor(150);
    rows = meterRows(kQuad.name);
    ASSERT_EQ(rows.size(), 4u);
    // The button frame clips the descender of "p" off the glyph quad, not off the screen: the
    // reader sees "Sto".
    EXPECT_EQ(texts(rows[1]), (std::vector<std::string>{"Channel 2", "Sto"}));
    // A tone at -18 dBFS sits at 0.7 of the 60 dB scale.
    const std::vector<float>& levels = ui_->meters()[kQuad.key];
    ASSERT_EQ(levels.size(), 4u);
    EXPECT_NEAR(levels[1], 0.7f, 0.05f);
    const float full = meterFillWidth(rows[1].front());
    EXPECT_GT(full, 0.0f);
    for (const int other : {0, 2, 3}) {
        EXPECT_EQ(levels[other], 0.0f) << other;
        EXPECT_EQ(texts(rows[other]).back(), "Test");
        EXPECT_EQ(meterFillWidth(rows[other].front()), 0.0f);
    }

    // Stopped, the bar falls back frame by frame.
    click(tab(), toneId(kQuad.key, 1));
    playFor(50);
    frames(60);
    rows = meterRows(kQuad.name);
    EXPECT_EQ(texts(rows[1]).back(), "Test");
    EXPECT_LT(ui_->meters()[kQuad.key][1], 0.05f);
    EXPECT_LT(meterFillWidth(rows[1].front()), full * 0.1f);
}

TEST_F(SoundCardsTabTest, ChannelsShowTheAppliedCardsOnThemOnly) {
    core::Settings settings = englishSettings({deviceSettings(kStereo, true), deviceSettings(kQuad, true)});
    settings.cards = {card("0000000a", "Lounge", {{kStereo.key, 0, 0.0}, {kStereo.key, 1, 0.0}}),
                      card("0000000b", "Porch", {{kQuad.key, 2, 0.0}})};
    start(settings);
    playFor(50);
    std::vector<std::vector<TextRun>> stereo = meterRows(kStereo.name);
    ASSERT_EQ(stereo.size(), 2u);
    for (const std::vector<TextRun>& channel : stereo) {
        ASSERT_EQ(channel.size(), 3u);
        EXPECT_EQ(channel[2].text, "Lounge");
        EXPECT_EQ(channel[2].colour, packed(kDimColour));
    }
    std::vector<std::vector<TextRun>> quad = meterRows(kQuad.name);
    ASSERT_EQ(quad.size(), 4u);
    EXPECT_EQ(texts(quad[2]), (std::vector<std::string>{"Channel 3", "Test", "Porch"}));
    EXPECT_EQ(texts(quad[3]), (std::vector<std::string>{"Channel 4", "Test"}));

    // A card that is only pending shows nothing until Apply.
    ui_->pending().cards.push_back(card("0000000c", "Garden", {{kQuad.key, 3, 0.0}}));
    frame();
    EXPECT_EQ(texts(meterRows(kQuad.name)[3]), (std::vector<std::string>{"Channel 4", "Test"}));
    clickButton("###apply");
    playFor(100);
    quad = meterRows(kQuad.name);
    ASSERT_EQ(quad.size(), 4u);
    EXPECT_EQ(texts(quad[3]), (std::vector<std::string>{"Channel 4", "Test", "Garden"}));
}

// A narrow window has room for little of the table; whatever does not fit must say so with an
// ellipsis and show whole on hover, never run into the next cell or off the window, and the
// sound cards' names must stay readable. (At this width the description beside a running
// sound card's name has to wrap as well.)
TEST_F(SoundCardsTabTest, NarrowWindowCutsNothingSilentlyAndShowsTheWholeOnHover) {
    ImGui::GetIO().DisplaySize = ImVec2(420.0f, 1400.0f);
    start(crowdedSettings("de"));
    playFor(50);
    const UiLanguage german = UiLanguage::German;

    const std::vector<TextRun> runs = contents();
    ASSERT_FALSE(runs.empty());
    const float windowRight = tab()->InnerClipRect.Max.x;
    for (const TextRun& run : runs) {
        EXPECT_LE(run.rect.Max.x, windowRight + 0.5f) << run.text << " runs off the window";
    }
    const ImRect outer = table()->OuterRect;
    for (const Glyph& glyph : glyphs(tab())) {
        if (!outer.Contains(glyph.rect.GetCenter())) continue;
        const int column = columnAt(glyph.rect.Min.x);
        ASSERT_GE(column, 0);
        EXPECT_LE(glyph.rect.Max.x, table()->Columns[column].ClipRect.Max.x + 0.5f)
            << "a glyph of "
            << textIn(ImRect(glyph.rect.Min.x - 40.0f, glyph.rect.Min.y, glyph.rect.Max.x + 40.0f, glyph.rect.Max.y))
            << " leaves its cell";
    }

    // Names wrap instead of being cut; the channel count follows them.
    std::string names;
    for (const TextRun& run : runs) {
        if (outer.Contains(run.rect.GetCenter()) && columnAt(run.rect.Min.x) == 1) {
            names += (names.empty() ? "" : " ") + run.text;
        }
    }
    std::string expectedNames = inLanguage(german, UiText::SoundCard);
    for (const win::DeviceStatus& device : ui_->devices()) {
        expectedNames += " " + (device.info.name.empty() ? device.info.key : device.info.name);
        if (device.channels != 0) expectedNames += " " + printed(uiText(german, UiText::NChannels), device.channels);
    }
    EXPECT_EQ(names, expectedNames);

    // Every combo shows its value, or the start of it and an ellipsis.
    const std::vector<ComboFrame> combos = comboFrames();
    std::optional<std::pair<ComboFrame, std::string>> cutCombo;
    for (int column = 2; column <= 5; ++column) {
        const std::vector<ComboFrame> shown = comboColumn(combos, column);
        const std::vector<std::string> values = comboValues(column);
        ASSERT_EQ(shown.size(), values.size()) << "combos in column " << column;
        for (std::size_t row = 0; row < shown.size(); ++row) {
            EXPECT_TRUE(wholeOrVisiblyCut(shown[row].text, values[row])) << shown[row].text << " for " << values[row];
            if (shown[row].text != values[row] && !cutCombo) cutCombo = {shown[row], values[row]};
        }
    }
    ASSERT_TRUE(cutCombo.has_value()) << "at this width some value has to be cut";
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(cutCombo->first.rect.GetCenter(), cutCombo->second))
        << cutCombo->first.text;

    // The state of the unplugged card, and the long card name beside a meter.
    for (const std::string& whole : {inLanguage(german, UiText::NotConnected), std::string(kLongCardName)}) {
        const std::vector<TextRun> now = contents();
        const auto cut = std::find_if(now.begin(), now.end(), [&](const TextRun& run) {
            return run.text != whole && wholeOrVisiblyCut(run.text, whole);
        });
        ASSERT_NE(cut, now.end()) << whole << " is not shown cut";
        ASSERT_NO_FATAL_FAILURE(expectTooltipAt(cut->rect.GetCenter(), whole));
    }
}

// The table's combos draw a slim arrow of their own. A column keeps it while its widest value
// fits beside it; otherwise the whole column goes without, and shows its values whole as long
// as the frame holds them.
TEST_F(SoundCardsTabTest, ComboColumnsKeepTheirArrowWhileTheirValuesFitBesideIt) {
    start(crowdedSettings("en"));
    const ImGuiStyle& style = ImGui::GetStyle();
    for (const char* language : {"en", "nl", "de"}) {
        ui_->setLanguage(language);
        for (const float width : {1280.0f, 1100.0f, 900.0f, 700.0f, 480.0f}) {
            SCOPED_TRACE(std::string(language) + " at " + std::to_string(static_cast<int>(width)));
            ImGui::GetIO().DisplaySize = ImVec2(width, 1400.0f);
            frames(3);
            const std::vector<ComboFrame> combos = comboFrames();
            for (int column = 2; column <= 5; ++column) {
                const std::vector<ComboFrame> shown = comboColumn(combos, column);
                const std::vector<std::string> values = comboValues(column);
                ASSERT_EQ(shown.size(), values.size()) << "combos in column " << column;
                ASSERT_FALSE(shown.empty());
                const bool arrows = shown.front().arrow;
                for (std::size_t row = 0; row < shown.size(); ++row) {
                    const ComboFrame& combo = shown[row];
                    EXPECT_EQ(combo.arrow, arrows) << "column " << column << " row " << row << " looks different";
                    EXPECT_TRUE(wholeOrVisiblyCut(combo.text, values[row])) << combo.text;
                    if (arrows) {
                        EXPECT_EQ(combo.text, values[row]) << "cut beside an arrow";
                    } else if (ImGui::CalcTextSize(values[row].c_str()).x <=
                               combo.rect.GetWidth() - style.FramePadding.x) {
                        EXPECT_EQ(combo.text, values[row]) << "cut although the frame holds it";
                    }
                }
                if (std::string(language) == "en" && width >= 1100.0f) {
                    EXPECT_TRUE(arrows) << "column " << column << " at the window's own size";
                }
            }
        }
    }
}

// The Use column is fitted to its checkbox; its long Dutch and German headers stay whole only
// while every header of the table fits.
TEST_F(SoundCardsTabTest, UseColumnGivesItsHeadersRoomToTheOthersWhenTheTableIsShort) {
    ImGui::GetIO().DisplaySize = ImVec2(1280.0f, 960.0f);
    start(crowdedSettings("de"));
    const std::string header = inLanguage(UiLanguage::German, UiText::Use);
    const auto headerRun = [&]() -> std::optional<TextRun> {
        for (const TextRun& run : contents()) {
            if (table()->OuterRect.Contains(run.rect.GetCenter()) && columnAt(run.rect.Min.x) == 0) return run;
        }
        return std::nullopt;
    };
    const auto columnContentWidth = [&]() { return table()->Columns[0].WidthGiven; };
    ASSERT_TRUE(headerRun().has_value());
    EXPECT_EQ(headerRun()->text, header);
    EXPECT_GE(columnContentWidth(), ImGui::CalcTextSize(header.c_str()).x);

    ImGui::GetIO().DisplaySize = ImVec2(480.0f, 960.0f);
    frames(3);
    EXPECT_NEAR(columnContentWidth(), ImGui::GetFrameHeight(), 1.0f) << "fitted to the checkbox";
    ASSERT_TRUE(headerRun().has_value());
    EXPECT_TRUE(wholeOrVisiblyCut(headerRun()->text, header) && headerRun()->text != header) << headerRun()->text;
    ASSERT_NO_FATAL_FAILURE(expectTooltipAt(headerRun()->rect.GetCenter(), header));

    // "Use" is about as wide as the checkbox, and the cell's padding holds the rest.
    ui_->setLanguage("en");
    moveMouse(ImVec2(0.0f, 0.0f));
    frames(3);
    ASSERT_TRUE(headerRun().has_value());
    EXPECT_EQ(headerRun()->text, english(UiText::Use));
}

TEST_F(SoundCardsTabTest, LogoBlockSitsAtTheRightWhenWideAndAboveTheTextWhenNarrow) {
    ImGui::GetIO().DisplaySize = ImVec2(1200.0f, 600.0f);
    start(englishSettings());
    // Only drawn, never sampled: any texture id does.
    ui_->setLogo(reinterpret_cast<ID3D11ShaderResourceView*>(0x1000), 200, 100);
    frames(2);
    const std::string help = english(UiText::SoundCardsHelp);
    std::optional<ImRect> logo = logoRect();
    ASSERT_TRUE(logo.has_value());
    EXPECT_NEAR(logo->GetHeight(), 3.3f * ImGui::GetFontSize(), 0.5f);
    EXPECT_NEAR(logo->GetWidth(), std::round(3.3f * ImGui::GetFontSize() * 2.0f), 0.5f);
    const ImRect content = tab()->ContentRegionRect;
    std::optional<TextRun> helpRun = findRun(readText(tab()), help);
    ASSERT_TRUE(helpRun.has_value()) << "one line when wide";
    EXPECT_GT(logo->Min.x, content.GetCenter().x);
    EXPECT_LT(helpRun->rect.Max.x, logo->Min.x);
    EXPECT_LT(logo->Min.y, helpRun->rect.Max.y) << "beside the help text";

    ImGui::GetIO().DisplaySize = ImVec2(520.0f, 600.0f);
    frames(2);
    logo = logoRect();
    ASSERT_TRUE(logo.has_value());
    const std::vector<TextRun> runs = readText(tab());
    const auto first = std::find_if(runs.begin(), runs.end(), [&](const TextRun& run) {
        return help.rfind(run.text, 0) == 0 && run.text.size() > 4;
    });
    ASSERT_NE(first, runs.end());
    EXPECT_NEAR(logo->Min.x, content.Min.x, 1.0f);
    EXPECT_GT(first->rect.Min.y, logo->Max.y) << "the help text comes under the block";
    // Whatever follows the header starts below the block.
    const std::optional<TextRun> useHeader = findRun(runs, "Use");
    ASSERT_TRUE(useHeader.has_value());
    EXPECT_GT(useHeader->rect.Min.y, logo->Max.y);
}

TEST_F(SoundCardsTabTest, WithoutSoundCardsOnlyTheHeaderAndAMessageShow) {
    useRouter({}, false, L"Local\\qova-soundcardstest");
    start(englishSettings());
    const std::vector<TextRun> runs = contents();
    ASSERT_NO_FATAL_FAILURE(expectShown(runs, english(UiText::NoSoundCardsFound), kDimColour));
    EXPECT_FALSE(findRun(runs, "Use").has_value()) << "no table";
    EXPECT_EQ(runs.back().text, english(UiText::NoSoundCardsFound));
}

// The button opens the driver's own settings window: the test ASIO driver, registered like a
// real one, counts the calls.
TEST_F(SoundCardsTabTest, TheAsioControlPanelButtonOpensTheDriversPanel) {
    // The UI thread is a single-threaded apartment, as in the program; drivers need one.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    const std::string sectionName = "Local\\qova-panel-test-" + std::to_string(GetCurrentProcessId());
    win::UniqueHandle section(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 static_cast<DWORD>(test_asio::kRecordBytes), sectionName.c_str()));
    ASSERT_TRUE(section);
    win::MappedView view(MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    const auto& record = *static_cast<const test_asio::TestAsioRecord*>(view.get());
    SetEnvironmentVariableA("QOVA_TEST_ASIO_RECORD", sectionName.c_str());
    const std::string name = "QOVA Panel Test";
    ASSERT_NO_FATAL_FAILURE(test_asio::registerClass(test_asio::kClassA));
    ASSERT_NO_FATAL_FAILURE(test_asio::registerDriverName(name, test_asio::kClassA));

    const win::DeviceInfo device = asioDevice(name);
    useRouter({device}, false, L"Local\\qova-paneltest");
    core::Settings settings = englishSettings({deviceSettings(device, true)});
    settings.devices[0].api = core::DeviceApi::Asio;
    start(settings);
    ASSERT_EQ(status(device.key)->state, win::DeviceState::Open) << status(device.key)->problem;
    EXPECT_EQ(record.controlPanelCalls.load(), 0u);

    click(tab(), ImHashStr("###asioPanel", 0, sectionId(device.key)));
    EXPECT_EQ(record.controlPanelCalls.load(), 1u);

    ui_.reset();
    router_.reset();
    SetEnvironmentVariableA("QOVA_TEST_ASIO_RECORD", nullptr);
    test_asio::unregisterDriverName(name);
    test_asio::unregisterClass(test_asio::kClassA);
    CoUninitialize();
}

}  // namespace
}  // namespace app
