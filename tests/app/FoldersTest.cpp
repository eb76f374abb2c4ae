#include "app/shell/Folders.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "win/base/Session.h"

namespace app {
namespace {

using testing_support::TempFolder;

bool isFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class FoldersTest : public ::testing::Test {
protected:
    void TearDown() override { dataDirOverride.clear(); }
};

TEST_F(FoldersTest, OverrideHoldsEverythingAndIsCreated) {
    TempFolder scratch;
    dataDirOverride = scratch.file(L"chosen");
    ASSERT_FALSE(isFolder(dataDirOverride));

    EXPECT_EQ(configFilePath(), dataDirOverride + L"\\config.json");
    EXPECT_TRUE(isFolder(dataDirOverride));
    EXPECT_EQ(dataFolder(), dataDirOverride);
    EXPECT_EQ(logFolder(), dataDirOverride);
}

TEST_F(FoldersTest, WithoutOverrideSettingsRoamAndTheLogStaysLocal) {
    const std::wstring data = dataFolder();
    const std::wstring log = logFolder();
    EXPECT_TRUE(endsWith(data, L"\\QOVA")) << testing::PrintToString(data);
    EXPECT_TRUE(endsWith(log, L"\\QOVA")) << testing::PrintToString(log);
    EXPECT_NE(data, log);
    EXPECT_NE(data.find(L"Roaming"), std::wstring::npos) << testing::PrintToString(data);
    EXPECT_NE(log.find(L"Local"), std::wstring::npos) << testing::PrintToString(log);
    EXPECT_TRUE(isFolder(data));
    EXPECT_TRUE(isFolder(log));
    EXPECT_EQ(configFilePath(), data + L"\\config.json");
}

TEST_F(FoldersTest, OverrideWhoseParentIsMissingIsNotCreated) {
    TempFolder scratch;
    dataDirOverride = scratch.file(L"missing\\deeper");
    EXPECT_EQ(dataFolder(), dataDirOverride);  // still the path; its files fail where they are used
    EXPECT_FALSE(isFolder(dataDirOverride));
}

TEST(Identity, UserSidAndSessionAreThoseOfThisProcess) {
    const std::wstring sid = win::userSidString();
    EXPECT_EQ(sid.rfind(L"S-1-", 0), 0u) << testing::PrintToString(sid);

    DWORD session = 0xffffffff;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(win::sessionId(), session);
}

}  // namespace
}  // namespace app
