// The Sound cards tab: which sound cards QOVA may drive and how, their state, and live level
// meters with a test tone per channel for every sound card that runs.
//
// Index: header (logo block, help, rescan, exclusive warning); the "##devices" table and its
// cells; the meters. Choices edit the Ui's pending settings and wait for Apply; rescan, test
// tones and the ASIO control panel act on the router at once.
//
// Widget ids, all inside the tab item:
//   "###rescan"                                   Look for sound cards again
//   "##devices" / <device key> / "##use" "##api" "##rate" "##buffer" "##periods"
//   <device key> / "###asioPanel"                 ASIO control panel, above its meters
//   <device key> / <channel> / "###tone"          Test / Stop

#include <imgui.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/Tabs.h"
#include "app/Ui.h"

namespace app {
namespace {

// 0 is the driver's own choice, shown as "Default".
constexpr std::uint32_t kSampleRates[] = {0, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr std::uint32_t kBufferFrames[] = {0, 32, 48, 64, 96, 128, 192, 256, 384, 512, 1024, 2048, 4096};
constexpr std::uint32_t kPeriods[] = {0, 2, 3, 4};

constexpr std::uint8_t kStateOff = 0;
constexpr std::uint8_t kStateOpen = 1;
constexpr std::uint8_t kStateMissing = 2;
constexpr std::uint8_t kStateFailed = 3;

constexpr const char* kTrademark = "ASIO is a registered\ntrademark of Steinberg\nMedia Technologies\nGmbH";

// Every choice in view at once: the longest list has 13 entries.
constexpr ImGuiComboFlags kComboFlags = ImGuiComboFlags_HeightLargest;

constexpr ImGuiTableFlags kTableFlags = ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH |
                                        ImGuiTableFlags_SizingStretchProp | ImGuiTableFlags_PadOuterX;

void showText(std::string_view text) {
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
}

void showText(std::string_view text, const ImVec4& colour) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    showText(text);
    ImGui::PopStyleColor();
}

// "<text>###id", so a widget keeps its id in every language.
std::string label(std::string_view text, const char* id) {
    std::string out(text);
    out += id;
    return out;
}

// Narrow cells (a small window, or the longer Dutch and German words) would cut the preview
// short behind the arrow; without the arrow it stays whole, and a click anywhere still opens
// it. Measured against the widest text the combo can show, so a whole column looks alike.
ImGuiComboFlags comboFlags(float widestTextWidth) {
    const float needed = widestTextWidth + 2.0f * ImGui::GetStyle().FramePadding.x + ImGui::GetFrameHeight();
    return needed > ImGui::GetContentRegionAvail().x ? kComboFlags | ImGuiComboFlags_NoArrowButton : kComboFlags;
}

// A choice of one of the number lists: "Default" for 0, else the number in decimal or in a
// one-number format such as "%u frames".
std::string choiceText(const Ui& ui, std::uint32_t value, UiText format) {
    if (value == 0) return std::string(uiText(ui.language(), UiText::Default));
    char buffer[64];
    if (format == UiText::Default) {
        std::snprintf(buffer, sizeof(buffer), "%u", static_cast<unsigned>(value));
    } else {
        // The format comes from our own text table and takes exactly one unsigned number.
        const std::string pattern(uiText(ui.language(), format));
        std::snprintf(buffer, sizeof(buffer), pattern.c_str(), static_cast<unsigned>(value));
    }
    return buffer;
}

// A combo over one number list. `value` is null when the sound card has no settings: it then
// shows "Default" and ignores a choice. A value from a hand-edited file that is not in the
// list is still the preview, with no item marked.
template <std::size_t N>
void numberCombo(const Ui& ui, const char* id, const std::uint32_t (&choices)[N], std::uint32_t* value,
                 UiText format) {
    const std::uint32_t current = value != nullptr ? *value : 0;
    const std::string preview = choiceText(ui, current, format);
    float widest = ImGui::CalcTextSize(preview.c_str()).x;
    for (const std::uint32_t choice : choices) {
        widest = std::max(widest, ImGui::CalcTextSize(choiceText(ui, choice, format).c_str()).x);
    }
    ImGui::SetNextItemWidth(-FLT_MIN);
    if (!ImGui::BeginCombo(id, preview.c_str(), comboFlags(widest))) return;
    for (const std::uint32_t choice : choices) {
        const bool selected = value != nullptr && choice == current;
        if (ImGui::Selectable(choiceText(ui, choice, format).c_str(), selected) && value != nullptr) *value = choice;
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

// The logo and the ASIO trademark lines beside it, the text centred on the logo's height.
struct LogoBlock {
    float logoWidth = 0.0f;
    float logoHeight = 0.0f;
    float textFontSize = 0.0f;
    ImVec2 textSize;
    ImVec2 size;
};

LogoBlock measureLogoBlock(const Ui& ui) {
    LogoBlock block;
    if (ui.logo() != nullptr && ui.logoHeight() > 0) {
        block.logoHeight = 3.3f * ImGui::GetFontSize();
        block.logoWidth = std::round(block.logoHeight * static_cast<float>(ui.logoWidth()) /
                                     static_cast<float>(ui.logoHeight()));
    }
    block.textFontSize = 0.8f * ImGui::GetStyle().FontSizeBase;
    ImGui::PushFont(nullptr, block.textFontSize);
    block.textSize = ImGui::CalcTextSize(kTrademark);
    ImGui::PopFont();
    block.size.x = block.textSize.x;
    if (block.logoWidth > 0.0f) block.size.x += ImGui::GetStyle().ItemSpacing.x + block.logoWidth;
    block.size.y = std::max(block.logoHeight, block.textSize.y);
    return block;
}

// Draws the block with its top-left corner at `origin` (screen position).
void drawLogoBlock(const Ui& ui, const LogoBlock& block, ImVec2 origin) {
    float textX = origin.x;
    if (block.logoWidth > 0.0f) {
        ImGui::SetCursorScreenPos(origin);
        ImGui::Image(ImTextureRef(reinterpret_cast<ImTextureID>(ui.logo())), ImVec2(block.logoWidth, block.logoHeight));
        textX += block.logoWidth + ImGui::GetStyle().ItemSpacing.x;
    }
    ImGui::SetCursorScreenPos(ImVec2(textX, origin.y + (block.size.y - block.textSize.y) * 0.5f));
    ImGui::PushFont(nullptr, block.textFontSize);
    ImGui::PushStyleColor(ImGuiCol_Text, kDimColour);
    ImGui::TextUnformatted(kTrademark);
    ImGui::PopStyleColor();
    ImGui::PopFont();
}

bool anyExclusiveDriver(const core::Settings& settings) {
    return std::any_of(settings.devices.begin(), settings.devices.end(), [](const core::DeviceSettings& device) {
        return device.enabled && device.api != core::DeviceApi::Shared;
    });
}

void drawHeader(Ui& ui) {
    const ImGuiStyle& style = ImGui::GetStyle();
    const float available = ImGui::GetContentRegionAvail().x;
    const ImVec2 start = ImGui::GetCursorScreenPos();
    const float startX = ImGui::GetCursorPosX();
    const LogoBlock block = measureLogoBlock(ui);

    // Wide enough: the block sits at the right and the text wraps before it. Otherwise the
    // block goes first, on a line of its own, and the text uses the whole width.
    float blockBottom = start.y;
    if (available >= 2.5f * block.size.x) {
        drawLogoBlock(ui, block, ImVec2(start.x + available - block.size.x, start.y));
        blockBottom = start.y + block.size.y;
        ImGui::SetCursorScreenPos(start);
        ImGui::PushTextWrapPos(startX + available - block.size.x - 2.0f * style.ItemSpacing.x);
    } else {
        drawLogoBlock(ui, block, start);
        ImGui::SetCursorScreenPos(ImVec2(start.x, start.y + block.size.y + style.ItemSpacing.y));
        ImGui::PushTextWrapPos(0.0f);
    }

    showText(uiText(ui.language(), UiText::SoundCardsHelp));
    if (ImGui::Button(label(uiText(ui.language(), UiText::LookForSoundCardsAgain), "###rescan").c_str())) {
        ui.router().rescan();
    }
    if (anyExclusiveDriver(ui.pending())) {
        ImGui::SameLine();
        showText(uiText(ui.language(), UiText::ExclusiveWarning), kWarningColour);
    }
    ImGui::PopTextWrapPos();

    const float below = blockBottom + style.ItemSpacing.y - ImGui::GetCursorScreenPos().y;
    if (below > 0.0f) ImGui::Dummy(ImVec2(0.0f, below));
}

void drawDriverCell(const Ui& ui, const win::DeviceStatus& device, core::DeviceSettings* settings) {
    switch (device.info.family) {
    case win::DeviceFamily::Asio:
        ImGui::AlignTextToFramePadding();
        showText(uiText(ui.language(), UiText::Asio));
        return;
    case win::DeviceFamily::Null:
        ImGui::AlignTextToFramePadding();
        showText("Test");
        return;
    default:
        break;
    }
    const bool exclusive = settings != nullptr && settings->api == core::DeviceApi::Exclusive;
    const std::string shared(uiText(ui.language(), UiText::WasapiShared));
    const std::string exclusiveText(uiText(ui.language(), UiText::WasapiExclusive));
    const char* preview = exclusive ? exclusiveText.c_str() : shared.c_str();
    ImGui::SetNextItemWidth(-FLT_MIN);
    const float widest = std::max(ImGui::CalcTextSize(shared.c_str()).x, ImGui::CalcTextSize(exclusiveText.c_str()).x);
    if (!ImGui::BeginCombo("##api", preview, comboFlags(widest))) return;
    if (ImGui::Selectable(shared.c_str(), !exclusive) && settings != nullptr) settings->api = core::DeviceApi::Shared;
    if (!exclusive) ImGui::SetItemDefaultFocus();
    if (ImGui::Selectable(exclusiveText.c_str(), exclusive) && settings != nullptr) {
        settings->api = core::DeviceApi::Exclusive;
    }
    if (exclusive) ImGui::SetItemDefaultFocus();
    ImGui::EndCombo();
}

void drawStateCell(const Ui& ui, const win::DeviceStatus& device) {
    ImGui::AlignTextToFramePadding();
    switch (device.state) {
    case kStateOff:
        showText(uiText(ui.language(), UiText::Off), kDimColour);
        break;
    case kStateOpen:
        showText(uiText(ui.language(), UiText::Running), kOkColour);
        break;
    case kStateMissing:
        showText(uiText(ui.language(), UiText::NotConnected), kWarningColour);
        break;
    case kStateFailed: {
        showText(uiText(ui.language(), UiText::Error), kErrorColour);
        bool hovered = ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
        ImGui::SameLine();
        showText("(?)", kErrorColour);
        hovered = hovered || ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
        if (hovered && !device.problem.empty()) ImGui::SetTooltip("%s", device.problem.c_str());
        break;
    }
    default:
        break;
    }
}

void drawDeviceRow(Ui& ui, const win::DeviceStatus& device) {
    const std::string& key = device.info.key;
    core::DeviceSettings* settings = ui.pending().findDevice(key);
    const bool enabled = settings != nullptr && settings->enabled;
    ImGui::PushID(key.c_str(), key.c_str() + key.size());
    ImGui::TableNextRow();

    ImGui::TableNextColumn();
    bool use = enabled;
    if (ImGui::Checkbox("##use", &use)) {
        if (use) {
            core::enableDevice(ui.pending(), key, device.info.name);
        } else if (settings != nullptr) {
            settings->enabled = false;
        }
        // Enabling may have added an entry and moved the list.
        settings = ui.pending().findDevice(key);
    }

    ImGui::TableNextColumn();
    const std::string& name = device.info.name.empty() ? key : device.info.name;
    char channels[64] = {};
    if (device.channels != 0) {
        const std::string format(uiText(ui.language(), UiText::NChannels));
        std::snprintf(channels, sizeof(channels), format.c_str(), static_cast<unsigned>(device.channels));
    }
    const float cellWidth = ImGui::GetContentRegionAvail().x;
    ImGui::AlignTextToFramePadding();
    showText(name);
    bool hovered = ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
    if (channels[0] != '\0') {
        ImGui::SameLine();
        showText(channels, kDimColour);
        hovered = hovered || ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
    }
    // Long names are cut at the cell's edge; hovering shows them whole.
    float neededWidth = ImGui::CalcTextSize(name.c_str()).x;
    if (channels[0] != '\0') neededWidth += ImGui::GetStyle().ItemSpacing.x + ImGui::CalcTextSize(channels).x;
    if (hovered && neededWidth > cellWidth) ImGui::SetTooltip("%s  %s", name.c_str(), channels);

    // Choices of a sound card that is off stay visible but cannot be changed.
    ImGui::BeginDisabled(!enabled);
    ImGui::TableNextColumn();
    drawDriverCell(ui, device, settings);
    ImGui::TableNextColumn();
    numberCombo(ui, "##rate", kSampleRates, settings != nullptr ? &settings->sampleRate : nullptr, UiText::Default);
    ImGui::TableNextColumn();
    numberCombo(ui, "##buffer", kBufferFrames, settings != nullptr ? &settings->bufferFrames : nullptr,
                UiText::NFrames);
    ImGui::TableNextColumn();
    // An ASIO driver fixes its own buffering: no periods to choose.
    if (device.info.family != win::DeviceFamily::Asio) {
        numberCombo(ui, "##periods", kPeriods, settings != nullptr ? &settings->periods : nullptr, UiText::Default);
    }
    ImGui::EndDisabled();

    ImGui::TableNextColumn();
    if (device.state == kStateOpen) {
        const double latencyMs = device.rate != 0 ? device.latency * 1000.0 / device.rate : 0.0;
        ImGui::AlignTextToFramePadding();
        ImGui::Text("%.1f ms", latencyMs);
        if (!device.description.empty()) ImGui::SetItemTooltip("%s", device.description.c_str());
    }

    ImGui::TableNextColumn();
    drawStateCell(ui, device);
    ImGui::PopID();
}

void drawDeviceTable(Ui& ui) {
    if (!ImGui::BeginTable("##devices", 8, kTableFlags)) return;
    const UiLanguage language = ui.language();
    const auto column = [language](UiText header, ImGuiTableColumnFlags flags, float weight) {
        ImGui::TableSetupColumn(std::string(uiText(language, header)).c_str(), flags, weight);
    };
    // The checkbox column fits its contents; the others share the rest by weight.
    column(UiText::Use, ImGuiTableColumnFlags_WidthFixed, 0.0f);
    column(UiText::SoundCard, ImGuiTableColumnFlags_WidthStretch, 3.0f);
    column(UiText::Driver, ImGuiTableColumnFlags_WidthStretch, 1.4f);
    column(UiText::SampleRate, ImGuiTableColumnFlags_WidthStretch, 1.0f);
    column(UiText::Buffer, ImGuiTableColumnFlags_WidthStretch, 1.1f);
    column(UiText::Periods, ImGuiTableColumnFlags_WidthStretch, 0.8f);
    column(UiText::Latency, ImGuiTableColumnFlags_WidthStretch, 0.8f);
    column(UiText::State, ImGuiTableColumnFlags_WidthStretch, 1.4f);
    ImGui::TableHeadersRow();
    for (const win::DeviceStatus& device : ui.devices()) drawDeviceRow(ui, device);
    ImGui::EndTable();
}

// 0 for silence, else the peak on a 60 dB scale on which full scale is 1.
float meterLevel(float peak) {
    if (peak <= 0.000001f) return 0.0f;
    return std::clamp((20.0f * std::log10(peak) + 60.0f) / 60.0f, 0.0f, 1.0f);
}

void drawMeters(Ui& ui, const win::DeviceStatus& device) {
    const std::string& key = device.info.key;
    ImGui::PushID(key.c_str(), key.c_str() + key.size());
    ImGui::Spacing();
    showText(device.info.name.empty() ? key : device.info.name, kAccentColour);
    ImGui::SameLine();
    showText(device.description, kDimColour);
    if (device.info.family == win::DeviceFamily::Asio) {
        ImGui::SameLine();
        if (ImGui::SmallButton(label(uiText(ui.language(), UiText::AsioControlPanel), "###asioPanel").c_str())) {
            ui.router().showControlPanel(key);
        }
    }

    std::vector<float>& displayed = ui.meters()[key];
    displayed.resize(device.peaks.size(), 0.0f);
    const float fontSize = ImGui::GetFontSize();
    const ImVec2 meterSize(std::min(0.35f * ImGui::GetContentRegionAvail().x, 260.0f), 0.9f * fontSize);
    const std::string channelFormat(uiText(ui.language(), UiText::ChannelN));
    const std::string stop = label(uiText(ui.language(), UiText::Stop), "###tone");
    const std::string test = label(uiText(ui.language(), UiText::Test), "###tone");

    for (std::size_t i = 0; i < device.peaks.size(); ++i) {
        const auto channel = static_cast<std::uint32_t>(i);
        ImGui::PushID(static_cast<int>(i));
        // Falls by 8 % a frame and jumps up at once.
        displayed[i] = std::max(displayed[i] * 0.92f, meterLevel(device.peaks[i]));

        char channelText[64];
        std::snprintf(channelText, sizeof(channelText), channelFormat.c_str(), static_cast<unsigned>(i + 1));
        ImGui::AlignTextToFramePadding();
        showText(channelText);
        ImGui::SameLine(7.0f * fontSize);
        ImGui::PushStyleColor(ImGuiCol_PlotHistogram, displayed[i] > 0.95f ? kErrorColour : kAccentColour);
        ImGui::ProgressBar(displayed[i], meterSize, "");
        ImGui::PopStyleColor();

        const bool tone = i < device.tones.size() && device.tones[i];
        ImGui::SameLine();
        if (ImGui::SmallButton(tone ? stop.c_str() : test.c_str())) ui.router().setTestTone(key, channel, !tone);

        if (const core::CardSettings* card = ui.applied().findCardUsingOutput(key, channel)) {
            ImGui::SameLine();
            showText(card->name, kDimColour);
        }
        ImGui::PopID();
    }
    ImGui::PopID();
}

}  // namespace

void drawSoundCardsTab(Ui& ui) {
    drawHeader(ui);
    if (ui.devices().empty()) {
        showText(uiText(ui.language(), UiText::NoSoundCardsFound), kDimColour);
        return;
    }
    drawDeviceTable(ui);
    for (const win::DeviceStatus& device : ui.devices()) {
        if (device.state == kStateOpen && !device.peaks.empty()) drawMeters(ui, device);
    }
}

}  // namespace app
