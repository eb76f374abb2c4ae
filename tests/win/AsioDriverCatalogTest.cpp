#include "win/devices/asio/AsioDriverCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "win/base/Text.h"
#include "win/devices/DeviceScan.h"

// These tests write driver registrations into the Wine prefix's real registry and read them
// back through the catalog. Each test starts from an ASIO key holding only its own drivers
// (whatever the prefix had is moved aside and put back afterwards) and removes its classes.

namespace win {
namespace {

// Class ids made for these tests alone.
constexpr GUID kClassA = {0x228a12b6, 0x86c2, 0x44f4, {0xb8, 0xda, 0x00, 0xb9, 0x2b, 0x75, 0x49, 0x98}};
constexpr GUID kClassB = {0xe268e121, 0xa2b1, 0x4650, {0xa0, 0x8e, 0xf7, 0x77, 0x72, 0xec, 0xdf, 0x53}};
constexpr GUID kClassC = {0x1337f78f, 0xd0c3, 0x479f, {0x8b, 0x17, 0xe6, 0x72, 0xbe, 0xbe, 0xd6, 0xed}};
constexpr GUID kClassD = {0x7214e909, 0x1842, 0x4888, {0x8c, 0x9a, 0xf8, 0xba, 0xdc, 0x84, 0xb7, 0x82}};
constexpr GUID kClassE = {0x839d05ed, 0xba7b, 0x4905, {0x9b, 0xe6, 0x54, 0x67, 0x9a, 0x65, 0xae, 0xb7}};
constexpr GUID kClassF = {0xba50fe2f, 0x002f, 0x4eae, {0x98, 0xd0, 0x9c, 0x95, 0xc6, 0x05, 0xae, 0xda}};
constexpr GUID kClassG = {0x6da7b10d, 0x3977, 0x42dd, {0x90, 0xa7, 0x9d, 0xf7, 0xf8, 0x33, 0x63, 0x6a}};
constexpr GUID kClassH = {0x071349cb, 0x7f7a, 0x4807, {0x9f, 0x47, 0xaf, 0x64, 0x0c, 0x70, 0x23, 0x1e}};
constexpr GUID kTestClasses[] = {kClassA, kClassB, kClassC, kClassD, kClassE, kClassF, kClassG, kClassH};
constexpr char kNotAClassId[] = "{QOVA-TEST-NOT-A-CLASS-ID}";

constexpr wchar_t kAsioKey[] = L"SOFTWARE\\ASIO";
constexpr wchar_t kAsideParentKey[] = L"SOFTWARE\\QOVA-tests";
constexpr wchar_t kAsideKey[] = L"SOFTWARE\\QOVA-tests\\ASIO-aside";

// "{XXXXXXXX-...}" in capitals, as Windows writes class ids.
std::string classIdText(const GUID& id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    return toUtf8(text);
}

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

bool isUtf8(const std::string& text) {
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

// An open key of the test's own, closed when it goes.
class TestKey {
public:
    TestKey() = default;
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;
    ~TestKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* receive() { return &key_; }

private:
    HKEY key_ = nullptr;
};

bool keyExists(HKEY root, const wchar_t* path) {
    TestKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.receive()) == ERROR_SUCCESS;
}

void createKey(HKEY root, const std::wstring& path, TestKey& key) {
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.receive(), nullptr),
              ERROR_SUCCESS)
        << toUtf8(path);
}

void copyTree(const wchar_t* from, const wchar_t* to) {
    TestKey source;
    TestKey target;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, from, 0, KEY_READ, source.receive()), ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(createKey(HKEY_LOCAL_MACHINE, to, target));
    EXPECT_EQ(RegCopyTreeW(source.get(), nullptr, target.get()), ERROR_SUCCESS);
}

// Writes text values through the wide function, so that what is stored does not depend on
// the code page whose handling is under test.
void setString(HKEY key, const wchar_t* valueName, const std::string& utf8) {
    const std::wstring wide = toWide(utf8);
    ASSERT_EQ(RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                             static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void removeTestClasses() {
    for (const GUID& id : kTestClasses) RegDeleteTreeW(HKEY_CLASSES_ROOT, toWide("CLSID\\" + classIdText(id)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, toWide(std::string("CLSID\\") + kNotAClassId).c_str());
}

// The ASIO key as one test needs it, and what the prefix had before put back afterwards.
class ScratchAsioRegistry {
public:
    ScratchAsioRegistry() {
        removeTestClasses();
        if (keyExists(HKEY_LOCAL_MACHINE, kAsideKey)) {
            // A run that died midway left its own drivers where the saved ones belong.
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAsioKey);
        } else if (keyExists(HKEY_LOCAL_MACHINE, kAsioKey)) {
            copyTree(kAsioKey, kAsideKey);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAsioKey);
        }
    }
    ~ScratchAsioRegistry() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAsioKey);
        if (keyExists(HKEY_LOCAL_MACHINE, kAsideKey)) {
            copyTree(kAsideKey, kAsioKey);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAsideParentKey);
        }
        removeTestClasses();
    }
    ScratchAsioRegistry(const ScratchAsioRegistry&) = delete;
    ScratchAsioRegistry& operator=(const ScratchAsioRegistry&) = delete;
};

