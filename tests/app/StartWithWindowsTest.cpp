#include "app/shell/StartWithWindows.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace app {
namespace {

using testing_support::readFile;
using testing_support::runProgram;
using testing_support::TempFolder;

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// Owns one open registry key.
class OpenKey {
public:
    OpenKey(HKEY root, const wchar_t* path) {
        if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~OpenKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The value exactly as stored: RegQueryValueExW, unlike RegGetValueW, adds no terminator.
std::optional<RegistryValue> readRunValue() {
    OpenKey run(HKEY_CURRENT_USER, kRunKeyPath);
    if (run.get() == nullptr) return std::nullopt;
    DWORD type = 0;
    DWORD sizeBytes = 0;
    if (RegQueryValueExW(run.get(), kRunValueName, nullptr, &type, nullptr, &sizeBytes) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryValue value{type, std::vector<BYTE>(sizeBytes)};
    if (RegQueryValueExW(run.get(), kRunValueName, nullptr, &type, value.bytes.data(), &sizeBytes) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(sizeBytes);
    return value;
}

void writeRunValue(DWORD type, const void* data, std::size_t sizeBytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName, type, data, static_cast<DWORD>(sizeBytes)),
              ERROR_SUCCESS);
}

void writeRunString(const std::wstring& text) {
    writeRunValue(REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void deleteRunValue() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName);
}

// The bytes Windows keeps for a string value: its UTF-16 text and a terminating NUL.
std::vector<BYTE> stringBytes(const std::wstring& text) {
    const auto* first = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(first, first + (text.size() + 1) * sizeof(wchar_t));
}

// The tests write the real Run value of the test prefix; whatever was there comes back after.
class StartWithWindows : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = readRunValue();
        deleteRunValue();
    }
    void TearDown() override {
        deleteRunValue();
        if (saved_) writeRunValue(saved_->type, saved_->bytes.data(), saved_->bytes.size());
    }

private:
    std::optional<RegistryValue> saved_;
};

TEST(StartCommandLine, IsThisProgramQuotedThenTray) {
    const std::wstring commandLine = startCommandLine();
    const std::wstring path = testing_support::binaryFolder() + L"\\app_tests.exe";
    EXPECT_EQ(commandLine, L"\"" + path + L"\" --tray");
    EXPECT_TRUE(testing_support::fileExists(path));
}

TEST_F(StartWithWindows, TurnedOnStoresTheCommandLineAndReadsBackOn) {
    EXPECT_FALSE(isStartWithWindowsOn());
    ASSERT_TRUE(setStartWithWindows(true));
    const std::optional<RegistryValue> stored = readRunValue();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored->bytes, stringBytes(startCommandLine()));
    EXPECT_TRUE(isStartWithWindowsOn());

    // On again rewrites the same value.
    EXPECT_TRUE(setStartWithWindows(true));
    EXPECT_TRUE(isStartWithWindowsOn());

    EXPECT_TRUE(setStartWithWindows(false));
    EXPECT_FALSE(readRunValue());
    EXPECT_FALSE(isStartWithWindowsOn());
    // Off when already off: nothing to delete, still a success.
    EXPECT_TRUE(setStartWithWindows(false));
    EXPECT_FALSE(isStartWithWindowsOn());
}

TEST_F(StartWithWindows, AnotherCommandLineReadsOffUntilTurnedOn) {
    const std::wstring own = startCommandLine();
    const std::wstring path = own.substr(1, own.size() - 1 - std::wstring(L"\" --tray").size());
    std::wstring upperCase = own;
    CharUpperBuffW(upperCase.data(), static_cast<DWORD>(upperCase.size()));
    ASSERT_NE(upperCase, own);
    const std::wstring others[] = {
        L"\"C:\\Program Files\\QOVA\\QOVA.exe\" --tray",  // a copy in another folder
        path + L" --tray",                                // no quotes
        L"\"" + path + L"\" --hidden",                    // another switch
        L"\"" + path + L"\"",                             // no switch
        own + L" ",
        own.substr(0, own.size() - 1),
        upperCase,
        L"",
    };
    for (const std::wstring& other : others) {
        writeRunString(other);
        EXPECT_FALSE(isStartWithWindowsOn()) << testing::PrintToString(other);
    }
    ASSERT_TRUE(setStartWithWindows(true));
    const std::optional<RegistryValue> stored = readRunValue();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bytes, stringBytes(own));
    EXPECT_TRUE(isStartWithWindowsOn());
}

TEST_F(StartWithWindows, ValueOfAnotherTypeReadsOff) {
    const std::wstring own = startCommandLine();
    const std::vector<BYTE> ownBytes = stringBytes(own);

    const DWORD number = 1;
    writeRunValue(REG_DWORD, &number, sizeof number);
    EXPECT_FALSE(isStartWithWindowsOn());
    // The right text under a type that is not a plain string is still not the setting.
    writeRunValue(REG_BINARY, ownBytes.data(), ownBytes.size());
    EXPECT_FALSE(isStartWithWindowsOn());
    std::vector<BYTE> multi = ownBytes;
    multi.push_back(0);
    multi.push_back(0);
    writeRunValue(REG_MULTI_SZ, multi.data(), multi.size());
    EXPECT_FALSE(isStartWithWindowsOn());

    // Control: the same bytes as a string do read as on.
    writeRunValue(REG_SZ, ownBytes.data(), ownBytes.size());
    EXPECT_TRUE(isStartWithWindowsOn());
}

// The outcome lines come from a second process, which opens its own log.
TEST_F(StartWithWindows, LogsEachChangeWithItsOutcome) {
    TempFolder folder;
    const std::wstring arguments = L" \"" + folder.path() + L"\"";
    EXPECT_EQ(runProgram(L"shell_probe.exe", L"start-off" + arguments).exitCode, 0u);
    EXPECT_FALSE(readRunValue());
    EXPECT_EQ(runProgram(L"shell_probe.exe", L"start-on" + arguments).exitCode, 0u);

    const std::optional<RegistryValue> stored = readRunValue();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bytes, stringBytes(L"\"" + testing_support::binaryFolder() + L"\\shell_probe.exe\" --tray"));
    EXPECT_FALSE(isStartWithWindowsOn());  // the probe's command line, not this program's

    const std::string log = readFile(folder.file(L"qova.log"));
    const std::size_t off = log.find("] start with Windows off: ok\n");
    const std::size_t on = log.find("] start with Windows on: ok\n");
    EXPECT_NE(off, std::string::npos) << log;
    EXPECT_NE(on, std::string::npos) << log;
    EXPECT_LT(off, on) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

}  // namespace
}  // namespace app
