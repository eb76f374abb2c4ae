#pragma once

// Drawing helpers the tabs share. UI thread, inside a Dear ImGui frame.

#include <imgui.h>

#include <string>
#include <string_view>

#include "app/ui/Localisation.h"

namespace app {

class Ui;

// The lines beside the logo, wherever it is drawn.
inline constexpr const char* kTrademarkLines = "ASIO is a registered\ntrademark of Steinberg\nMedia Technologies\nGmbH";

// "<text>###id", so a widget keeps its id in every language.
std::string label(std::string_view text, const char* id);
// The same for a text of the table in `language`.
std::string label(UiLanguage language, UiText text, const char* id);

void showText(std::string_view text);
void showText(std::string_view text, const ImVec4& colour);

// Text broken into lines at spaces before the window's right edge; every line starts where the
// first one does, and the whole is one item (for a tooltip on hover).
void wrappedText(std::string_view text);
void wrappedText(std::string_view text, const ImVec4& colour);

// One line of text that ends in an ellipsis where the room to the right runs out (a table
// cell, or the window), laid out like ImGui::TextUnformatted so that it lines up with the
// frame padding and can be hovered. True when it was cut; the caller then shows the whole
// text on hover.
bool clippedText(std::string_view text);
bool clippedText(std::string_view text, const ImVec4& colour);
// The same for head + tail, where the tail (a channel number, say) is the part that matters:
// the head is cut first, so that the tail shows whole wherever there is room for it.
bool clippedTextKeepingTail(std::string_view head, std::string_view tail);
// Within `room` pixels rather than up to the clipping edge (a combo's preview).
bool clippedTextKeepingTail(std::string_view head, std::string_view tail, float room);

// The logo and the trademark lines beside it, the text centred on the logo's height; without
// a logo, the text alone. Measured first, so that a tab can place it.
struct LogoBlock {
    float logoWidth = 0.0f;
    float logoHeight = 0.0f;
    float textFontSize = 0.0f;
    ImVec2 textSize;
    ImVec2 size;
};
LogoBlock measureLogoBlock(const Ui& ui);
// With its top-left corner at origin (screen position); the cursor is left where it ends.
void drawLogoBlock(const Ui& ui, const LogoBlock& block, ImVec2 origin);
// At the cursor, which then moves below it.
void drawLogoBlock(const Ui& ui);

}  // namespace app
