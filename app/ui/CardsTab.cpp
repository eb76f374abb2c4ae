// The Cards tab: the table of pending cards, where names, mono mix and delays are edited and
// cards deleted, and under it the two forms that make new cards. Everything here edits the
// Ui's pending settings only; the checks and the making of ids and names belong to the card
// editing operations, and this tab only decides what the user can pick.

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/Tabs.h"
#include "app/ui/Ui.h"
#include "app/ui/Widgets.h"
#include "core/settings/CardEditing.h"
#include "core/settings/Settings.h"
#include "core/text/Utf8.h"

namespace app {
namespace {

constexpr ImGuiTableFlags kCardsTableFlags = ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH |
                                             ImGuiTableFlags_SizingStretchProp | ImGuiTableFlags_PadOuterX;
constexpr std::size_t kDefaultNameBytes = 40;  // a sound card's name used as the name of new cards

// Owns the texts of one frame that ImGui needs as C strings.
struct TabText {
    explicit TabText(UiLanguage language) : language(language) {}

    std::string operator()(UiText id) const { return std::string(uiText(language, id)); }

    // "Channel %u" with a one-based channel number.
    std::string channel(std::uint32_t zeroBased) const {
        const std::string format(uiText(language, UiText::ChannelN));
        char text[128];
        std::snprintf(text, sizeof(text), format.c_str(), zeroBased + 1);
        return text;
    }

    std::string label(UiText id, const char* widgetId) const { return app::label(language, id, widgetId); }

