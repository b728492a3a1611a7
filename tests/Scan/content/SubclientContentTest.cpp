#include <gtest/gtest.h>

#include "agent/ApplicationId.h"
#include "agent/DaxMessages.h"
#include "agent/HubServe.h"
#include "core/Env.h"
#include "scan/content/AutoStreamHandler.h"
#include "scan/content/SubclientConfiguration.h"
#include "scan/content/SubclientContentAPI.h"
#include "support/TestSupport.h"

namespace {

// A management server whose store holds backup set "c/bs" with subclient "docs" (id 17), and a
// job-results folder for it.
class SubclientServer : public ::testing::Test {
protected:
    void SetUp() override {
        settings.Set("Agent", "SubclientConfigDir", store());
        settings.Set("Agent", "JobResultsDir", dir / "jr");
        ASSERT_EQ(testsupport::Shell("mkdir -p '" + store() + "/c/bs' '" + data() + "' '" + dir.Path() + "/jr'"), 0);
        WriteDocs("readers = 3\n");
    }
    void TearDown() override { ZYHubServe::SetCurrent(nullptr); }
    std::string store() const { return dir / "store"; }
    std::string data() const { return dir / "data"; }
    std::string copy() const { return dir / "jr/2/17/BackupContent.xml"; }
    void WriteDocs(const std::string& extra) {
        testsupport::WriteFile(store() + "/c/bs/docs.subclient",
                               "id = 17\ncontent = " + data() + "\ncontent = /%Documents%\nfilter = /%Temp%\n"
                               "filter = *.tmp\nexception = keep.tmp\nfiletype = Images: *.jpg\\/\\/ \\/\\/*.png\n"
                               "added = /srv/new\nlast-backup = 1717000000\n" +
                                   extra);
    }
    std::shared_ptr<Subclient> Docs() {
        ApplicationId id("2:17");
        std::shared_ptr<Subclient> subclient;
        EXPECT_TRUE(id.getApplicationId().IsSuccess());
        EXPECT_TRUE(id.getSubclient(subclient).IsSuccess());
        return subclient;
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
};

TEST_F(SubclientServer, ConfigurationLoadsTheBackupSet) {
    testsupport::WriteFile(store() + "/c/bs/other.subclient", "id = 18\ncontent = /elsewhere\n");
    ApplicationId appId("2:17");
    ASSERT_TRUE(appId.getApplicationId().IsSuccess());
    auto subclient = Docs();
    CSubclientConfiguration config;
    testsupport::ScopedLogCapture log(5);
    ASSERT_TRUE(config.SetLastBackupTimeAsQueryTime(subclient.get()).IsSuccess());
    EXPECT_EQ(config.GetQueryTime().AsUnixTime(), 1717000000);
    EXPECT_TRUE(log.Log().Contains("SubclientQueryTime=[2024-05-29T16:26:40.000000Z (1717000000)]"));
    ASSERT_TRUE(config.Load(appId, subclient.get(), false).IsSuccess());

    const auto& subclients = config.GetSubclients();
    ASSERT_EQ(subclients.size(), 2u);
    const CSubclientInfo& docs = subclients.at(17);
    EXPECT_EQ(docs.GetSubclientName(), "docs");
    ASSERT_EQ(docs.GetContent().size(), 2u);
    EXPECT_EQ(docs.GetContent()[0]->GetContent(), data());
    EXPECT_EQ(subclients.at(18).GetContent()[0]->GetContent(), "/elsewhere");
    ASSERT_TRUE(docs.GetFilters(ZY_NODIRS_BACKUP_FILTERS));
    ASSERT_EQ(docs.GetFilters(ZY_NODIRS_BACKUP_FILTERS)->size(), 2u);
    EXPECT_EQ(docs.GetFilters(ZY_NODIRS_BACKUP_FILTERS)->at(1)->GetContent(), "*.tmp");
    EXPECT_TRUE(docs.GetFilters(ZY_NODIRS_BACKUP_FILTERS)->at(1)->GetContext()->AllowRootWildcards());
    EXPECT_EQ(docs.GetFilters(ZY_YESDIRS_BACKUP_FILTERS)->at(0)->GetContent(), "keep.tmp");
    EXPECT_TRUE(docs.GetFilters(ZY_NOFILES_BACKUP_FILTERS)->empty());
    EXPECT_FALSE(subclients.at(18).GetFilters(ZY_NODIRS_BACKUP_FILTERS));  // only the job's subclient

    // Extension values lose every "\/\/".
    auto images = config.GetExtensionGroupings()->Find("Images");
    ASSERT_TRUE(images);
    ASSERT_EQ(images->GetExtensions().size(), 2u);
    EXPECT_EQ(images->GetExtensions()[0]->GetContent(), "*.jpg");
    EXPECT_EQ(images->GetExtensions()[1]->GetContent(), "*.png");
    ASSERT_EQ(config.GetNewContentSinceLastBackup().size(), 1u);
    EXPECT_EQ(config.GetNewContentSinceLastBackup()[0].GetContent(), "/srv/new");
}

TEST_F(SubclientServer, ConfigurationFailuresAreNamed) {
    CSubclientConfiguration config;
    ApplicationId appId("2:17");
    ASSERT_TRUE(appId.getApplicationId().IsSuccess());
    CKoError e = config.Load(appId, nullptr, false);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_EQ(e.GetMessage(), "Subclient is NULL");
    EXPECT_TRUE(FXErrorUtil::IsWin32(config.SetLastBackupTimeAsQueryTime(nullptr), ZyWin32::ERROR_INVALID_PARAMETER));

    auto subclient = Docs();
    e = config.GetRawFilterItems(subclient.get(), ZY_NODIRS_BACKUP_FILTERS);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE));
    EXPECT_EQ(e.GetMessage(), "No content loaded, SubclientId=[17]");

