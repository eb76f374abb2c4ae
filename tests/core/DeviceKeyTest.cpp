#include "core/settings/DeviceKey.h"

#include <gtest/gtest.h>

#include <string>

namespace core {
namespace {

// Fixed one-byte values: other components keep and compare them.
static_assert(sizeof(DeviceFamily) == 1);
static_assert(static_cast<int>(DeviceFamily::Wasapi) == 0 && static_cast<int>(DeviceFamily::Asio) == 1 &&
              static_cast<int>(DeviceFamily::Null) == 2 && static_cast<int>(DeviceFamily::NoFamily) == 3);

TEST(DeviceKeyFamily, PrefixNeedsAtLeastOneByteAfterIt) {
    struct Case {
        std::string key;
        DeviceFamily family;
    };
    const Case cases[] = {
        {"wasapi:x", DeviceFamily::Wasapi},
        {"wasapi:{0.0.0.00000000}.{2f1c2b6e-0b4d-4a8e-9d1a-1b2c3d4e5f60}", DeviceFamily::Wasapi},
        {"asio:x", DeviceFamily::Asio},
        {"asio:{8a2c4f1e-33a0-4b5d-9e77-0c1d2e3f4a5b}", DeviceFamily::Asio},
        {"null:0", DeviceFamily::Null},
        {"null:\xc3\xa9", DeviceFamily::Null},  // a UTF-8 letter counts as bytes after the prefix
        {"wasapi:", DeviceFamily::NoFamily},    // 7 bytes: the prefix alone
        {"asio:", DeviceFamily::NoFamily},
        {"null:", DeviceFamily::NoFamily},
        {"", DeviceFamily::NoFamily},
        {"wasapi", DeviceFamily::NoFamily},
        {"asio", DeviceFamily::NoFamily},
        {"WASAPI:x", DeviceFamily::NoFamily},  // byte-exact, not case-folded
        {"Asio:x", DeviceFamily::NoFamily},
        {"NULL:0", DeviceFamily::NoFamily},
        {" asio:x", DeviceFamily::NoFamily},
        {"xasio:x", DeviceFamily::NoFamily},
        {"wasapi;x", DeviceFamily::NoFamily},
        {"wasapi:asio:x", DeviceFamily::Wasapi},  // only the leading prefix counts
        {"asio:wasapi:x", DeviceFamily::Asio},
        {std::string("asio:\0", 6), DeviceFamily::Asio},  // a length, not a C string
        {std::string("asio\0:x", 7), DeviceFamily::NoFamily},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(familyOfKey(c.key), c.family) << '"' << c.key << "\" (" << c.key.size() << " bytes)";
    }
}

}  // namespace
}  // namespace core
