#include "core/settings/Validation.h"

#include "core/settings/DeviceKey.h"

#include <compare>
#include <iterator>
#include <set>
#include <string_view>

namespace core {

namespace {

struct IssueTexts {
    const char* code;
    const char* user[3];  // English, Dutch, German
};

constexpr IssueTexts kIssueTexts[] = {
    {"device_key_invalid",
     {"A sound card has an unreadable id.", "Een geluidskaart heeft een onleesbare id.",
      "Eine Soundkarte hat eine unlesbare ID."}},
    {"device_key_duplicate",
     {"A sound card is listed twice.", "Een geluidskaart staat er twee keer in.",
      "Eine Soundkarte steht doppelt in der Liste."}},
    {"buffer_out_of_range",
     {"A buffer must be 16 to 8192 frames.", "Een buffer moet 16 tot 8192 frames zijn.",
      "Ein Puffer muss 16 bis 8192 Frames groß sein."}},
    {"periods_out_of_range",
     {"Periods must be 2 to 8.", "Perioden moeten 2 tot 8 zijn.", "Perioden müssen 2 bis 8 sein."}},
    {"api_wrong_family",
     {"ASIO can only drive an ASIO card, WASAPI only a Windows card.",
      "ASIO kan alleen een ASIO-kaart aansturen, WASAPI alleen een Windows-kaart.",
      "ASIO kann nur eine ASIO-Karte ansteuern, WASAPI nur eine Windows-Karte."}},
    {"two_asio_drivers",
     {"Only one ASIO card can be used at a time.", "Er kan maar één ASIO-kaart tegelijk worden gebruikt.",
      "Es kann nur eine ASIO-Karte gleichzeitig verwendet werden."}},
    {"card_id_invalid",
     {"A card has an unreadable id.", "Een kaart heeft een onleesbare id.", "Eine Karte hat eine unlesbare ID."}},
    {"card_id_duplicate",
     {"Two cards have the same id.", "Twee kaarten hebben dezelfde id.", "Zwei Karten haben dieselbe ID."}},
    {"card_name_empty", {"A card has no name.", "Een kaart heeft geen naam.", "Eine Karte hat keinen Namen."}},
    {"card_name_too_long",
     {"A card name is longer than 64 characters.", "Een kaartnaam is langer dan 64 tekens.",
      "Ein Kartenname ist länger als 64 Zeichen."}},
    {"card_name_duplicate",
     {"Two cards have the same name.", "Twee kaarten hebben dezelfde naam.", "Zwei Karten haben denselben Namen."}},
    {"card_member_count",
     {"A card needs one output (mono) or two (stereo).", "Een kaart heeft één uitgang (mono) of twee (stereo) nodig.",
      "Eine Karte braucht einen Ausgang (mono) oder zwei (stereo)."}},
    {"member_unknown_device",
     {"A card uses a sound card that is not listed.", "Een kaart gebruikt een geluidskaart die niet in de lijst staat.",
      "Eine Karte verwendet eine Soundkarte, die nicht in der Liste steht."}},
    {"member_device_off",
     {"A card uses a sound card that is turned off.", "Een kaart gebruikt een geluidskaart die uit staat.",
      "Eine Karte verwendet eine ausgeschaltete Soundkarte."}},
    {"member_channel_range",
     {"A card uses a channel that does not exist.", "Een kaart gebruikt een kanaal dat niet bestaat.",
      "Eine Karte verwendet einen Kanal, den es nicht gibt."}},
    {"member_delay_range",
     {"A delay must be 0 to 500 ms.", "Een vertraging moet 0 tot 500 ms zijn.",
      "Eine Verzögerung muss 0 bis 500 ms betragen."}},
    {"channel_taken",
     {"One output is used by two cards.", "Eén uitgang wordt door twee kaarten gebruikt.",
      "Ein Ausgang wird von zwei Karten verwendet."}},
    {"stereo_same_channel",
     {"A stereo card needs two different outputs.", "Een stereokaart heeft twee verschillende uitgangen nodig.",
      "Eine Stereokarte braucht zwei verschiedene Ausgänge."}},
};
static_assert(std::size(kIssueTexts) == kIssueCodeCount);
static_assert(static_cast<std::size_t>(IssueCode::StereoSameChannel) + 1 == kIssueCodeCount);

const IssueTexts* textsOf(IssueCode code) {
    const auto index = static_cast<std::size_t>(code);
    return index < kIssueCodeCount ? &kIssueTexts[index] : nullptr;
}

struct Output {
    std::string_view device;
    std::uint32_t channel;

