#include "app/ui/Widgets.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>

#include "app/ui/Ui.h"

namespace app {

void showText(std::string_view text) {
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
}

void showText(std::string_view text, const ImVec4& colour) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    showText(text);
    ImGui::PopStyleColor();
}

std::string label(std::string_view text, const char* id) {
    std::string out(text);
    out += id;
    return out;
}

std::string label(UiLanguage language, UiText text, const char* id) {
    return label(uiText(language, text), id);
}

namespace {

// The room to the right of the cursor up to the clipping edge: in a table cell that includes
// the cell's right padding, which is better spent on a whole word than left empty beside an
// ellipsis.
float roomToTheRight(const ImGuiWindow* window) {
    return std::max({ImGui::GetContentRegionAvail().x, window->ClipRect.Max.x - window->DC.CursorPos.x, 1.0f});
}

// One line of text within `room`, cut with an ellipsis when longer; true when it was cut.
bool clippedTextWithin(std::string_view text, float room) {
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    const char* end = text.data() + text.size();
    const ImVec2 size = ImGui::CalcTextSize(text.data(), end);
    const bool cut = size.x > room;
    const ImVec2 shown(cut ? room : size.x, size.y);
    // On whole pixels, as glyphs are drawn: a clip edge between pixels would shave the first
    // glyph and the ellipsis.
    const ImVec2 position(std::floor(window->DC.CursorPos.x),
                          std::floor(window->DC.CursorPos.y + window->DC.CurrLineTextBaseOffset));
    const ImRect box(position.x, position.y, position.x + shown.x, position.y + shown.y);
    ImGui::ItemSize(shown, 0.0f);
    if (!ImGui::ItemAdd(box, 0)) return cut;
    if (cut) {
        // Clipped on the right only: descenders reach below the line height.
        ImGui::RenderTextEllipsis(window->DrawList, box.Min, ImVec2(box.Max.x, window->ClipRect.Max.y), box.Max.x,
                                  text.data(), end, &size);
    } else {
        ImGui::RenderText(box.Min, text.data(), end, false);
    }
    return cut;
}

}  // namespace

bool clippedText(std::string_view text) {
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    if (window->SkipItems) return false;
    return clippedTextWithin(text, roomToTheRight(window));
}

bool clippedTextKeepingTail(std::string_view head, std::string_view tail) {
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    if (window->SkipItems) return false;
    return clippedTextKeepingTail(head, tail, roomToTheRight(window));
}

bool clippedTextKeepingTail(std::string_view head, std::string_view tail, float room) {
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    if (window->SkipItems) return false;
    const ImVec2 tailSize = ImGui::CalcTextSize(tail.data(), tail.data() + tail.size());
    const ImVec2 headSize = ImGui::CalcTextSize(head.data(), head.data() + head.size());
    if (headSize.x + tailSize.x <= room) return clippedTextWithin(std::string(head) + std::string(tail), room);
    // The head keeps at least a letter and the ellipsis; in a cell narrower still the window's
    // clipping cuts the tail as well.
    const float headRoom = std::max(std::floor(room - tailSize.x), ImGui::CalcTextSize("W...").x);
    const ImVec2 position(std::floor(window->DC.CursorPos.x),
                          std::floor(window->DC.CursorPos.y + window->DC.CurrLineTextBaseOffset));
    const ImRect box(position.x, position.y, position.x + std::min(headRoom + tailSize.x, room),
                     position.y + std::max(headSize.y, tailSize.y));
    // One item for both parts, so that hovering either shows the whole.
    ImGui::ItemSize(box.GetSize(), 0.0f);
    if (!ImGui::ItemAdd(box, 0)) return true;
    const float headRight = position.x + headRoom;
    ImGui::RenderTextEllipsis(window->DrawList, box.Min, ImVec2(headRight, window->ClipRect.Max.y), headRight,
                              head.data(), head.data() + head.size(), &headSize);
    ImGui::RenderText(ImVec2(headRight, position.y), tail.data(), tail.data() + tail.size(), false);
    return true;
}

bool clippedText(std::string_view text, const ImVec4& colour) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    const bool cut = clippedText(text);
    ImGui::PopStyleColor();
    return cut;
}

