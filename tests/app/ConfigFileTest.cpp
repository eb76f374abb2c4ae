#include "app/shell/ConfigFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <memory>
#include <thread>

#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "core/settings/SettingsFile.h"
#include "tests/support/SettingsBuilders.h"
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
    void SetUp() override {
        dataDirOverride = folder_.path();
        loadSettings();  // from an empty folder: no file kept from an earlier test
    }
    void TearDown() override { dataDirOverride.clear(); }

    std::wstring file(const wchar_t* name) const { return folder_.file(name); }

    TempFolder folder_;
    // Where the program keeps its settings in that folder.
    const std::wstring config_ = folder_.file(L"config.json");
};

TEST_F(ConfigFileTest, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
    writeFile(config_, "old");
    ASSERT_TRUE(writeFileAtomically(config_, "new \xc3\xa9\n"));
    EXPECT_EQ(readFile(config_), "new \xc3\xa9\n");
    EXPECT_FALSE(fileExists(config_ + L".tmp"));

    ASSERT_TRUE(writeFileAtomically(config_, ""));
    EXPECT_TRUE(fileExists(config_));
    EXPECT_EQ(readFile(config_), "");
}

TEST_F(ConfigFileTest, FailedRenameKeepsTheOldFileAndTheTemporary) {
    writeFile(config_, "old");
    {
        // Another program holds the file open without letting it be replaced.
        win::UniqueHandle holder(
            CreateFileW(config_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_FALSE(writeFileAtomically(config_, "new"));
    }
    EXPECT_EQ(readFile(config_), "old");
    EXPECT_EQ(readFile(config_ + L".tmp"), "new");

    // The next save starts again from scratch and succeeds.
    EXPECT_TRUE(writeFileAtomically(config_, "newer"));
    EXPECT_EQ(readFile(config_), "newer");
    EXPECT_FALSE(fileExists(config_ + L".tmp"));
}

TEST_F(ConfigFileTest, WriteIntoMissingFolderFails) {
    EXPECT_FALSE(writeFileAtomically(file(L"missing\\config.json"), "x"));
}

TEST_F(ConfigFileTest, ReadsWholeFilesUpToTheSizeLimit) {
    std::string text;
    EXPECT_EQ(readFileText(config_, text), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));

    writeFile(config_, "");
    EXPECT_EQ(readFileText(config_, text), 0u);
    EXPECT_EQ(text, "");

    std::string atLimit(kMaxConfigFileBytes, ' ');
    atLimit.replace(0, 12, R"({"schema":1})");
    writeFile(config_, atLimit);
    EXPECT_EQ(readFileText(config_, text), 0u);
    EXPECT_EQ(text.size(), kMaxConfigFileBytes);

    writeFile(config_, atLimit + " ");
    text = "unchanged";
    EXPECT_EQ(readFileText(config_, text), static_cast<unsigned long>(ERROR_FILE_TOO_LARGE));
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
    EXPECT_EQ(readFile(config_), core::writeSettings(settings));
    EXPECT_EQ(core::writeSettings(loadSettings()), core::writeSettings(settings));
}

TEST_F(ConfigFileTest, MissingOrOversizedFileGivesDefaultsAndIsLeftAlone) {
    EXPECT_EQ(core::writeSettings(loadSettings()), core::writeSettings(core::Settings{}));
    EXPECT_FALSE(fileExists(config_));

    std::string tooLarge(kMaxConfigFileBytes + 1, ' ');
    tooLarge.replace(0, std::strlen(kOneDevice), kOneDevice);
    writeFile(config_, tooLarge);
    EXPECT_TRUE(loadSettings().devices.empty());
    EXPECT_TRUE(fileExists(config_));
    EXPECT_FALSE(fileExists(file(L"config.unreadable.json")));

    // The next save replaces it.
    saveSettings(core::Settings{});
    EXPECT_EQ(readFile(config_), core::writeSettings(core::Settings{}));
}

// A file that is there but cannot be read is the user's only copy: it is never saved over in
// that run. Held for a moment only, it is read after a short wait.
TEST_F(ConfigFileTest, AFileThatCannotBeReadIsNeverSavedOver) {
    writeFile(config_, kOneDevice);
    {
        testing_support::HeldFile held(config_);
        ASSERT_TRUE(held.held());
        EXPECT_TRUE(loadSettings().devices.empty());
    }
    // Let go since, but the settings in force are not the file's.
    EXPECT_EQ(saveSettings(core::Settings{}), SaveOutcome::Withheld);
    EXPECT_EQ(saveSettings(core::Settings{}), SaveOutcome::Withheld) << "for the whole run";
    EXPECT_EQ(readFile(config_), kOneDevice);
    EXPECT_FALSE(fileExists(file(L"config.unreadable.json")));

    auto held = std::make_unique<testing_support::HeldFile>(config_);
    std::thread releaser([&] {
        Sleep(300);
        held->release();
    });
    EXPECT_EQ(loadSettings().devices.size(), 1u) << "read once it was let go";
    releaser.join();
    EXPECT_EQ(saveSettings(core::Settings{}), SaveOutcome::Saved);
}

// An unreadable file that cannot be moved aside (here a folder is in the way) stays where it
// is and is not saved over either.
TEST_F(ConfigFileTest, AFileThatCannotBeMovedAsideIsNeverSavedOver) {
    writeFile(config_, "{\"schema\": 1, \"devices\": [");
    ASSERT_TRUE(CreateDirectoryW(file(L"config.unreadable.json").c_str(), nullptr));
    EXPECT_TRUE(loadSettings().devices.empty());
    EXPECT_EQ(saveSettings(core::Settings{}), SaveOutcome::Withheld);
    EXPECT_EQ(readFile(config_), "{\"schema\": 1, \"devices\": [");
    RemoveDirectoryW(file(L"config.unreadable.json").c_str());
}

// A second process saves two settings by turns and is killed at a moment chosen at random,
// mostly in the middle of a save: config.json always reads whole, as the one or the other.
TEST_F(ConfigFileTest, ASaveKilledAtAnyMomentLeavesAWholeFile) {
    const std::string texts[2] = {core::writeSettings(test_support::oneOfTwoSettings(0)),
                                  core::writeSettings(test_support::oneOfTwoSettings(1))};
    std::minstd_rand random(GetTickCount());
    int seen[2] = {0, 0};
    int temporaryLeft = 0;
    auto lastWrite = [&] {
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
        GetFileAttributesExW(config_.c_str(), GetFileExInfoStandard, &attributes);
        return (std::uint64_t{attributes.ftLastWriteTime.dwHighDateTime} << 32) |
               attributes.ftLastWriteTime.dwLowDateTime;
    };
    for (int round = 0; round < 40; ++round) {
        const std::uint64_t before = lastWrite();
        {
            testing_support::AsyncProgram saver(L"shell_probe.exe", L"save-loop \"" + folder_.path() + L"\"");
            ASSERT_TRUE(saver.started());
            // Killed (as it goes out of scope) once it saves, which takes a while under Wine,
            // within its next saves.
            const std::uint64_t deadline = GetTickCount64() + 10000;
            while (lastWrite() == before && GetTickCount64() < deadline) Sleep(1);
            Sleep(random() % 20);
        }
        const std::string text = readFile(config_);
        if (text == texts[0] || text == texts[1]) {
            ++seen[text == texts[0] ? 0 : 1];
        } else {
            ADD_FAILURE() << "round " << round << ": config.json torn, " << text.size() << " bytes";
        }
        if (fileExists(file(L"config.json.tmp"))) ++temporaryLeft;
    }
    std::printf("killed 40 times: the short settings found %d times, the long %d, a temporary file left %d times\n",
                seen[0], seen[1], temporaryLeft);
    EXPECT_GT(seen[0] + seen[1], 0);
}

TEST_F(ConfigFileTest, SettingsThatAreNotUtf8AreNotSaved) {
    saveSettings(core::Settings{});
    const std::string before = readFile(config_);
    core::Settings broken;
    broken.language = "\xff";
    EXPECT_EQ(saveSettings(broken), SaveOutcome::Failed);  // must not throw, must not touch the file
    EXPECT_EQ(readFile(config_), before);
}

}  // namespace
}  // namespace app