    // A subclient the server does not configure loads nothing, successfully.
    Subclient plain("c", "bs", "sc", "/none");
    ASSERT_TRUE(config.Load(appId, &plain, false).IsSuccess());
    EXPECT_TRUE(config.GetSubclients().empty());

    // The server's failure is passed on with the step that met it.
    settings.Set("Agent", "HubServeOffline", "1");
    e = config.Load(appId, subclient.get(), false);
    EXPECT_TRUE(ZYHubServe::IsUnreachable(e));
    EXPECT_NE(e.AsString().find("getFSBackupsetContent failed, SubclientId=[17]"), std::string::npos);
}

TEST_F(SubclientServer, ContentApiUsesTheLocalCopyFirstAndTheServerWhenItMust) {
    EXPECT_TRUE(CSubclientContentAPI::IsMonikerPath("/%Documents%"));
    EXPECT_TRUE(CSubclientContentAPI::IsMonikerPath("\\%a%"));
    EXPECT_FALSE(CSubclientContentAPI::IsMonikerPath("/%"));  // two characters
    EXPECT_FALSE(CSubclientContentAPI::IsMonikerPath("/a%b%"));
    EXPECT_FALSE(CSubclientContentAPI::IsMonikerPath("%a%"));

    CSubclientContentAPI api;
    std::string xml;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(api.GetSubclientContent(0, xml, 2, "c"), EINVAL));
    testsupport::ScopedLogCapture log(5);
    ASSERT_TRUE(api.GetSubclientContent(17, xml, 0, "c").IsSuccess());
    EXPECT_TRUE(log.Log().Contains("Using HubCellID=2"));
    Dax::SubclientContentList list;
    ASSERT_TRUE(list.ParseFromString(xml).IsSuccess());
    EXPECT_EQ(list.content, (std::vector<std::string>{data(), "Documents"}));  // the moniker as its name
    EXPECT_EQ(list.filters, (std::vector<std::string>{"Temp", "*.tmp"}));
    EXPECT_EQ(list.exceptions, (std::vector<std::string>{"keep.tmp"}));
    std::string cached;
    ASSERT_TRUE(api.GetContentFromFile(copy(), cached).IsSuccess());
    EXPECT_EQ(cached, xml);

    // With a local copy the server is not asked: a changed definition shows after a refresh.
    WriteDocs("readers = auto\nfilter = /new\n");
    ASSERT_TRUE(api.GetSubclientContent(17, xml, 2, "c").IsSuccess());
    EXPECT_EQ(xml, cached);
    ASSERT_TRUE(api.RefreshLocalCache(17, 2, "c").IsSuccess());
    ASSERT_TRUE(api.GetSubclientContent(17, xml, 2, "c").IsSuccess());
    ASSERT_TRUE(list.ParseFromString(xml).IsSuccess());
    EXPECT_EQ(list.filters.back(), "/new");

    // A local copy that does not parse sends it to the server, and is rewritten.
    testsupport::WriteFile(copy(), "<garbage");
    ASSERT_TRUE(api.GetSubclientContent(17, xml, 2, "c").IsSuccess());
    EXPECT_TRUE(log.Log().Contains("will try to fetch content from server"));
    ASSERT_TRUE(api.GetContentFromFile(copy(), cached).IsSuccess());

    // A message that does not parse never replaces a good copy.
    EXPECT_TRUE(api.DumpToFile(copy(), "<Message/>").IsError());
    std::string after;
    ASSERT_TRUE(api.GetContentFromFile(copy(), after).IsSuccess());
    EXPECT_EQ(after, cached);
}

