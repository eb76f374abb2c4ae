#pragma once

// The texts of the window, the tray menu and the quit question in English, Dutch and German,
// looked up by id on every frame, and the choice of language from a language code.

#include <cstdint>
#include <string>
#include <string_view>

namespace app {

enum class UiLanguage : std::uint8_t {
    English = 0,
    Dutch = 1,
    German = 2,
};

// Printf formats with one unsigned number: ChannelN, NChannels, NFrames.
enum class UiText : unsigned {
    WindowTitle = 0,
    SoundCards = 1,
    CardsForPlayerApp = 2,
    Status = 3,
    About = 4,
    SoundCardsHelp = 5,
    Use = 6,
    SoundCard = 7,
    Driver = 8,
    SampleRate = 9,
    Buffer = 10,
    Periods = 11,
    Latency = 12,
    State = 13,
    WasapiShared = 14,
    WasapiExclusive = 15,
    Asio = 16,
    Default = 17,
    Running = 18,
    Off = 19,
    NotConnected = 20,
    Error = 21,
    Starting = 22,
    Test = 23,
    Stop = 24,
    ChannelN = 25,
    NChannels = 26,
    AsioControlPanel = 27,
    ExclusiveWarning = 28,
    LookForSoundCardsAgain = 29,
    NoSoundCardsFound = 30,
    NFrames = 31,
    CardsHelp = 32,
    NoCardsYet = 33,
    Name = 34,
    Type = 35,
    Outputs = 36,
    MonoMix = 37,
    DelayMs = 38,
    Stereo = 39,
    Mono = 40,
    Left = 41,
    Right = 42,
    LeftPlusRight = 43,
    LeftOnly = 44,
    RightOnly = 45,
    AddFrom = 46,
    OneStereoCard = 47,
    SplitIntoTwoMonoCards = 48,
    OneMonoCard = 49,
    JoinTwoOutputs = 50,
    LeftFrom = 51,
    RightFrom = 52,
    Join = 53,
    Delete = 54,
    Ready = 55,
    Playing = 56,
    SoundCardOff = 57,
    Apply = 58,
    UndoChanges = 59,
    ChangesNotAppliedYet = 60,
    Applied = 61,
    FixTheseFirst = 62,
    PlayersHelp = 63,
    NoPlayerUsing = 64,
    Player = 65,
    PlayerBuffer = 66,
    Dropouts = 67,
    AboutText = 68,
    LegalNotice = 69,
    Licence = 70,
    ThirdPartyLicences = 71,
    Language = 72,
    SameAsWindows = 73,
    StartWithWindows = 74,
    OpenTheLog = 75,
    OpenApp = 76,
    QuitApp = 77,
    QuitAppQuestion = 78,
    QuitWhilePlaying = 79,
    AlreadyRunning = 80,
    AppliedNotSaved = 81,
    AppliedFileKept = 82,
    StillRunningInTray = 83,  // the balloon the first time the window is closed
};

inline constexpr unsigned kUiTextCount = 84;

// Any thread. A view of static UTF-8 text, nothing allocated. Dutch and German select their
// table, any other language value the English one; an id past the table gives an empty view
// (null data, length 0).
std::string_view uiText(UiLanguage language, UiText id);

// nl, NL, nl-BE, nl_NL are Dutch; de, de-AT are German; anything else (nld, fr-FR, "") is
// English.
UiLanguage languageOfCode(std::string_view code);

// The user's first preferred display language ("de-CH"), or "en" when Windows cannot say.
std::string windowsLanguageCode();

}  // namespace app