    auto operator<=>(const Output&) const = default;
};

void validateDevices(const Settings& settings, std::vector<ValidationIssue>& issues) {
    // Views into settings, which outlives this call.
    std::set<std::string_view> seenKeys;
    std::size_t enabledAsioDevices = 0;
    for (const DeviceSettings& device : settings.devices) {
        auto report = [&](IssueCode code) { issues.push_back({code, device.key}); };
        const DeviceFamily family = familyOfKey(device.key);
        if (family == DeviceFamily::NoFamily) report(IssueCode::DeviceKeyInvalid);
        if (!seenKeys.insert(device.key).second) report(IssueCode::DeviceKeyDuplicate);
        if (device.bufferFrames != 0 &&
            (device.bufferFrames < kMinBufferFrames || device.bufferFrames > kMaxBufferFrames)) {
            report(IssueCode::BufferOutOfRange);
        }
        if (device.periods != 0 && (device.periods < kMinPeriods || device.periods > kMaxPeriods)) {
            report(IssueCode::PeriodsOutOfRange);
        }
        // An unreadable key has no family to disagree with, and names no driver to count.
        if (family == DeviceFamily::NoFamily) continue;
        const bool asioKey = family == DeviceFamily::Asio;
        if (asioKey != (device.api == DeviceApi::Asio)) report(IssueCode::ApiWrongFamily);
        // Counted by key, whatever the api: two enabled ASIO drivers cannot be loaded at once
        // even while one of them is misconfigured.
        if (asioKey && device.enabled) ++enabledAsioDevices;
    }
    if (enabledAsioDevices > 1) issues.push_back({IssueCode::TwoAsioDrivers, "asio"});
}

void validateCards(const Settings& settings, std::vector<ValidationIssue>& issues) {
    std::set<std::string_view> seenIds;
    std::set<std::string_view> seenNames;
    std::set<Output> usedOutputs;
    for (const CardSettings& card : settings.cards) {
        auto report = [&](IssueCode code) { issues.push_back({code, card.id}); };
        if (!isCardId(card.id)) report(IssueCode::CardIdInvalid);
        if (!seenIds.insert(card.id).second) report(IssueCode::CardIdDuplicate);
        if (card.name.empty()) {
            report(IssueCode::CardNameEmpty);
        } else {
            if (card.name.size() > kMaxCardNameBytes) report(IssueCode::CardNameTooLong);
            if (!seenNames.insert(card.name).second) report(IssueCode::CardNameDuplicate);
        }
        // A card of the wrong shape is not judged member by member, and its outputs are not
        // remembered: the user has to fix the shape first, and a later card should not be
        // blamed for outputs this one may give up.
        if (card.members.empty() || card.members.size() > kMaxMembers) {
            report(IssueCode::CardMemberCount);
            continue;
        }
        for (const CardMember& member : card.members) {
            const DeviceSettings* device = settings.findDevice(member.device);
            if (device == nullptr) {
                report(IssueCode::MemberUnknownDevice);
            } else if (!device->enabled) {
                report(IssueCode::MemberDeviceOff);
            }
            if (member.channel >= kMaxChannels) report(IssueCode::MemberChannelRange);
            // Written so that NaN fails too.
            if (!(member.delayMs >= 0.0 && member.delayMs <= kMaxDelayMs)) report(IssueCode::MemberDelayRange);
            if (!usedOutputs.insert({member.device, member.channel}).second) report(IssueCode::ChannelTaken);
        }
        if (card.members.size() == 2 && card.members[0].device == card.members[1].device &&
            card.members[0].channel == card.members[1].channel) {
            report(IssueCode::StereoSameChannel);
        }
    }
}

}  // namespace

std::vector<ValidationIssue> validateSettings(const Settings& settings) {
    std::vector<ValidationIssue> issues;
    validateDevices(settings, issues);
    validateCards(settings, issues);
    return issues;
}

const char* issueCodeText(IssueCode code) {
    const IssueTexts* texts = textsOf(code);
    return texts != nullptr ? texts->code : "unknown";
}

const char* issueText(int language, IssueCode code) {
    const IssueTexts* texts = textsOf(code);
    if (texts == nullptr) return "";
    return texts->user[language == 1 || language == 2 ? language : 0];
}

}  // namespace core
