#include "core/settings/DeviceKey.h"

namespace core {

namespace {

bool hasPrefixAndMore(std::string_view key, std::string_view prefix) {
    return key.size() > prefix.size() && key.starts_with(prefix);
}

}  // namespace

DeviceFamily familyOfKey(std::string_view key) {
    if (hasPrefixAndMore(key, kWasapiKeyPrefix)) return DeviceFamily::Wasapi;
    if (hasPrefixAndMore(key, kAsioKeyPrefix)) return DeviceFamily::Asio;
    if (hasPrefixAndMore(key, kNullKeyPrefix)) return DeviceFamily::Null;
    return DeviceFamily::NoFamily;
}

}  // namespace core