struct DriverEntry {
    std::string keyName;                     // under HKLM\SOFTWARE\ASIO, UTF-8
    std::optional<std::string> classIdText;  // its "CLSID" value
    std::optional<std::string> description;  // its "Description" value
};

class AsioDriverCatalogTest : public testing::Test {
protected:
    AsioDriverCatalogTest() {
        testing_support::writeFile(serverPath_, "not really a DLL: only its presence is checked");
    }

    static void addEntry(const DriverEntry& entry) {
        TestKey key;
        ASSERT_NO_FATAL_FAILURE(
            createKey(HKEY_LOCAL_MACHINE, std::wstring(kAsioKey) + L"\\" + toWide(entry.keyName), key));
        if (entry.classIdText) setString(key.get(), L"CLSID", *entry.classIdText);
        if (entry.description) setString(key.get(), L"Description", *entry.description);
    }

    // HKCR\CLSID\<classKeyText>\InprocServer32, its default value the server's path.
    static void registerClass(const std::string& classKeyText, const std::wstring& serverPath) {
        TestKey key;
        ASSERT_NO_FATAL_FAILURE(
            createKey(HKEY_CLASSES_ROOT, toWide("CLSID\\" + classKeyText) + L"\\InprocServer32", key));
        setString(key.get(), nullptr, toUtf8(serverPath));
        setString(key.get(), L"ThreadingModel", "Apartment");
    }

    // A driver that qualifies: its class registered with a server file that exists.
    void addDriver(const std::string& keyName, const GUID& id, std::optional<std::string> description = {}) {
        registerClass(classIdText(id), serverPath_);
        addEntry({keyName, classIdText(id), std::move(description)});
    }

    const std::wstring& serverPath() const { return serverPath_; }
    std::wstring missingPath() const { return folder_.file(L"missing.dll"); }

private:
    testing_support::TempFolder folder_;
    std::wstring serverPath_ = folder_.file(L"driver.dll");
    ScratchAsioRegistry registry_;
};

// The record names in catalog order, checking that the indices count up from 0.
std::vector<std::string> namesOf(const AsioDriverCatalog& catalog) {
    std::vector<std::string> names;
    for (int index = 0; index < catalog.count(); ++index) {
        const AsioDriverRecord* record = catalog.record(index);
        EXPECT_NE(record, nullptr);
        if (record == nullptr) break;
        EXPECT_EQ(record->index, index);
        EXPECT_FALSE(record->object) << "the catalog creates no driver object by itself";
        names.push_back(record->name);
    }
    return names;
}

// driverName into a 32-byte buffer, checking that nothing is written past it.
std::string shortName(const AsioDriverCatalog& catalog, int index) {
    char buffer[kAsioDriverNameBytes + 8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(catalog.driverName(index, buffer, kAsioDriverNameBytes), kAsioCatalogOk);
    for (std::size_t at = kAsioDriverNameBytes; at < sizeof buffer; ++at) EXPECT_EQ(buffer[at], '#') << at;
    const std::size_t length = strnlen(buffer, kAsioDriverNameBytes);
    EXPECT_LT(length, kAsioDriverNameBytes) << "not terminated";
    return std::string(buffer, length);
}

TEST_F(AsioDriverCatalogTest, IsEmptyWithoutAnAsioKeyOrDrivers) {
    ASSERT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kAsioKey));
    {
        const AsioDriverCatalog catalog;
        EXPECT_EQ(catalog.count(), 0);
        EXPECT_EQ(catalog.record(0), nullptr);
        char buffer[kAsioDriverNameBytes] = "untouched";
        EXPECT_EQ(catalog.driverName(0, buffer, sizeof buffer), kAsioCatalogNoSuchIndex);
        EXPECT_STREQ(buffer, "untouched");
    }
    EXPECT_TRUE(listAsioDevices().empty());

    {
        TestKey emptyAsioKey;
        ASSERT_NO_FATAL_FAILURE(createKey(HKEY_LOCAL_MACHINE, kAsioKey, emptyAsioKey));
    }
    EXPECT_EQ(AsioDriverCatalog().count(), 0);
    EXPECT_TRUE(listAsioDevices().empty());
}

