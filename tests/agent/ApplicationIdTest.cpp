#include <gtest/gtest.h>

#include <cerrno>

#include "agent/ApplicationId.h"
#include "core/Path.h"
#include "support/TestSupport.h"

namespace {

TEST(ApplicationId, ParsesFieldsAndRejectsMalformedText) {
    ApplicationId id("subclient=sc1;appType=25;client=host1;;backupset=bs;app=FileSystem;");
    ASSERT_TRUE(id.getApplicationId().IsSuccess());
    EXPECT_EQ(id.getAppType(), 25);
    EXPECT_EQ(id.getClientName(), "host1");
    EXPECT_EQ(id.getBackupsetName(), "bs");
    EXPECT_EQ(id.getSubclientName(), "sc1");

    EXPECT_TRUE(FXErrorUtil::IsWin32(ApplicationId("").getApplicationId(), ZyWin32::ERROR_INVALID_PARAMETER));
    for (const char* bad : {"garbage", "client=a;client=b", "appType=2x", "appType=", "appType=-1", "color=red",
                            "appType=99999999999"}) {
        ApplicationId rejected(bad);
        EXPECT_TRUE(FXErrorUtil::IsWin32(rejected.getApplicationId(), ZyWin32::ERROR_INVALID_DATA)) << bad;
    }
}

class SubclientStore : public ::testing::Test {
protected:
    void SetUp() override { settings.Set("Agent", "SubclientConfigDir", dir.Path()); }
    void WriteContent(const std::string& client, const std::string& bs, const std::string& sc, const std::string& text) {
        ASSERT_EQ(testsupport::Shell("mkdir -p '" + dir.Path() + "/" + client + "/" + bs + "'"), 0);
        testsupport::WriteFile(dir.Path() + "/" + client + "/" + bs + "/" + sc + ".content", text);
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
};

TEST_F(SubclientStore, ReadsOneEntryPerLine) {
    WriteContent("c", "bs", "sc", "/proxy/\x15/data/\n\n/other\x15/h  x\n/last-without-lf");
    ApplicationId id("client=c;backupset=bs;subclient=sc;appType=87");
    ASSERT_TRUE(id.getApplicationId().IsSuccess());
    std::shared_ptr<Subclient> subclient;
    ASSERT_TRUE(id.getSubclient(subclient).IsSuccess());
    ASSERT_TRUE(subclient);
    EXPECT_EQ(subclient->getSubclientName(), "sc");

    BackupContent content;
    content.files.push_back("stale");
    ASSERT_TRUE(ApplBackupContent(*subclient).getFiles(content).IsSuccess());
    EXPECT_EQ(content.files, (std::vector<std::string>{"/proxy/\x15/data/", "/other\x15/h  x", "/last-without-lf"}));
}

TEST_F(SubclientStore, MissingPiecesAreErrors) {
    std::shared_ptr<Subclient> subclient;
    ApplicationId noSubclient("client=c;backupset=bs;appType=25");
    ASSERT_TRUE(noSubclient.getApplicationId().IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(noSubclient.getSubclient(subclient), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_FALSE(subclient);

    ApplicationId escaping("client=..;backupset=bs;subclient=sc");
    ASSERT_TRUE(escaping.getApplicationId().IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(escaping.getSubclient(subclient), ZyWin32::ERROR_INVALID_DATA));

    // The subclient is known but has no content file yet.
    ApplicationId id("client=c;backupset=bs;subclient=none");
    ASSERT_TRUE(id.getApplicationId().IsSuccess());
    ASSERT_TRUE(id.getSubclient(subclient).IsSuccess());
    BackupContent content;
    EXPECT_TRUE(FXErrorUtil::IsWin32(ApplBackupContent(*subclient).getFiles(content), ZyWin32::ERROR_FILE_NOT_FOUND));

    testsupport::ScopedSettings noSettings;
    EXPECT_TRUE(id.getSubclient(subclient).IsError());
}

}  // namespace