    UiLanguage language;
};

const win::DeviceStatus* deviceStatus(const Ui& ui, std::string_view key) {
    for (const win::DeviceStatus& device : ui.devices()) {
        if (device.info.key == key) return &device;
    }
    return nullptr;
}

// What the last snapshot says; a sound card it does not list has no channels to offer.
std::uint32_t channelCount(const Ui& ui, std::string_view key) {
    const win::DeviceStatus* device = deviceStatus(ui, key);
    return device != nullptr ? device->channels : 0;
}

// The scanned name first, since the settings may hold an older one; the key when both are empty.
std::string displayName(const Ui& ui, std::string_view key) {
    const win::DeviceStatus* device = deviceStatus(ui, key);
    if (device != nullptr && !device->info.name.empty()) return device->info.name;
    for (const core::DeviceSettings& settings : ui.pending().devices) {
        if (settings.key == key && !settings.name.empty()) return settings.name;
    }
    return std::string(key);
}

// The combos have fixed widths and sound-card names can be long: a preview the combo cuts off
// shows whole on hover. Called right after BeginCombo, while the combo is the last item.
void previewTooltip(const std::string& preview) {
    const float room = ImGui::GetItemRectSize().x - ImGui::GetFrameHeight() - 2.0f * ImGui::GetStyle().FramePadding.x;
    if (ImGui::CalcTextSize(preview.c_str()).x > room) ImGui::SetItemTooltip("%s", preview.c_str());
}

int clampIndex(int& index, int count) {
    index = std::clamp(index, 0, std::max(count - 1, 0));
    return index;
}

// The pending sound cards new cards can be made on: turned on, and with channels to use.
struct Candidate {
    std::string key;
    std::string name;
    std::uint32_t channels = 0;
};

std::vector<Candidate> candidates(const Ui& ui) {
    std::vector<Candidate> list;
    for (const core::DeviceSettings& device : ui.pending().devices) {
        if (!device.enabled) continue;
        const std::uint32_t channels = channelCount(ui, device.key);
        if (channels > 0) list.push_back({device.key, displayName(ui, device.key), channels});
    }
    return list;
}

// One output of the join form: a channel of a candidate.
struct JoinOutput {
    const Candidate* device = nullptr;
    std::uint32_t channel = 0;
    std::string label;  // the sound card's name, then `tail`
    std::string tail;   // ", Channel N"
};

void drawState(const Ui& ui, const TabText& text, const core::CardSettings& card) {
    const auto status = std::find_if(ui.cards().begin(), ui.cards().end(),
                                     [&](const win::CardStatus& entry) { return entry.id == card.id; });
    if (status == ui.cards().end()) {
        // Not applied yet: the router knows nothing of it.
        ImGui::TextColored(kDimColour, "-");
        return;
    }
    if (status->playing) {
        ImGui::TextColored(kOkColour, "%s", text(UiText::Playing).c_str());
        if (ImGui::BeginItemTooltip()) {
            ImGui::TextUnformatted(status->player.c_str());
            ImGui::EndTooltip();
        }
    } else if (status->live) {
        ImGui::TextColored(kAccentColour, "%s", text(UiText::Ready).c_str());
    } else {
        ImGui::TextColored(kWarningColour, "%s", text(UiText::SoundCardOff).c_str());
        if (!status->problem.empty() && ImGui::BeginItemTooltip()) {
            ImGui::TextUnformatted(status->problem.c_str());
            ImGui::EndTooltip();
        }
    }
}

float widestText(std::initializer_list<std::string> texts) {
    float widest = 0.0f;
    for (const std::string& text : texts) widest = std::max(widest, ImGui::CalcTextSize(text.c_str()).x);
    return widest;
}

// One row per pending card. Returns the id of the card whose Delete was pressed, or empty.
std::string drawCardsTable(Ui& ui, const TabText& text) {
    std::string toDelete;
    if (!ImGui::BeginTable("##cards", 7, kCardsTableFlags)) return toDelete;
    ImGui::TableSetupColumn(text(UiText::Name).c_str(), ImGuiTableColumnFlags_WidthStretch, 2.0f);
    ImGui::TableSetupColumn(text(UiText::Type).c_str(), ImGuiTableColumnFlags_WidthStretch, 0.7f);
    ImGui::TableSetupColumn(text(UiText::Outputs).c_str(), ImGuiTableColumnFlags_WidthStretch, 3.0f);
    const char* monoItems[] = {nullptr, nullptr, nullptr};
    const std::string monoTexts[] = {text(UiText::LeftPlusRight), text(UiText::LeftOnly), text(UiText::RightOnly)};
    for (int i = 0; i < 3; ++i) monoItems[i] = monoTexts[i].c_str();
    // The mono mix and the state are short words that must show whole in every language: their
    // columns are as wide as the widest of them; the names and outputs share the rest.
    const float comboExtra = ImGui::GetFrameHeight() + 2.0f * ImGui::GetStyle().FramePadding.x;
    const float monoWidth = std::max(widestText({monoTexts[0], monoTexts[1], monoTexts[2]}) + comboExtra,
                                     widestText({text(UiText::MonoMix)}));
    const float stateWidth =
        widestText({text(UiText::State), text(UiText::Playing), text(UiText::Ready), text(UiText::SoundCardOff)});
    ImGui::TableSetupColumn(text(UiText::MonoMix).c_str(), ImGuiTableColumnFlags_WidthFixed, monoWidth);
    ImGui::TableSetupColumn(text(UiText::DelayMs).c_str(), ImGuiTableColumnFlags_WidthStretch, 1.2f);
    ImGui::TableSetupColumn(text(UiText::State).c_str(), ImGuiTableColumnFlags_WidthFixed, stateWidth);
    ImGui::TableSetupColumn("##del", ImGuiTableColumnFlags_WidthFixed);
    ImGui::TableHeadersRow();

    const std::string left = text(UiText::Left);
    const std::string right = text(UiText::Right);
    const std::string deleteLabel = text.label(UiText::Delete, "###delete");

    for (core::CardSettings& card : ui.pending().cards) {
        ImGui::PushID(card.id.c_str());
        ImGui::TableNextRow();

        ImGui::TableNextColumn();
        char name[core::kMaxCardNameBytes + 1];
        const std::string shown = core::cutUtf8(card.name, core::kMaxCardNameBytes);
        std::memcpy(name, shown.c_str(), shown.size() + 1);
        ImGui::SetNextItemWidth(-FLT_MIN);
        // Empty and duplicate names are the validation's to report, in the apply bar.
        if (ImGui::InputText("##name", name, sizeof(name))) card.name = name;

        ImGui::TableNextColumn();
        ImGui::TextUnformatted(text(card.members.size() == 1 ? UiText::Mono : UiText::Stereo).c_str());

        ImGui::TableNextColumn();
        // Sound-card names can be long; a line the column cuts off shows whole on hover.
        for (std::size_t i = 0; i < card.members.size(); ++i) {
            const core::CardMember& member = card.members[i];
            if (card.members.size() == 2) {
                ImGui::TextColored(kDimColour, "%s:", (i == 0 ? left : right).c_str());
                ImGui::SameLine();
            }
            // The channel is what the column is for: the sound card's name is cut before it.
            const std::string device = displayName(ui, member.device);
            const std::string channel = ", " + text.channel(member.channel);
            if (clippedTextKeepingTail(device, channel) && ImGui::BeginItemTooltip()) {
                ImGui::TextUnformatted((device + channel).c_str());
                ImGui::EndTooltip();
            }
        }

        ImGui::TableNextColumn();
        if (card.members.size() == 1) {
            int mono = static_cast<int>(card.mono);
            if (mono < 0 || mono > 2) mono = 0;
            ImGui::SetNextItemWidth(-FLT_MIN);
            if (ImGui::BeginCombo("##mono", monoItems[mono])) {
                for (int item = 0; item < 3; ++item) {
                    if (ImGui::Selectable(monoItems[item], item == mono)) card.mono = static_cast<core::MonoMode>(item);
                }
                ImGui::EndCombo();
            } else {
                previewTooltip(monoTexts[mono]);
            }
        }

        ImGui::TableNextColumn();
        for (std::size_t i = 0; i < card.members.size(); ++i) {
            ImGui::PushID(static_cast<int>(i));
            double delay = card.members[i].delayMs;
            const double lowest = 0.0;
            const double highest = core::kMaxDelayMs;
            ImGui::SetNextItemWidth(-FLT_MIN);
            // AlwaysClamp: a typed 600 is stored as 500, not kept out of range.
            if (ImGui::DragScalar("##delay", ImGuiDataType_Double, &delay, 0.25f, &lowest, &highest, "%.1f ms",
                                  ImGuiSliderFlags_AlwaysClamp)) {
                card.members[i].delayMs = delay;
            }
            ImGui::PopID();
        }

        ImGui::TableNextColumn();
        drawState(ui, text, card);

        ImGui::TableNextColumn();
        if (ImGui::SmallButton(deleteLabel.c_str())) toDelete = card.id;

        ImGui::PopID();
    }
    ImGui::EndTable();
    return toDelete;
}

// The name for new cards: the typed one, else the sound card's own.
std::string nameOrDefault(const char* typed, const Candidate& device) {
    if (typed[0] != '\0') return typed;
    return core::cutUtf8(device.name, kDefaultNameBytes);
}

void drawAddForm(Ui& ui, const TabText& text, const std::vector<Candidate>& devices) {
    if (devices.empty()) return;
    AddCardForm& form = ui.addCardForm();
    clampIndex(form.deviceIndex, static_cast<int>(devices.size()));
    const float fontSize = ImGui::GetFontSize();

    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted(text(UiText::AddFrom).c_str());
    ImGui::SameLine();
    ImGui::SetNextItemWidth(18.0f * fontSize);
    const std::string& preview = devices[static_cast<std::size_t>(form.deviceIndex)].name;
    const bool open = ImGui::BeginCombo("##adddev", preview.c_str());
    if (!open) previewTooltip(preview);
    if (open) {
        for (int i = 0; i < static_cast<int>(devices.size()); ++i) {
            ImGui::PushID(i);
            if (ImGui::Selectable(devices[static_cast<std::size_t>(i)].name.c_str(), i == form.deviceIndex)) {
                form.deviceIndex = i;
                form.pairIndex = 0;
                form.monoChannelIndex = 0;
            }
            ImGui::PopID();
        }
        ImGui::EndCombo();
    }
    // Looked up after the combo: a choice made just now counts in this frame already.
    const Candidate& chosen = devices[static_cast<std::size_t>(form.deviceIndex)];
    const std::uint32_t count = chosen.channels;

    if (count > 1) {
        const int pairs = static_cast<int>(count / 2);
        clampIndex(form.pairIndex, pairs);
        ImGui::SameLine();
        ImGui::SetNextItemWidth(9.0f * fontSize);
        char preview[32];
        std::snprintf(preview, sizeof(preview), "%d + %d", 2 * form.pairIndex + 1, 2 * form.pairIndex + 2);
        if (ImGui::BeginCombo("##pair", preview)) {
            for (int pair = 0; pair < pairs; ++pair) {
                char item[32];
                std::snprintf(item, sizeof(item), "%d + %d", 2 * pair + 1, 2 * pair + 2);
                if (ImGui::Selectable(item, pair == form.pairIndex)) form.pairIndex = pair;
            }
            ImGui::EndCombo();
        }
    }

    ImGui::SameLine();
    ImGui::SetNextItemWidth(12.0f * fontSize);
    ImGui::InputTextWithHint("##addname", text(UiText::Name).c_str(), form.name, sizeof(form.name));

    const std::string name = nameOrDefault(form.name, chosen);
    const core::RandomSource random = [&ui] { return ui.nextRandom(); };
    core::EditResult result = core::EditResult::Success;
    bool acted = false;
    if (count > 1) {
        const auto first = static_cast<std::uint32_t>(2 * form.pairIndex);
        if (ImGui::Button(text.label(UiText::OneStereoCard, "###stereo").c_str())) {
            result = core::addStereoCard(ui.pending(), chosen.key, first, count, name, random);
            acted = true;
        }
        ImGui::SameLine();
        if (ImGui::Button(text.label(UiText::SplitIntoTwoMonoCards, "###split").c_str())) {
            result = core::addSplitCards(ui.pending(), chosen.key, first, count, name, random);
            acted = true;
        }
        ImGui::SameLine();
    }

    clampIndex(form.monoChannelIndex, static_cast<int>(count));
    // As wide as its widest choice, the arrow beside it.
    ImGui::SetNextItemWidth(ImGui::CalcTextSize(text.channel(std::max(count, 1u) - 1).c_str()).x +
                            ImGui::GetFrameHeight() + 2.0f * ImGui::GetStyle().FramePadding.x);
    if (ImGui::BeginCombo("##monoch", text.channel(static_cast<std::uint32_t>(form.monoChannelIndex)).c_str())) {
        for (std::uint32_t channel = 0; channel < count; ++channel) {
            ImGui::PushID(static_cast<int>(channel));
            if (ImGui::Selectable(text.channel(channel).c_str(), static_cast<int>(channel) == form.monoChannelIndex)) {
                form.monoChannelIndex = static_cast<int>(channel);
            }
            ImGui::PopID();
        }
        ImGui::EndCombo();
    }
    ImGui::SameLine();
    if (ImGui::Button(text.label(UiText::OneMonoCard, "###mono").c_str())) {
        result = core::addMonoCard(ui.pending(), chosen.key, static_cast<std::uint32_t>(form.monoChannelIndex), count,
                                   name, random);
        acted = true;
    }

    if (!acted) return;
    ui.showEditResult(result);
    // A refusal keeps the typed name, so the user can correct it.
    if (result == core::EditResult::Success) form.name[0] = '\0';
}

void drawOutputCombo(const char* id, int& index, const std::vector<JoinOutput>& outputs) {
    clampIndex(index, static_cast<int>(outputs.size()));
    const JoinOutput& chosen = outputs[static_cast<std::size_t>(index)];
    if (ImGui::BeginCombo(id, "", ImGuiComboFlags_CustomPreview)) {
        for (int i = 0; i < static_cast<int>(outputs.size()); ++i) {
            ImGui::PushID(i);
            if (ImGui::Selectable(outputs[static_cast<std::size_t>(i)].label.c_str(), i == index)) index = i;
            ImGui::PopID();
        }
        ImGui::EndCombo();
    } else {
        previewTooltip(chosen.label);
    }
    // The channel is what the choice is about: the sound card's name is cut before it.
    if (ImGui::BeginComboPreview()) {
        const std::string_view label = chosen.label;
        // The cursor already stands at the frame's padding: no line offset on top of it.
        ImGui::GetCurrentWindow()->DC.CurrLineTextBaseOffset = 0.0f;
        // The preview's own clip rectangle, less the padding at its right.
        const float room = ImGui::GetCurrentWindow()->ClipRect.Max.x - ImGui::GetStyle().FramePadding.x -
                           ImGui::GetCursorScreenPos().x;
        clippedTextKeepingTail(label.substr(0, label.size() - chosen.tail.size()), chosen.tail, room);
        ImGui::EndComboPreview();
    }
}

void drawJoinForm(Ui& ui, const TabText& text, const std::vector<Candidate>& devices) {
    std::vector<JoinOutput> outputs;
    for (const Candidate& device : devices) {
        for (std::uint32_t channel = 0; channel < device.channels; ++channel) {
            const std::string tail = ", " + text.channel(channel);
            outputs.push_back({&device, channel, device.name + tail, tail});
        }
    }
    if (outputs.size() < 2) return;
    JoinForm& form = ui.joinForm();
    const float fontSize = ImGui::GetFontSize();

    ImGui::TextColored(kAccentColour, "%s", text(UiText::JoinTwoOutputs).c_str());
    const struct {
        UiText label;
        const char* id;
        int& index;
    } rows[] = {{UiText::LeftFrom, "##joinl", form.leftIndex}, {UiText::RightFrom, "##joinr", form.rightIndex}};
    for (const auto& row : rows) {
        ImGui::AlignTextToFramePadding();
        ImGui::TextUnformatted(text(row.label).c_str());
        ImGui::SameLine(6.0f * fontSize);
        ImGui::SetNextItemWidth(22.0f * fontSize);
        drawOutputCombo(row.id, row.index, outputs);
    }

    ImGui::SetNextItemWidth(12.0f * fontSize);
    ImGui::InputTextWithHint("##joinname", text(UiText::Name).c_str(), form.name, sizeof(form.name));
    ImGui::SameLine();
    if (!ImGui::Button(text.label(UiText::Join, "###join").c_str())) return;

    const JoinOutput& left = outputs[static_cast<std::size_t>(form.leftIndex)];
    const JoinOutput& right = outputs[static_cast<std::size_t>(form.rightIndex)];
    const std::string name = form.name[0] != '\0' ? std::string(form.name) : std::string("Stereo");
    const core::EditResult result =
        core::joinOutputs(ui.pending(), left.device->key, left.channel, right.device->key, right.channel,
                          left.device->channels, right.device->channels, name, [&ui] { return ui.nextRandom(); });
    ui.showEditResult(result);
    if (result == core::EditResult::Success) form.name[0] = '\0';
}

}  // namespace

void drawCardsTab(Ui& ui) {
    const TabText text(ui.language());
    wrappedText(text(UiText::CardsHelp));
    ImGui::Spacing();

    if (ui.pending().cards.empty()) {
        wrappedText(text(UiText::NoCardsYet), kDimColour);
    } else {
        const std::string toDelete = drawCardsTable(ui, text);
        // After the table, so the rows drawn this frame all belonged to existing cards.
        if (!toDelete.empty()) core::deleteCard(ui.pending(), toDelete);
    }

    // Taken once, after the table: the forms list the devices as they stand now.
    const std::vector<Candidate> devices = candidates(ui);
    ImGui::Spacing();
    ImGui::Separator();
    drawAddForm(ui, text, devices);
    ImGui::Spacing();
    ImGui::Separator();
    drawJoinForm(ui, text, devices);
}

}  // namespace app
