// The Status tab: which players use which cards now, how full their rings are, what went
// missing, and the sound cards running with their latency. It reads the Ui's last snapshot
// and changes nothing.

#include <imgui.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/ui/Tabs.h"
#include "app/ui/Ui.h"
#include "app/ui/Widgets.h"
#include "core/ring/CardRingLayout.h"

namespace app {
namespace {

constexpr std::uint64_t kMaxShownDropFrames = 4294967295u;

double milliseconds(double frames, double rate) {
    return rate > 0.0 ? frames * 1000.0 / rate : 0.0;
}

std::string text(const Ui& ui, UiText id) {
    return std::string(uiText(ui.language(), id));
}

std::string displayName(const Ui& ui, const win::DeviceStatus& device) {
    if (!device.info.name.empty()) return device.info.name;
    for (const core::DeviceSettings& settings : ui.pending().devices) {
        if (settings.key == device.info.key && !settings.name.empty()) return settings.name;
    }
    return device.info.key;
}

void drawPlayersTable(const Ui& ui) {
    if (!ImGui::BeginTable("##status", 4, ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH)) return;
    ImGui::TableSetupColumn(text(ui, UiText::Name).c_str());
    ImGui::TableSetupColumn(text(ui, UiText::Player).c_str());
    ImGui::TableSetupColumn(text(ui, UiText::PlayerBuffer).c_str());
    ImGui::TableSetupColumn(text(ui, UiText::Dropouts).c_str());
    ImGui::TableHeadersRow();
    for (const win::CardStatus& card : ui.cards()) {
        if (!card.playing) continue;
        ImGui::TableNextRow();
        ImGui::TableNextColumn();
        ImGui::TextUnformatted(card.name.c_str());
        ImGui::TableNextColumn();
        ImGui::TextUnformatted(card.player.c_str());
        ImGui::TableNextColumn();
        ImGui::Text("%.1f / %.1f ms", milliseconds(card.fill, core::kRingRateHz),
                    milliseconds(card.target, core::kRingRateHz));
        ImGui::TableNextColumn();
        // Both halves of a joined card count: a gap on either side is heard.
        const std::uint64_t lost =
            std::min<std::uint64_t>(card.underrunFrames + std::min(card.farDropFrames, kMaxShownDropFrames),
                                    kMaxShownDropFrames);
        ImGui::TextColored(lost > 0 ? kWarningColour : kOkColour, "%.0f ms",
                           milliseconds(static_cast<double>(lost), core::kRingRateHz));
    }
    ImGui::EndTable();
}

}  // namespace

void drawStatusTab(Ui& ui) {
    wrappedText(text(ui, UiText::PlayersHelp));
    ImGui::Spacing();

    const bool anyPlaying =
        std::any_of(ui.cards().begin(), ui.cards().end(), [](const win::CardStatus& card) { return card.playing; });
    if (anyPlaying) {
        drawPlayersTable(ui);
    } else {
        wrappedText(text(ui, UiText::NoPlayerUsing), kDimColour);
    }

    ImGui::Spacing();
    ImGui::Separator();
    for (const win::DeviceStatus& device : ui.devices()) {
        if (device.state != win::DeviceState::Open) continue;
        ImGui::TextColored(kAccentColour, "%s", displayName(ui, device).c_str());
        ImGui::SameLine();
        char latency[32];
        std::snprintf(latency, sizeof latency, ", %.1f ms", milliseconds(device.latency, device.rate));
        wrappedText(device.description + latency, kDimColour);
    }
}

}  // namespace app
