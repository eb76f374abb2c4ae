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
#include <imgui_internal.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/Tabs.h"
#include "app/ui/Ui.h"
#include "app/ui/Widgets.h"

namespace app {
namespace {

// 0 is the driver's own choice, shown as "Default".
constexpr std::uint32_t kSampleRates[] = {0, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr std::uint32_t kBufferFrames[] = {0, 32, 48, 64, 96, 128, 192, 256, 384, 512, 1024, 2048, 4096};
constexpr std::uint32_t kPeriods[] = {0, 2, 3, 4};

// Every choice in view at once: the longest list has 13 entries. The frame's value and arrow
// are drawn by drawComboFrame.
constexpr ImGuiComboFlags kComboFlags =
    ImGuiComboFlags_HeightLargest | ImGuiComboFlags_NoArrowButton | ImGuiComboFlags_CustomPreview;

// The slim arrow of a combo in the table: half-width as a share of the font size.
constexpr float kSlimArrowHalfWidth = 0.28f;

constexpr ImGuiTableFlags kTableFlags = ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH |
                                        ImGuiTableFlags_SizingStretchProp | ImGuiTableFlags_PadOuterX;

// The combos of one table column share one look: with the slim arrow when the widest value
// the column shows fits beside it, else without (see drawComboFrame).
struct ComboColumnWidths {
    float driver = 0.0f;
    float rate = 0.0f;
    float buffer = 0.0f;
    float periods = 0.0f;
};

// The frame of a combo in the table: the value, and at the right a slim arrow of its own.
// Dear ImGui's arrow is a square button as wide as the frame is high, which leaves no room
// for the value in cells of a normal window in Dutch or German; a frame without any arrow
// reads as a text field. The slim one costs little more than the frame padding, so most
// columns keep it; a column whose widest value (`columnWidest`) would not fit beside it
// shows its values without it and with half the padding, so that they stay whole as long
// as they can. A value that does not fit even then ends in an ellipsis and shows whole on
// hover. Call after the combo's BeginCombo/EndCombo.
void drawComboFrame(const std::string& preview, float columnWidest) {
    if (!ImGui::BeginComboPreview()) return;
    const ImGuiStyle& style = ImGui::GetStyle();
    const ImRect frame = GImGui->ComboPreviewData.PreviewRect;
    const float half = kSlimArrowHalfWidth * ImGui::GetFontSize();
    const float arrowRight = frame.Max.x - 0.5f * style.FramePadding.x;
    const float arrowLeft = arrowRight - 2.0f * half;
    const bool arrow = frame.Min.x + style.FramePadding.x + columnWidest + style.ItemInnerSpacing.x <= arrowLeft;
    const float inset = arrow ? style.FramePadding.x : 0.5f * style.FramePadding.x;
    const ImVec2 textMin(std::floor(frame.Min.x + inset), std::floor(frame.Min.y + style.FramePadding.y));
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    if (arrow) {
        const ImVec2 centre(arrowLeft + half, frame.GetCenter().y);
        drawList->AddTriangleFilled(ImVec2(arrowLeft, centre.y - 0.5f * half),
                                    ImVec2(arrowRight, centre.y - 0.5f * half),
                                    ImVec2(centre.x, centre.y + 0.6f * half), ImGui::GetColorU32(ImGuiCol_Text));
    }
    const float textMaxX =
        std::max(textMin.x + 1.0f, arrow ? arrowLeft - style.ItemInnerSpacing.x : frame.Max.x - inset);
    const char* end = preview.c_str() + preview.size();
    const ImVec2 size = ImGui::CalcTextSize(preview.c_str(), end);
    ImGui::RenderTextEllipsis(drawList, textMin, ImVec2(textMaxX, frame.Max.y), textMaxX, preview.c_str(), end, &size);
    ImGui::EndComboPreview();
    if (size.x > textMaxX - textMin.x && ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip)) {
        ImGui::SetTooltip("%s", preview.c_str());
    }
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
void numberCombo(const Ui& ui, const char* id, const std::uint32_t (&choices)[N], std::uint32_t* value, UiText format,
                 float columnWidest) {
    const std::uint32_t current = value != nullptr ? *value : 0;
    ImGui::SetNextItemWidth(-FLT_MIN);
    if (ImGui::BeginCombo(id, "", kComboFlags)) {
        for (const std::uint32_t choice : choices) {
            const bool selected = value != nullptr && choice == current;
            if (ImGui::Selectable(choiceText(ui, choice, format).c_str(), selected) && value != nullptr) {
                *value = choice;
            }
            if (selected) ImGui::SetItemDefaultFocus();
        }
        ImGui::EndCombo();
    }
    // The value as it is now, a choice made just above included.
    drawComboFrame(choiceText(ui, value != nullptr ? *value : 0, format), columnWidest);
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
    if (ImGui::Button(label(ui.language(), UiText::LookForSoundCardsAgain, "###rescan").c_str())) {
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

void drawDriverCell(const Ui& ui, const win::DeviceStatus& device, core::DeviceSettings* settings, float columnWidest) {
    switch (device.info.family) {
    case win::DeviceFamily::Asio:
        ImGui::AlignTextToFramePadding();
        clippedText(uiText(ui.language(), UiText::Asio));
        return;
    case win::DeviceFamily::Null:
        ImGui::AlignTextToFramePadding();
        clippedText("Test");
        return;
    default: break;
    }
    const bool exclusive = settings != nullptr && settings->api == core::DeviceApi::Exclusive;
    const std::string shared(uiText(ui.language(), UiText::WasapiShared));
    const std::string exclusiveText(uiText(ui.language(), UiText::WasapiExclusive));
    ImGui::SetNextItemWidth(-FLT_MIN);
    if (ImGui::BeginCombo("##api", "", kComboFlags)) {
        if (ImGui::Selectable(shared.c_str(), !exclusive) && settings != nullptr) {
            settings->api = core::DeviceApi::Shared;
        }
        if (!exclusive) ImGui::SetItemDefaultFocus();
        if (ImGui::Selectable(exclusiveText.c_str(), exclusive) && settings != nullptr) {
            settings->api = core::DeviceApi::Exclusive;
        }
        if (exclusive) ImGui::SetItemDefaultFocus();
        ImGui::EndCombo();
    }
    const bool nowExclusive = settings != nullptr && settings->api == core::DeviceApi::Exclusive;
    drawComboFrame(nowExclusive ? exclusiveText : shared, columnWidest);
}

// The state, cut with an ellipsis when the cell is too narrow and then whole on hover; a
// failure adds "(?)" where it fits and shows its problem text on hover.
void drawStateCell(const Ui& ui, const win::DeviceStatus& device) {
    ImGui::AlignTextToFramePadding();
    UiText text = UiText::Off;
    ImVec4 colour = kDimColour;
    switch (device.state) {
    case win::DeviceState::Off: break;
    case win::DeviceState::Open:
        text = UiText::Running;
        colour = kOkColour;
        break;
    case win::DeviceState::Missing:
        text = UiText::NotConnected;
        colour = kWarningColour;
        break;
    case win::DeviceState::Failed:
        text = UiText::Error;
        colour = kErrorColour;
        break;
    default: return;
    }
    const std::string_view shown = uiText(ui.language(), text);
    const bool cut = clippedText(shown, colour);
    bool hovered = ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
    const bool failed = device.state == win::DeviceState::Failed;
    // "(?)" only where it fits whole; the state text answers a hover as well.
    constexpr std::string_view hint = "(?)";
    const float hintRoom =
        ImGui::GetContentRegionAvail().x - ImGui::GetItemRectSize().x - ImGui::GetStyle().ItemSpacing.x;
    if (failed && !cut && ImGui::CalcTextSize(hint.data(), hint.data() + hint.size()).x <= hintRoom) {
        ImGui::SameLine();
        clippedText(hint, kErrorColour);
        hovered = hovered || ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip);
    }
    if (!hovered) return;
    const std::string problem = failed ? device.problem : std::string();
    if (cut && !problem.empty()) {
        ImGui::SetTooltip("%.*s\n%s", static_cast<int>(shown.size()), shown.data(), problem.c_str());
    } else if (cut) {
        ImGui::SetTooltip("%.*s", static_cast<int>(shown.size()), shown.data());
    } else if (!problem.empty()) {
        ImGui::SetTooltip("%s", problem.c_str());
    }
}

// The sound card's name and, in the dim colour, its channel count, flowing over as many lines
// as the cell needs: lines break between words of the name, and the count goes to the next
// line only when it does not fit after the name. Two sound cards of one maker often differ
// only at the end of their names, so names are not cut short; only a single word wider than
// the whole cell ends in an ellipsis, and the name then shows whole on hover.
void drawNameCell(const Ui& ui, const win::DeviceStatus& device) {
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    if (window->SkipItems) return;
    const std::string& name = device.info.name.empty() ? device.info.key : device.info.name;
    char channels[64] = {};
    if (device.channels != 0) {
        const std::string format(uiText(ui.language(), UiText::NChannels));
        std::snprintf(channels, sizeof(channels), format.c_str(), static_cast<unsigned>(device.channels));
    }

    struct Word {
        std::string_view text;
        bool dim = false;
        float gapBefore = 0.0f;  // before it, when it follows on the same line
        ImVec2 position{};
        float width = 0.0f;
        bool cut = false;

        Word(std::string_view shown, bool inDimColour, float gap) : text(shown), dim(inDimColour), gapBefore(gap) {}
    };
    std::vector<Word> words;
    const float space = ImGui::CalcTextSize(" ").x;
    std::size_t start = name.find_first_not_of(' ');
    while (start != std::string::npos) {
        const std::size_t stop = std::min(name.find(' ', start), name.size());
        const std::size_t spacesBefore = words.empty() ? 0 : start - name.find_last_not_of(' ', start - 1) - 1;
        words.emplace_back(std::string_view(name).substr(start, stop - start), false,
                           space * static_cast<float>(spacesBefore));
        start = name.find_first_not_of(' ', stop);
    }
    if (channels[0] != '\0') words.emplace_back(channels, true, ImGui::GetStyle().ItemSpacing.x);

    ImGui::AlignTextToFramePadding();
    const ImVec2 origin(std::floor(window->DC.CursorPos.x),
                        std::floor(window->DC.CursorPos.y + window->DC.CurrLineTextBaseOffset));
    const float right = origin.x + std::max(ImGui::GetContentRegionAvail().x, 1.0f);
    const float lineHeight = ImGui::GetTextLineHeight();
    ImVec2 pen = origin;
    float widest = 0.0f;
    bool cut = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        Word& word = words[i];
        const float width = ImGui::CalcTextSize(word.text.data(), word.text.data() + word.text.size()).x;
        if (i > 0) {
            if (pen.x + word.gapBefore + width <= right) {
                pen.x += word.gapBefore;
            } else {
                pen = ImVec2(origin.x, pen.y + lineHeight);
            }
        }
        word.position = pen;
        word.cut = pen.x + width > right;
        word.width = word.cut ? right - pen.x : width;
        cut = cut || word.cut;
        pen.x += word.width;
        widest = std::max(widest, pen.x - origin.x);
    }

    const ImVec2 size(widest, pen.y + lineHeight - origin.y);
    const ImRect box(origin.x, origin.y, origin.x + size.x, origin.y + size.y);
    ImGui::ItemSize(size, 0.0f);
    if (!ImGui::ItemAdd(box, 0)) return;
    for (const Word& word : words) {
        ImGui::PushStyleColor(ImGuiCol_Text, word.dim ? kDimColour : ImGui::GetStyleColorVec4(ImGuiCol_Text));
        const char* end = word.text.data() + word.text.size();
        if (word.cut) {
            const float maxX = word.position.x + word.width;
            ImGui::RenderTextEllipsis(window->DrawList, word.position, ImVec2(maxX, window->ClipRect.Max.y), maxX,
                                      word.text.data(), end, nullptr);
        } else {
            ImGui::RenderText(word.position, word.text.data(), end, false);
        }
        ImGui::PopStyleColor();
    }
    if (cut && ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip)) {
        ImGui::SetTooltip("%s%s%s", name.c_str(), channels[0] != '\0' ? "\n" : "", channels);
    }
}

void drawDeviceRow(Ui& ui, const win::DeviceStatus& device, const ComboColumnWidths& widest) {
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
    drawNameCell(ui, device);

    // Choices of a sound card that is off stay visible but cannot be changed.
    ImGui::BeginDisabled(!enabled);
    ImGui::TableNextColumn();
    drawDriverCell(ui, device, settings, widest.driver);
    ImGui::TableNextColumn();
    numberCombo(ui, "##rate", kSampleRates, settings != nullptr ? &settings->sampleRate : nullptr, UiText::Default,
                widest.rate);
    ImGui::TableNextColumn();
    numberCombo(ui, "##buffer", kBufferFrames, settings != nullptr ? &settings->bufferFrames : nullptr, UiText::NFrames,
                widest.buffer);
    ImGui::TableNextColumn();
    // An ASIO driver fixes its own buffering: no periods to choose.
    if (device.info.family != win::DeviceFamily::Asio) {
        numberCombo(ui, "##periods", kPeriods, settings != nullptr ? &settings->periods : nullptr, UiText::Default,
                    widest.periods);
    }
    ImGui::EndDisabled();

    ImGui::TableNextColumn();
    if (device.state == win::DeviceState::Open) {
        const double latencyMs = device.rate != 0 ? device.latency * 1000.0 / device.rate : 0.0;
        char latency[32];
        std::snprintf(latency, sizeof(latency), "%.1f ms", latencyMs);
        ImGui::AlignTextToFramePadding();
        const bool cut = clippedText(latency);
        if (ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip) && (cut || !device.description.empty())) {
            if (cut) {
                ImGui::SetTooltip("%s\n%s", latency, device.description.c_str());
            } else {
                ImGui::SetTooltip("%s", device.description.c_str());
            }
        }
    }

