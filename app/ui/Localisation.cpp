#include "app/ui/Localisation.h"

#include <windows.h>

#include <cwchar>
#include <iterator>
#include <vector>

#include "win/base/Text.h"

namespace app {

namespace {

struct TextRow {
    UiText id;
    std::string_view english;
    std::string_view dutch;
    std::string_view german;
};

// In id order: the lookup indexes the table by id, and the checks below hold the order and
// the count to the enum at compile time.
constexpr TextRow kTexts[] = {
    {UiText::WindowTitle, "QOVA - Tavimor Audio Router", "QOVA - Tavimor Audio Router", "QOVA - Tavimor Audio Router"},
    {UiText::SoundCards, "Sound cards", "Geluidskaarten", "Soundkarten"},
    {UiText::CardsForPlayerApp, "Cards for Veltrano", "Kaarten voor Veltrano", "Karten für Veltrano"},
    {UiText::Status, "Status", "Status", "Status"},
    {UiText::About, "About", "Over", "Über"},
    {UiText::SoundCardsHelp, "Turn on the sound cards QOVA may use and choose how each one is driven.",
     "Zet de geluidskaarten aan die QOVA mag gebruiken en kies per kaart hoe die wordt aangestuurd.",
     "Schalte die Soundkarten ein, die QOVA verwenden darf, und wähle für jede, wie sie angesteuert wird."},
    {UiText::Use, "Use", "Gebruik", "Verwenden"},
    {UiText::SoundCard, "Sound card", "Geluidskaart", "Soundkarte"},
    {UiText::Driver, "Driver", "Driver", "Treiber"},
    {UiText::SampleRate, "Sample rate", "Samplerate", "Abtastrate"},
    {UiText::Buffer, "Buffer", "Buffer", "Puffer"},
    {UiText::Periods, "Periods", "Perioden", "Perioden"},
    {UiText::Latency, "Latency", "Vertraging", "Latenz"},
    {UiText::State, "State", "Status", "Status"},
    {UiText::WasapiShared, "WASAPI shared", "WASAPI gedeeld", "WASAPI geteilt"},
    {UiText::WasapiExclusive, "WASAPI exclusive", "WASAPI exclusief", "WASAPI exklusiv"},
    {UiText::Asio, "ASIO", "ASIO", "ASIO"},
    {UiText::Default, "Default", "Standaard", "Standard"},
    {UiText::Running, "Running", "Actief", "Läuft"},
    {UiText::Off, "Off", "Uit", "Aus"},
    {UiText::NotConnected, "Not connected", "Niet aangesloten", "Nicht angeschlossen"},
    {UiText::Error, "Error", "Fout", "Fehler"},
    {UiText::Starting, "Starting", "Starten", "Startet"},
    {UiText::Test, "Test", "Test", "Test"},
    {UiText::Stop, "Stop", "Stop", "Stopp"},
    {UiText::ChannelN, "Channel %u", "Kanaal %u", "Kanal %u"},
    {UiText::NChannels, "%u channels", "%u kanalen", "%u Kanäle"},
    {UiText::AsioControlPanel, "ASIO control panel", "ASIO-configuratiescherm", "ASIO-Systemsteuerung"},
    {UiText::ExclusiveWarning,
     "WASAPI exclusive and ASIO take the sound card away from every other program on this PC.",
     "WASAPI exclusief en ASIO nemen de geluidskaart over van alle andere programma's op deze pc.",
     "WASAPI exklusiv und ASIO nehmen die Soundkarte allen anderen Programmen auf diesem PC weg."},
    {UiText::LookForSoundCardsAgain, "Look for sound cards again", "Opnieuw zoeken naar geluidskaarten",
     "Erneut nach Soundkarten suchen"},
    {UiText::NoSoundCardsFound, "No sound cards found.", "Geen geluidskaarten gevonden.",
     "Keine Soundkarten gefunden."},
    {UiText::NFrames, "%u frames", "%u frames", "%u Frames"},
    {UiText::CardsHelp, "These are the sound cards the Veltrano app for Windows shows. Each one can play one zone.",
     "Dit zijn de geluidskaarten die de Veltrano-app voor Windows toont. Elke kaart kan één zone spelen.",
     "Das sind die Soundkarten, die die Veltrano-App für Windows anzeigt. Jede kann eine Zone spielen."},
    {UiText::NoCardsYet, "No cards yet. Turn on a sound card on the Sound cards tab, then add cards here.",
     "Nog geen kaarten. Zet een geluidskaart aan op het tabblad Geluidskaarten en voeg hier kaarten toe.",
     "Noch keine Karten. Schalte auf dem Reiter Soundkarten eine Karte ein und füge hier Karten hinzu."},
    {UiText::Name, "Name", "Naam", "Name"},
    {UiText::Type, "Type", "Soort", "Art"},
    {UiText::Outputs, "Outputs", "Uitgangen", "Ausgänge"},
    {UiText::MonoMix, "Mono mix", "Mono-mix", "Mono-Mix"},
    {UiText::DelayMs, "Delay (ms)", "Vertraging (ms)", "Verzögerung (ms)"},
    {UiText::Stereo, "Stereo", "Stereo", "Stereo"},
    {UiText::Mono, "Mono", "Mono", "Mono"},
    {UiText::Left, "Left", "Links", "Links"},
    {UiText::Right, "Right", "Rechts", "Rechts"},
    {UiText::LeftPlusRight, "Left + right", "Links + rechts", "Links + rechts"},
    {UiText::LeftOnly, "Left only", "Alleen links", "Nur links"},
    {UiText::RightOnly, "Right only", "Alleen rechts", "Nur rechts"},
    {UiText::AddFrom, "Add from", "Toevoegen uit", "Hinzufügen aus"},
    {UiText::OneStereoCard, "One stereo card", "Eén stereokaart", "Eine Stereokarte"},
    {UiText::SplitIntoTwoMonoCards, "Split into two mono cards", "Splitsen in twee monokaarten",
     "In zwei Monokarten teilen"},
    {UiText::OneMonoCard, "One mono card", "Eén monokaart", "Eine Monokarte"},
    {UiText::JoinTwoOutputs, "Join two outputs into one stereo card", "Twee uitgangen samenvoegen tot één stereokaart",
     "Zwei Ausgänge zu einer Stereokarte zusammenfassen"},
    {UiText::LeftFrom, "Left from", "Links uit", "Links aus"},
    {UiText::RightFrom, "Right from", "Rechts uit", "Rechts aus"},
    {UiText::Join, "Join", "Samenvoegen", "Zusammenfassen"},
    {UiText::Delete, "Delete", "Verwijderen", "Löschen"},
    {UiText::Ready, "Ready", "Klaar", "Bereit"},
    {UiText::Playing, "Playing", "Speelt", "Spielt"},
    {UiText::SoundCardOff, "Sound card off", "Geluidskaart uit", "Soundkarte aus"},
    {UiText::Apply, "Apply", "Toepassen", "Übernehmen"},
    {UiText::UndoChanges, "Undo changes", "Wijzigingen ongedaan maken", "Änderungen verwerfen"},
    {UiText::ChangesNotAppliedYet, "Changes not applied yet.", "Wijzigingen nog niet toegepast.",
     "Änderungen noch nicht übernommen."},
    {UiText::Applied, "Applied.", "Toegepast.", "Übernommen."},
    {UiText::FixTheseFirst, "Fix these first:", "Los eerst dit op:", "Bitte zuerst beheben:"},
    {UiText::PlayersHelp, "Players using QOVA's cards right now.", "Spelers die nu de kaarten van QOVA gebruiken.",
     "Player, die gerade die Karten von QOVA verwenden."},
    {UiText::NoPlayerUsing, "No player is using QOVA at the moment.", "Er gebruikt nu geen speler QOVA.",
     "Gerade verwendet kein Player QOVA."},
    {UiText::Player, "Player", "Speler", "Player"},
    {UiText::PlayerBuffer, "Buffer", "Buffer", "Puffer"},
    {UiText::Dropouts, "Dropouts", "Haperingen", "Aussetzer"},
    {UiText::AboutText,
     "QOVA routes the sound of the Veltrano app for Windows to your sound cards: split a stereo card into two mono "
     "cards, join two outputs into one stereo card, and choose ASIO® or WASAPI, buffer and latency per card.",
     "QOVA stuurt het geluid van de Veltrano-app voor Windows naar je geluidskaarten: splits een stereokaart in twee "
     "monokaarten, voeg twee uitgangen samen tot één stereokaart, en kies per kaart ASIO® of WASAPI, buffer en "
     "vertraging.",
     "QOVA leitet den Ton der Veltrano-App für Windows an deine Soundkarten: eine Stereokarte in zwei Monokarten "
     "teilen, zwei Ausgänge zu einer Stereokarte zusammenfassen und pro Karte ASIO® oder WASAPI, Puffer und Latenz "
     "wählen."},
    {UiText::LegalNotice,
     "© 2026 the QOVA developers. QOVA is free software under the MIT licence and comes without any warranty; "
     "the licence is in LICENSE.txt. QOVA uses Dear ImGui, miniaudio, libsamplerate and nlohmann-json; their "
     "licences are in THIRD-PARTY-NOTICES.txt.",
     "© 2026 de ontwikkelaars van QOVA. QOVA is vrije software onder de MIT-licentie en komt zonder enige "
     "garantie; de licentie staat in LICENSE.txt. QOVA gebruikt Dear ImGui, miniaudio, libsamplerate en "
     "nlohmann-json; hun licenties staan in THIRD-PARTY-NOTICES.txt.",
     "© 2026 die Entwickler von QOVA. QOVA ist freie Software unter der MIT-Lizenz und wird ohne jede "
     "Gewährleistung geliefert; die Lizenz steht in LICENSE.txt. QOVA verwendet Dear ImGui, miniaudio, "
     "libsamplerate und nlohmann-json; deren Lizenzen stehen in THIRD-PARTY-NOTICES.txt."},
    {UiText::Licence, "Licence", "Licentie", "Lizenz"},
    {UiText::ThirdPartyLicences, "Third-party licences", "Licenties van derden", "Lizenzen Dritter"},
    {UiText::Language, "Language", "Taal", "Sprache"},
    {UiText::SameAsWindows, "Same as Windows", "Zelfde als Windows", "Wie Windows"},
    {UiText::StartWithWindows, "Start with Windows", "Starten met Windows", "Mit Windows starten"},
    {UiText::OpenTheLog, "Open the log", "Logboek openen", "Protokoll öffnen"},
    {UiText::OpenApp, "Open QOVA", "QOVA openen", "QOVA öffnen"},
    {UiText::QuitApp, "Quit QOVA", "QOVA afsluiten", "QOVA beenden"},
    {UiText::QuitAppQuestion, "Quit QOVA?", "QOVA afsluiten?", "QOVA beenden?"},
    {UiText::QuitWhilePlaying,
     "A player is using QOVA's cards. If QOVA quits, the music on those cards stops. Quit anyway?",
     "Een speler gebruikt de kaarten van QOVA. Als QOVA stopt, stopt de muziek op die kaarten. Toch afsluiten?",
     "Ein Player verwendet die Karten von QOVA. Wenn QOVA beendet wird, stoppt die Musik auf diesen Karten. Trotzdem "
     "beenden?"},
    {UiText::AlreadyRunning, "QOVA is already running.", "QOVA draait al.", "QOVA läuft bereits."},
    {UiText::AppliedNotSaved, "Applied, but config.json could not be saved (see the log).",
     "Toegepast, maar config.json kon niet worden opgeslagen (zie het logboek).",
     "Übernommen, aber config.json konnte nicht gespeichert werden (siehe Protokoll)."},
    {UiText::AppliedFileKept,
     "Applied, not saved: config.json could not be read at start-up, so QOVA leaves it as it is.",
     "Toegepast, niet opgeslagen: config.json was bij het starten niet leesbaar, dus QOVA laat het ongemoeid.",
     "Übernommen, nicht gespeichert: config.json war beim Start nicht lesbar, QOVA lässt die Datei unverändert."},
    {UiText::StillRunningInTray, "QOVA keeps running in the notification area; right-click its icon to quit.",
     "QOVA blijft actief in het systeemvak; klik met de rechtermuisknop op het pictogram om af te sluiten.",
     "QOVA läuft im Infobereich weiter; zum Beenden mit der rechten Maustaste auf das Symbol klicken."},
};

static_assert(std::size(kTexts) == kUiTextCount);

constexpr bool rowsFollowTheEnum() {
    for (unsigned i = 0; i < std::size(kTexts); ++i) {
        if (kTexts[i].id != static_cast<UiText>(i)) return false;
    }
    return true;
}
static_assert(rowsFollowTheEnum(), "a row is missing or out of order");

constexpr bool everyTextPresent() {
    for (const TextRow& row : kTexts) {
        if (row.english.empty() || row.dutch.empty() || row.german.empty()) return false;
    }
    return true;
}
static_assert(everyTextPresent());

constexpr char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// For codes of two bytes or more: "nl" matches "nl", "NL", "nl-BE" and "nl_NL", not "nld".
constexpr bool hasLanguage(std::string_view code, std::string_view language) {
    if (lowerAscii(code[0]) != language[0] || lowerAscii(code[1]) != language[1]) return false;
    return code.size() == 2 || code[2] == '-' || code[2] == '_';
}

}  // namespace

std::string_view uiText(UiLanguage language, UiText id) {
    const auto index = static_cast<unsigned>(id);
    if (index >= std::size(kTexts)) return {};
    const TextRow& row = kTexts[index];
    switch (language) {
    case UiLanguage::Dutch: return row.dutch;
    case UiLanguage::German: return row.german;
    default: return row.english;
    }
}

UiLanguage languageOfCode(std::string_view code) {
    if (code.size() < 2) return UiLanguage::English;
    if (hasLanguage(code, "nl")) return UiLanguage::Dutch;
    if (hasLanguage(code, "de")) return UiLanguage::German;
    return UiLanguage::English;
}

std::string windowsLanguageCode() {
    ULONG count = 0;
    ULONG chars = 0;
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &chars) || chars == 0) return "en";
    // A list of NUL-terminated names ending in an empty one.
    std::vector<wchar_t> list(chars, L'\0');
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, list.data(), &chars) || count == 0) return "en";
    const std::wstring_view first(list.data(), wcsnlen(list.data(), list.size()));
    if (first.empty()) return "en";
    return win::toUtf8(first);
}

}  // namespace app
