#pragma once

// The contents of the four tabs, each drawn inside its tab item by Ui::draw. They read the
// Ui's snapshot lists and edit its pending settings; only the Sound cards tab acts on the
// router at once (rescan, test tones, ASIO control panel).

namespace app {

class Ui;

void drawSoundCardsTab(Ui& ui);
void drawCardsTab(Ui& ui);
void drawStatusTab(Ui& ui);
void drawAboutTab(Ui& ui);

}  // namespace app
