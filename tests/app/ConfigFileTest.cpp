#include "app/shell/ConfigFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "core/settings/SettingsFile.h"
#include "win/base/UniqueHandle.h"

namespace app {
namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

constexpr const char* kOneDevice = R"({"schema": 1, "devices": [{"key": "wasapi:x", "enabled": true}]})";

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override { dataDirOverride = folder_.path(); }
    void TearDown() override { dataDirOverride.clear(); }

    std::wstring file(const wchar_t* name) const { return folder_.file(name); }

    TempFolder folder_;
};

TEST_F(ConfigFileTest, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
    const std::wstring path = file(L"config.json");
    writeFile(path, "old");
    ASSERT_TRUE(writeFileAtomically(path, "new \xc3\xa9\n"));
    EXPECT_EQ(readFile(path), "new \xc3\xa9\n");
    EXPECT_FALSE(fileExists(path + L".tmp"));

    ASSERT_TRUE(writeFileAtomically(path, ""));
    EXPECT_TRUE(fileExists(path));
    EXPECT_EQ(readFile(path), "");
}

TEST_F(ConfigFileTest, FailedRenameKeepsTheOldFileAndTheTemporary) {
    const std::wstring path = file(L"config.json");
    writeFile(path, "old");
    {
        // Another program holds the file open without letting it be replaced.
        win::UniqueHandle holder(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_FALSE(writeFileAtomically(path, "new"));
    }
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(readFile(path + L".tmp"), "new");

    // The next save starts again from scratch and succeeds.
    EXPECT_TRUE(writeFileAtomically(path, "newer"));
    EXPECT_EQ(readFile(path), "newer");
    EXPECT_FALSE(fileExists(path + L".tmp"));
}

TEST_F(ConfigFileTest, WriteIntoMissingFolderFails) {
    EXPECT_FALSE(writeFileAtomically(file(L"missing\\config.json"), "x"));
}

TEST_F(ConfigFileTest, ReadsWholeFilesUpToTheSizeLimit) {
    const std::wstring path = file(L"config.json");
    std::string text;
    EXPECT_FALSE(readFileText(path, text));  // missing

    writeFile(path, "");
    EXPECT_TRUE(readFileText(path, text));
    EXPECT_EQ(text, "");

    std::string atLimit(kMaxConfigFileBytes, ' ');
    atLimit.replace(0, 12, R"({"schema":1})");
    writeFile(path, atLimit);
    EXPECT_TRUE(readFileText(path, text));
    EXPECT_EQ(text.size(), kMaxConfigFileBytes);

    writeFile(path, atLimit + " ");
    text = "unchanged";
    EXPECT_FALSE(readFileText(path, text));
    EXPECT_EQ(text, "unchanged");
}

TEST_F(ConfigFileTest, LoadsWhatWasSaved) {
    core::Settings settings;
    ASSERT_TRUE([&] {
        std::string error;
        return core::readSettings(kOneDevice, settings, error);
    }());
    settings.language = "nl";
    saveSettings(settings);
    EXPECT_EQ(readFile(file(L"config.json")), core::writeSettings(settings));
    EXPECT_EQ(core::writeSettings(loadSettings()), core::writeSettings(settings));
}

TEST_F(ConfigFileTest, MissingOrOversizedFileGivesDefaultsAndIsLeftAlone) {
    EXPECT_EQ(core::writeSettings(loadSettings()), core::writeSettings(core::Settings{}));
    EXPECT_FALSE(fileExists(file(L"config.json")));

    std::string tooLarge(kMaxConfigFileBytes + 1, ' ');
    tooLarge.replace(0, std::strlen(kOneDevice), kOneDevice);
    writeFile(file(L"config.json"), tooLarge);
    EXPECT_TRUE(loadSettings().devices.empty());
    EXPECT_TRUE(fileExists(file(L"config.json")));
    EXPECT_FALSE(fileExists(file(L"config.unreadable.json")));

    // The next save replaces it.
    saveSettings(core::Settings{});
    EXPECT_EQ(readFile(file(L"config.json")), core::writeSettings(core::Settings{}));
}

TEST_F(ConfigFileTest, SettingsThatAreNotUtf8AreNotSaved) {
    saveSettings(core::Settings{});
    const std::string before = readFile(file(L"config.json"));
    core::Settings broken;
    broken.language = "\xff";
    saveSettings(broken);  // must not throw, must not touch the file
    EXPECT_EQ(readFile(file(L"config.json")), before);
}

}  // namespace
}  // namespace app