TEST_F(AsioDriverCatalogTest, LeavesOutDriversThatCannotBeCreatedAndKeepsIndicesConsecutive) {
    // Names sort in the order they are made, so the registry's order is known either way.
    registerClass(classIdText(kClassA), missingPath());
    addEntry({"A server file missing", classIdText(kClassA), "Missing Server"});
    addDriver("B first ready", kClassB, "First Ready");
    addEntry({"C no class id", std::nullopt, "No Class Id"});
    addEntry({"D class not registered", classIdText(kClassC), "Unregistered"});
    {
        TestKey classWithoutServer;
        ASSERT_NO_FATAL_FAILURE(
            createKey(HKEY_CLASSES_ROOT, toWide("CLSID\\" + classIdText(kClassD)), classWithoutServer));
    }
    addEntry({"E no server key", classIdText(kClassD), "No Server Key"});
    addDriver("F second ready", kClassE, "Second Ready");

    const AsioDriverCatalog catalog;
    EXPECT_EQ(namesOf(catalog), (std::vector<std::string>{"First Ready", "Second Ready"}));
    EXPECT_EQ(shortName(catalog, 0), "First Ready");
    EXPECT_EQ(shortName(catalog, 1), "Second Ready");
}

TEST_F(AsioDriverCatalogTest, FindsTheClassWhicheverSideWritesItInCapitals) {
    const std::string upper = classIdText(kClassA);
    ASSERT_NE(upper, lowerAscii(upper));
    registerClass(lowerAscii(classIdText(kClassA)), serverPath());
    addEntry({"Capitals in the driver key", classIdText(kClassA), std::nullopt});
    registerClass(classIdText(kClassB), serverPath());
    addEntry({"Capitals in the class key", lowerAscii(classIdText(kClassB)), std::nullopt});
    // Registered, but not a class id: still listed, with an empty one that creation rejects.
    registerClass(kNotAClassId, serverPath());
    addEntry({"Not a class id", kNotAClassId, std::nullopt});

    const AsioDriverCatalog catalog;
    ASSERT_EQ(namesOf(catalog),
              (std::vector<std::string>{"Capitals in the class key", "Capitals in the driver key", "Not a class id"}));
    EXPECT_TRUE(IsEqualCLSID(catalog.record(0)->clsid, kClassB));
    EXPECT_TRUE(IsEqualCLSID(catalog.record(1)->clsid, kClassA));
    EXPECT_TRUE(IsEqualCLSID(catalog.record(2)->clsid, CLSID{}));
}

TEST_F(AsioDriverCatalogTest, NamesADriverByItsDescriptionOrElseItsKeyName) {
    // Non-ASCII text only arrives as UTF-8 through the ANSI functions under the UTF-8 code
    // page, which QOVA.exe and these tests set in their manifests.
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    addDriver("A described", kClassA, "Studio Monitor Out");
    addDriver("B undescribed", kClassB);
    addDriver("C empty description", kClassC, "");
    addDriver("D k\xc3\xa9y \xe2\x99\xab", kClassD);
    addDriver("E non-ASCII description", kClassE, "Sortie g\xc3\xa9n\xc3\xa9rale \xe2\x99\xab \xf0\x9f\x8e\xb5");

    const AsioDriverCatalog catalog;
    EXPECT_EQ(namesOf(catalog), (std::vector<std::string>{
                                    "Studio Monitor Out",
                                    "B undescribed",
                                    "C empty description",
                                    "D k\xc3\xa9y \xe2\x99\xab",
                                    "Sortie g\xc3\xa9n\xc3\xa9rale \xe2\x99\xab \xf0\x9f\x8e\xb5",
                                }));
}

