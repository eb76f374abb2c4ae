#include "app/shell/LaunchOptions.h"

#include <gtest/gtest.h>

#include "app/shell/Folders.h"

namespace app {
namespace {

class LaunchOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { dataDirOverride.clear(); }
    void TearDown() override { dataDirOverride.clear(); }
};

TEST_F(LaunchOptionsTest, DefaultsWithoutArguments) {
    const LaunchOptions options = parseLaunchOptions({});
    EXPECT_FALSE(options.tray);
    EXPECT_TRUE(options.pipeName.empty());
    EXPECT_EQ(options.nullDevices, 0);
    EXPECT_TRUE(options.screenshotPath.empty());
    EXPECT_EQ(options.tab, -1);
    EXPECT_FALSE(options.showVersion);
    EXPECT_TRUE(dataDirOverride.empty());
}

TEST_F(LaunchOptionsTest, ReadsEveryOptionWithItsValue) {
    const LaunchOptions options =
        parseLaunchOptions({L"--tray", L"--pipe", L"\\\\.\\pipe\\x", L"--null-devices", L"3", L"--screenshot",
                            L"C:\\shot.bmp", L"--tab", L"2", L"--data-dir", L"C:\\data"});
    EXPECT_TRUE(options.tray);
    EXPECT_EQ(options.pipeName, L"\\\\.\\pipe\\x");
    EXPECT_EQ(options.nullDevices, 3);
    EXPECT_EQ(options.screenshotPath, L"C:\\shot.bmp");
    EXPECT_EQ(options.tab, 2);
    EXPECT_EQ(dataDirOverride, L"C:\\data");
}

TEST_F(LaunchOptionsTest, LaterValueWinsAndUnknownArgumentsAreIgnored) {
    const LaunchOptions options = parseLaunchOptions(
        {L"--tab", L"1", L"extra", L"--TAB", L"9", L"-tray", L"--tab", L"3", L"--pipe", L"a", L"--pipe", L"b"});
    EXPECT_EQ(options.tab, 3);
    EXPECT_EQ(options.pipeName, L"b");
    EXPECT_FALSE(options.tray);
}

TEST_F(LaunchOptionsTest, OptionTakesNextArgumentEvenWhenItLooksLikeAnOption) {
    const LaunchOptions options = parseLaunchOptions({L"--pipe", L"--tray"});
    EXPECT_EQ(options.pipeName, L"--tray");
    EXPECT_FALSE(options.tray);
}

TEST_F(LaunchOptionsTest, OptionMissingItsValueIsIgnored) {
    for (const wchar_t* name : {L"--pipe", L"--tab", L"--null-devices", L"--screenshot", L"--data-dir"}) {
        const LaunchOptions options = parseLaunchOptions({L"--tray", name});
        EXPECT_TRUE(options.tray) << name;
        EXPECT_TRUE(options.pipeName.empty()) << name;
        EXPECT_EQ(options.tab, -1) << name;
        EXPECT_EQ(options.nullDevices, 0) << name;
        EXPECT_TRUE(options.screenshotPath.empty()) << name;
        EXPECT_TRUE(dataDirOverride.empty()) << name;
    }
}

TEST_F(LaunchOptionsTest, VersionActsWhereItStands) {
    const LaunchOptions before =
        parseLaunchOptions({L"--pipe", L"p", L"--version", L"--tab", L"2", L"--data-dir", L"d"});
    EXPECT_TRUE(before.showVersion);
    EXPECT_EQ(before.pipeName, L"p");
    EXPECT_EQ(before.tab, -1);
    EXPECT_TRUE(dataDirOverride.empty());

    const LaunchOptions first = parseLaunchOptions({L"--version", L"--pipe", L"p"});
    EXPECT_TRUE(first.showVersion);
    EXPECT_TRUE(first.pipeName.empty());

    // As the value of another option it is only a value.
    const LaunchOptions asValue = parseLaunchOptions({L"--pipe", L"--version"});
    EXPECT_FALSE(asValue.showVersion);
    EXPECT_EQ(asValue.pipeName, L"--version");
}

TEST_F(LaunchOptionsTest, NumbersReadLikeTheCLibrary) {
    struct Case {
        const wchar_t* text;
        int value;
    };
    const Case cases[] = {
        {L"2", 2},
        {L"  7", 7},
        {L"\t-1", -1},
        {L"+4", 4},
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"-", 0},
        {L"- 3", 0},
        {L"0x10", 0},
        {L"007", 7},
        {L"9", 9},
        {L"3.9", 3},
        {L"99999999999", 2147483647},
        {L"-99999999999", -2147483647 - 1},
        {L"2147483647", 2147483647},
        {L"-2147483648", -2147483647 - 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(readSignedDecimal(c.text), c.value) << '"' << testing::PrintToString(std::wstring(c.text)) << '"';

    EXPECT_EQ(parseLaunchOptions({L"--tab", L"sound"}).tab, 0);  // selects the Sound cards tab
    EXPECT_EQ(parseLaunchOptions({L"--tab", L"9"}).tab, 9);
    EXPECT_EQ(parseLaunchOptions({L"--tab", L"-1"}).tab, -1);
    EXPECT_EQ(parseLaunchOptions({L"--null-devices", L" 20"}).nullDevices, 20);  // capped at start-up, not here
}

TEST_F(LaunchOptionsTest, EmptyValuesCountAsNotGiven) {
    const LaunchOptions options = parseLaunchOptions({L"--pipe", L"", L"--screenshot", L""});
    EXPECT_TRUE(options.pipeName.empty());
    EXPECT_TRUE(options.screenshotPath.empty());
}

}  // namespace
}  // namespace app
