#pragma once

// Drawing helpers the tabs share. UI thread, inside a Dear ImGui frame.

#include <imgui.h>

#include <string>
#include <string_view>

#include "app/ui/Localisation.h"

namespace app {

// The lines beside the logo, wherever it is drawn.
inline constexpr const char* kTrademarkLines = "ASIO is a registered\ntrademark of Steinberg\nMedia Technologies\nGmbH";

// "<text>###id", so a widget keeps its id in every language.
std::string label(std::string_view text, const char* id);
// The same for a text of the table in `language`.
std::string label(UiLanguage language, UiText text, const char* id);

void showText(std::string_view text);
void showText(std::string_view text, const ImVec4& colour);

// Text broken into lines at the window's right edge.
void wrappedText(std::string_view text);

// One line of text that ends in an ellipsis where the room to the right runs out (a table
// cell, or the window), laid out like ImGui::TextUnformatted so that it lines up with the
// frame padding and can be hovered. True when it was cut; the caller then shows the whole
// text on hover.
bool clippedText(std::string_view text);
bool clippedText(std::string_view text, const ImVec4& colour);

}  // namespace app