TEST_F(AsioDriverCatalogTest, ShortNameCutsAtTwentyEightBytesWithoutSplittingACharacter) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    const std::string e = "\xc3\xa9";              // 2 bytes
    const std::string note = "\xe2\x99\xab";       // 3 bytes
    const std::string music = "\xf0\x9f\x8e\xb5";  // 4 bytes
    auto a = [](std::size_t bytes) { return std::string(bytes, 'a'); };
    struct Case {
        std::string description;
        std::string shortName;
    };
    const Case cases[] = {
        {a(31), a(31)},
        {a(32), a(28) + "..."},
        {"Forty bytes: a long ASIO driver name ok.", "Forty bytes: a long ASIO dri..."},
        {a(29) + e, a(29) + e},              // 31 bytes: whole
        {a(30) + e, a(28) + "..."},          // 32 bytes: cut before the character
        {a(27) + e + a(10), a(27) + "..."},  // byte 28 continues the character
        {a(28) + e + a(10), a(28) + "..."},  // the character starts at the cut
        {a(26) + note + a(10), a(26) + "..."},
        {a(25) + music + a(10), a(25) + "..."},
        {a(24) + music + a(10), a(24) + music + "..."},
    };
    // One class may serve any number of driver keys.
    char letter = 'A';
    for (const Case& test : cases) addDriver(std::string("Cut ") + letter++, kClassA, test.description);

    const AsioDriverCatalog catalog;
    ASSERT_EQ(catalog.count(), static_cast<int>(std::size(cases)));
    for (int index = 0; index < catalog.count(); ++index) {
        const Case& test = cases[index];
        SCOPED_TRACE(test.description);
        EXPECT_EQ(catalog.record(index)->name, test.description);
        const std::string name = shortName(catalog, index);
        EXPECT_EQ(name, test.shortName);
        EXPECT_TRUE(isUtf8(name));
    }
}

TEST_F(AsioDriverCatalogTest, KeepsNamesToTheirFirst127BytesWithoutSplittingACharacter) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    std::string accents;
    for (int count = 0; count < 100; ++count) accents += "\xc3\xa9";
    addDriver("A exactly 127", kClassA, std::string(127, 'x'));
    addDriver("B 200 bytes", kClassB, std::string(200, 'y'));
    addDriver("C 200 bytes of two-byte characters", kClassC, accents);

    const AsioDriverCatalog catalog;
    const std::vector<std::string> names = namesOf(catalog);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], std::string(127, 'x'));
    EXPECT_EQ(names[1], std::string(127, 'y'));
    EXPECT_EQ(names[2], accents.substr(0, 126));
    EXPECT_TRUE(isUtf8(names[2]));

    char buffer[256];
    ASSERT_EQ(catalog.driverName(1, buffer, sizeof buffer), kAsioCatalogOk);
    EXPECT_EQ(std::string(buffer), std::string(127, 'y'));
}

TEST_F(AsioDriverCatalogTest, AKeyNameTooLongToReadDoesNotHideTheDriversAfterIt) {
    addDriver(std::string(130, 'A'), kClassA, "Long Key");
    addDriver("B after the long key", kClassB, "After");

    EXPECT_EQ(namesOf(AsioDriverCatalog()), std::vector<std::string>{"After"});
}

TEST_F(AsioDriverCatalogTest, DriverNameReportsAMissingBufferAndAnUnknownIndex) {
    addDriver("Only driver", kClassA);
    const AsioDriverCatalog catalog;
    ASSERT_EQ(catalog.count(), 1);

    EXPECT_EQ(catalog.driverName(0, nullptr, kAsioDriverNameBytes), kAsioCatalogNoBuffer);
    char buffer[kAsioDriverNameBytes] = "untouched";
    EXPECT_EQ(catalog.driverName(0, buffer, 0), kAsioCatalogNoBuffer);
    EXPECT_EQ(catalog.driverName(-1, buffer, sizeof buffer), kAsioCatalogNoSuchIndex);
    EXPECT_EQ(catalog.driverName(1, buffer, sizeof buffer), kAsioCatalogNoSuchIndex);
    EXPECT_STREQ(buffer, "untouched");
    // Buffers too small for the dots still get a terminated text.
    EXPECT_EQ(catalog.driverName(0, buffer, 3), kAsioCatalogOk);
    EXPECT_STREQ(buffer, "..");
}

TEST_F(AsioDriverCatalogTest, ListsEachDriverKeyedByItsShortName) {
    addDriver("A short", kClassA, "Studio Out");
    addDriver("B long", kClassB, "Forty bytes: a long ASIO driver name ok.");
    registerClass(classIdText(kClassC), missingPath());
    addEntry({"C not installed", classIdText(kClassC), "Not Installed"});
    addDriver("D undescribed", kClassD);

    const std::vector<DeviceInfo> devices = listAsioDevices();
    const std::string names[] = {"Studio Out", "Forty bytes: a long ASIO dri...", "D undescribed"};
    ASSERT_EQ(devices.size(), std::size(names));
    for (std::size_t at = 0; at < devices.size(); ++at) {
        SCOPED_TRACE(names[at]);
        EXPECT_EQ(devices[at].key, "asio:" + names[at]);
        EXPECT_EQ(devices[at].name, names[at]);
        EXPECT_EQ(devices[at].family, DeviceFamily::Asio);
        EXPECT_EQ(devices[at].channels, 0u);
        EXPECT_EQ(devices[at].sampleRate, 0u);
        EXPECT_FALSE(devices[at].isDefault);
    }
}

}  // namespace
}  // namespace win