// Lines are broken at spaces only: Dear ImGui's own wrapping also breaks after a full stop,
// which splits a file name such as LICENSE.txt over two lines. A word longer than a whole line
// is left to Dear ImGui to break.
void wrappedText(std::string_view text) {
    // A group: every line starts where the first one does, and the whole is one item to hover.
    ImGui::BeginGroup();
    const float startX = ImGui::GetCursorPosX();
    const float width = std::max(ImGui::GetContentRegionAvail().x, 1.0f);
    auto line = [&](std::string_view piece, bool breakAnywhere) {
        if (breakAnywhere) ImGui::PushTextWrapPos(startX + width);
        ImGui::TextUnformatted(piece.data(), piece.data() + piece.size());
        if (breakAnywhere) ImGui::PopTextWrapPos();
    };
    auto fits = [width](std::string_view piece) {
        return ImGui::CalcTextSize(piece.data(), piece.data() + piece.size()).x <= width;
    };
    std::size_t paragraphStart = 0;
    while (paragraphStart <= text.size()) {
        const std::size_t newline = std::min(text.find('\n', paragraphStart), text.size());
        std::string_view rest = text.substr(paragraphStart, newline - paragraphStart);
        while (!fits(rest)) {
            // The longest run of whole words that fits.
            std::size_t cut = std::string_view::npos;
            for (std::size_t space = rest.find(' '); space != std::string_view::npos && fits(rest.substr(0, space));
                 space = rest.find(' ', space + 1))
                cut = space;
            if (cut == std::string_view::npos || cut == 0) {
                const std::size_t wordEnd = std::min(rest.find(' ', 1), rest.size());
                line(rest.substr(0, wordEnd), true);
                rest.remove_prefix(wordEnd);
            } else {
                line(rest.substr(0, cut), false);
                rest.remove_prefix(cut);
            }
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        }
        line(rest, false);
        paragraphStart = newline + 1;
    }
    ImGui::EndGroup();
}

void wrappedText(std::string_view text, const ImVec4& colour) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    wrappedText(text);
    ImGui::PopStyleColor();
}

LogoBlock measureLogoBlock(const Ui& ui) {
    LogoBlock block;
    if (ui.logo() != nullptr && ui.logoWidth() > 0 && ui.logoHeight() > 0) {
        block.logoHeight = std::round(3.3f * ImGui::GetFontSize());
        block.logoWidth =
            std::round(block.logoHeight * static_cast<float>(ui.logoWidth()) / static_cast<float>(ui.logoHeight()));
    }
    block.textFontSize = 0.8f * ImGui::GetStyle().FontSizeBase;
    ImGui::PushFont(nullptr, block.textFontSize);
    block.textSize = ImGui::CalcTextSize(kTrademarkLines);
    ImGui::PopFont();
    block.size.x = block.textSize.x;
    if (block.logoWidth > 0.0f) block.size.x += ImGui::GetStyle().ItemSpacing.x + block.logoWidth;
    block.size.y = std::max(block.logoHeight, block.textSize.y);
    return block;
}

void drawLogoBlock(const Ui& ui, const LogoBlock& block, ImVec2 origin) {
    float textX = origin.x;
    if (block.logoWidth > 0.0f) {
        ImGui::SetCursorScreenPos(origin);
        ImGui::Image(ImTextureRef(reinterpret_cast<ImTextureID>(ui.logo())), ImVec2(block.logoWidth, block.logoHeight));
        textX += block.logoWidth + ImGui::GetStyle().ItemSpacing.x;
    }
    ImGui::SetCursorScreenPos(ImVec2(textX, origin.y + (block.size.y - block.textSize.y) * 0.5f));
    ImGui::PushFont(nullptr, block.textFontSize);
    ImGui::TextUnformatted(kTrademarkLines);
    ImGui::PopFont();
}

void drawLogoBlock(const Ui& ui) {
    const LogoBlock block = measureLogoBlock(ui);
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    drawLogoBlock(ui, block, origin);
    ImGui::SetCursorScreenPos(origin);
    ImGui::Dummy(block.size);
}

}  // namespace app