// Fails every write of a temporary file: the local copy cannot be written.
class NoTempFilesEnv : public FXEnvWrapper {
public:
    NoTempFilesEnv() : FXEnvWrapper(FXEnv::Default()) {}
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options) override {
        if (path.size() > 4 && path.compare(path.size() - 4, 4, ".tmp") == 0)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, 28, "no space, FileName=[%s]", path.c_str());
        return FXEnvWrapper::NewWritableFile(path, mode, out, options);
    }
};

TEST_F(SubclientServer, JobsFallBackToTheLocalCopyOnlyWhenTheServerIsAway) {
    CSubclientContentAPI api;
    std::string xml;
    SSubclientContentOrigin origin;
    // No server and no copy yet: nothing to run on.
    settings.Set("Agent", "HubServeOffline", "1");
    CKoError e = api.GetSubclientContentForJob(17, 2, "c", xml, origin);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("The server cannot be reached"), std::string::npos);

    settings.Set("Agent", "HubServeOffline", "0");
    ASSERT_TRUE(api.GetSubclientContentForJob(17, 2, "c", xml, origin).IsSuccess());
    EXPECT_FALSE(origin.fromLocalCopy);
    EXPECT_EQ(origin.localCopy, copy());
    const std::string fresh = xml;

    settings.Set("Agent", "SubclientConfigDir", dir / "gone");
    ASSERT_TRUE(api.GetSubclientContentForJob(17, 2, "c", xml, origin).IsSuccess());
    EXPECT_TRUE(origin.fromLocalCopy);
    EXPECT_NE(origin.reason.find("cannot be reached"), std::string::npos);
    EXPECT_EQ(xml, fresh);

    // A wrong definition is an error naming its line; the copy is not used and not touched.
    settings.Set("Agent", "SubclientConfigDir", store());
    WriteDocs("readers = lots\n");
    e = api.GetSubclientContentForJob(17, 2, "c", xml, origin);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("docs.subclient] line 10: readers must be"), std::string::npos) << e.AsString();
    std::string cached;
    ASSERT_TRUE(api.GetContentFromFile(copy(), cached).IsSuccess());
    EXPECT_EQ(cached, fresh);

    // A copy that cannot be written does not fail the job; the origin says so.
    WriteDocs("");
    NoTempFilesEnv env;
    FXScopedEnv scoped(&env);
    ASSERT_TRUE(api.GetSubclientContentForJob(17, 2, "c", xml, origin).IsSuccess());
    EXPECT_NE(origin.reason.find("the local copy was not refreshed"), std::string::npos);
    ASSERT_TRUE(api.GetSubclientContent(17, xml, 2, "c").IsSuccess());  // logged only
    EXPECT_TRUE(api.RefreshLocalCache(17, 2, "c").IsError());
}

class FixedStreams : public AutoStreamHandler {
public:
    CKoError GetMaxNumberOfStreamsInternal(Subclient*, int& streams, bool, int, unsigned long, std::string*) override {
        streams = 9;
        return CKoError::Success();
    }
};

TEST_F(SubclientServer, ReadersComeFromTheSubclientOrTheRule) {
    auto subclient = Docs();
    const struct {
        Subclient* subclient;
        bool multiNode;
        int nodes;
        int streams;
        const char* reason;
    } cases[] = {
        {subclient.get(), false, 0, 3, "Number of Data Readers configured in subclient: 3"},
        {nullptr, false, 0, 4, "Optimal number of Data Readers: 4"},
        {nullptr, true, 3, 12, "Backup nodes: 3, Optimal number of Data Readers: 12"},
        {nullptr, true, 0, 4, "Backup nodes count is zero. Using default value of 4 streams."},
    };
    for (const auto& c : cases) {
        int streams = -1;
        std::string reason;
        ASSERT_TRUE(AutoStreamHandler::GetMaxNumberOfStreams(c.subclient, streams, c.multiNode, c.nodes, 0, nullptr,
                                                             &reason)
                        .IsSuccess());
        EXPECT_EQ(streams, c.streams);
        EXPECT_EQ(reason, c.reason);
    }
    WriteDocs("readers = auto\n");
    int streams = 0;
    ASSERT_TRUE(AutoStreamHandler::GetMaxNumberOfStreams(subclient.get(), streams, true, 2, 0).IsSuccess());
    EXPECT_EQ(streams, 8);
    // A subclient that cannot say: automatic.
    settings.Set("Agent", "HubServeOffline", "1");
    ASSERT_TRUE(AutoStreamHandler::GetMaxNumberOfStreams(subclient.get(), streams, false, 0, 0).IsSuccess());
    EXPECT_EQ(streams, 4);
    FixedStreams fixed;
    ASSERT_TRUE(AutoStreamHandler::GetMaxNumberOfStreams(nullptr, streams, false, 0, 0, &fixed).IsSuccess());
    EXPECT_EQ(streams, 9);
}

}  // namespace