    ImGui::TableNextColumn();
    drawStateCell(ui, device);
    ImGui::PopID();
}

// The widest value each combo column shows, over every row.
ComboColumnWidths measureComboColumns(const Ui& ui) {
    const auto width = [](const std::string& text) { return ImGui::CalcTextSize(text.c_str()).x; };
    const UiLanguage language = ui.language();
    ComboColumnWidths widest;
    for (const win::DeviceStatus& device : ui.devices()) {
        const core::DeviceSettings* settings = ui.pending().findDevice(device.info.key);
        const bool exclusive = settings != nullptr && settings->api == core::DeviceApi::Exclusive;
        const win::DeviceFamily family = device.info.family;
        if (family != win::DeviceFamily::Asio && family != win::DeviceFamily::Null) {
            const UiText driver = exclusive ? UiText::WasapiExclusive : UiText::WasapiShared;
            widest.driver = std::max(widest.driver, width(std::string(uiText(language, driver))));
        }
        const std::uint32_t rate = settings != nullptr ? settings->sampleRate : 0;
        const std::uint32_t buffer = settings != nullptr ? settings->bufferFrames : 0;
        const std::uint32_t periods = settings != nullptr ? settings->periods : 0;
        widest.rate = std::max(widest.rate, width(choiceText(ui, rate, UiText::Default)));
        widest.buffer = std::max(widest.buffer, width(choiceText(ui, buffer, UiText::NFrames)));
        if (family != win::DeviceFamily::Asio) {
            widest.periods = std::max(widest.periods, width(choiceText(ui, periods, UiText::Default)));
        }
    }
    return widest;
}

struct ColumnSetup {
    UiText header;
    float weight;  // 0 for the Use column, which has a fixed width
};

constexpr ColumnSetup kColumns[] = {
    {UiText::Use, 0.0f},    {UiText::SoundCard, 3.0f}, {UiText::Driver, 1.4f},  {UiText::SampleRate, 1.0f},
    {UiText::Buffer, 1.1f}, {UiText::Periods, 0.8f},   {UiText::Latency, 0.8f}, {UiText::State, 1.4f},
};

// The Use column is fitted to its checkbox. Its header is wider than that in Dutch and
// German; the column still shows it whole while the table has room for every header, and
// gives that room back to the other columns once it has not: narrow windows need it more
// for values than for a header over a column of checkboxes (the cut header still shows
// whole on hover, as every cut header does).
bool useHeaderStaysWhole(UiLanguage language, float tableWidth) {
    const float padding = 2.0f * ImGui::GetStyle().CellPadding.x;
    const auto headerWidth = [language](UiText header) {
        const std::string_view text = uiText(language, header);
        return ImGui::CalcTextSize(text.data(), text.data() + text.size()).x;
    };
    const float useWidth = std::max(ImGui::GetFrameHeight(), headerWidth(UiText::Use));
    float weights = 0.0f;
    for (const ColumnSetup& column : kColumns) weights += column.weight;
    const float stretchRoom = tableWidth - useWidth - padding * static_cast<float>(std::size(kColumns));
    for (const ColumnSetup& column : kColumns) {
        if (column.weight > 0.0f && headerWidth(column.header) > stretchRoom * column.weight / weights) return false;
    }
    return true;
}

void drawDeviceTable(Ui& ui) {
    const UiLanguage language = ui.language();
    const bool useHeaderWhole = useHeaderStaysWhole(language, ImGui::GetContentRegionAvail().x);
    if (!ImGui::BeginTable("##devices", static_cast<int>(std::size(kColumns)), kTableFlags)) return;
    for (const ColumnSetup& column : kColumns) {
        const std::string header(uiText(language, column.header));
        if (column.weight > 0.0f) {
            ImGui::TableSetupColumn(header.c_str(), ImGuiTableColumnFlags_WidthStretch, column.weight);
        } else {
            ImGui::TableSetupColumn(header.c_str(), ImGuiTableColumnFlags_WidthFixed |
                                                        (useHeaderWhole ? 0 : ImGuiTableColumnFlags_NoHeaderWidth));
        }
    }
    ImGui::TableHeadersRow();
    const ComboColumnWidths widest = measureComboColumns(ui);
    for (const win::DeviceStatus& device : ui.devices()) drawDeviceRow(ui, device, widest);
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
    // A long description wraps beside the name instead of running off the window.
    ImGui::SameLine();
    ImGui::PushTextWrapPos(0.0f);
    showText(device.description, kDimColour);
    ImGui::PopTextWrapPos();
    if (device.info.family == win::DeviceFamily::Asio) {
        ImGui::SameLine();
        if (ImGui::SmallButton(label(ui.language(), UiText::AsioControlPanel, "###asioPanel").c_str())) {
            ui.router().showControlPanel(key);
        }
    }

    std::vector<float>& displayed = ui.meters()[key];
    displayed.resize(device.peaks.size(), 0.0f);
    const float fontSize = ImGui::GetFontSize();
    const ImVec2 meterSize(std::min(0.35f * ImGui::GetContentRegionAvail().x, 260.0f), 0.9f * fontSize);
    const std::string channelFormat(uiText(ui.language(), UiText::ChannelN));
    const std::string stop = label(ui.language(), UiText::Stop, "###tone");
    const std::string test = label(ui.language(), UiText::Test, "###tone");

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

        // One line per channel keeps the bars evenly spaced: a card name too long for the
        // room left ends in an ellipsis and shows whole on hover.
        if (const core::CardSettings* card = ui.applied().findCardUsingOutput(key, channel)) {
            ImGui::SameLine();
            if (clippedText(card->name, kDimColour) && ImGui::IsItemHovered(ImGuiHoveredFlags_ForTooltip)) {
                ImGui::SetTooltip("%s", card->name.c_str());
            }
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
        if (device.state == win::DeviceState::Open && !device.peaks.empty()) drawMeters(ui, device);
    }
}

}  // namespace app
