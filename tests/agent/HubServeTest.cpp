#include <gtest/gtest.h>

#include "agent/ApplicationId.h"
#include "agent/DaxMessages.h"
#include "agent/HubServe.h"
#include "core/KoXml.h"
#include "support/TestSupport.h"

namespace {

// A store with backup set "c/bs": subclients "docs" (id 17) and "media" (id 18).
class HubStore : public ::testing::Test {
protected:
    void SetUp() override {
        settings.Set("Agent", "SubclientConfigDir", dir.Path());
        ASSERT_EQ(testsupport::Shell("mkdir -p '" + dir.Path() + "/c/bs' '" + dir.Path() + "/data'"), 0);
        Write("docs",
              "id = 17\ncontent = " + dir.Path() + "/data\nfilter = *.tmp\nexception = keep.tmp\nreaders = 3\n"
              "filetype = Images: *.jpg *.png\nadded = /srv/new\nlast-backup = 1717000000\n");
        Write("media", "id = 18\ncontent = /elsewhere/100%\nfiletype = Images: *.gif\nfiletype = Audio: *.mp3\n");
        hub = ZYFileHubServe::ForFolder(dir.Path());
    }
    void Write(const std::string& name, const std::string& text) {
        testsupport::WriteFile(dir.Path() + "/c/bs/" + name + ".subclient", text);
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
    std::shared_ptr<ZYFileHubServe> hub;
    const ZYSubclientKey docs{"c", "bs", "docs"};
};

TEST_F(HubStore, ServesTheBackupSetDocuments) {
    std::string content, groupings;
    ASSERT_TRUE(hub->GetFSBackupsetContent(docs, 0, false, content, groupings).IsSuccess());
    // The other subclient's content lies elsewhere: it is served as written, "%" escaped.
    EXPECT_EQ(content,
              "<App_BackupSetInfo><subClientList><subClientEntity subclientId=\"17\" subclientName=\"docs\"/>"
              "<content path=\"" + dir.Path() + "/data\"/></subClientList>"
              "<subClientList><subClientEntity subclientId=\"18\" subclientName=\"media\"/>"
              "<content path=\"/elsewhere/100%25\"/></subClientList></App_BackupSetInfo>");
    EXPECT_EQ(groupings,
              "<App_FileTypesAndExtensionsResp><fileTypeExtensionsList fileType=\"Images\">"
              "<extensionList val=\"*.jpg\"/><extensionList val=\"*.png\"/><extensionList val=\"*.gif\"/>"
              "</fileTypeExtensionsList><fileTypeExtensionsList fileType=\"Audio\"><extensionList val=\"*.mp3\"/>"
              "</fileTypeExtensionsList></App_FileTypesAndExtensionsResp>");

    std::vector<std::string> list;
    ASSERT_TRUE(hub->GetFilters(docs, ZY_NODIRS_BACKUP_FILTERS, 0, list).IsSuccess());
    EXPECT_EQ(list, (std::vector<std::string>{"*.tmp"}));
    ASSERT_TRUE(hub->GetFilters(docs, ZY_YESDIRS_BACKUP_FILTERS, 0, list).IsSuccess());
    EXPECT_EQ(list, (std::vector<std::string>{"keep.tmp"}));
    for (int type : {ZY_YESFILES_BACKUP_FILTERS, ZY_NOFILES_BACKUP_FILTERS}) {
        ASSERT_TRUE(hub->GetFilters(docs, type, 0, list).IsSuccess());
        EXPECT_TRUE(list.empty());
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(hub->GetFilters(docs, 7, 0, list), ZyWin32::ERROR_INVALID_PARAMETER));

    App_GetModifiedFileListReq request;
    request.subclientId = 17;
    std::string text, response;
    ASSERT_TRUE(request.SerializeToString(text).IsSuccess());
    ASSERT_TRUE(hub->GetModifiedFileList(text, response).IsSuccess());
    EXPECT_EQ(response, "<App_GetModifiedFileListResp><files val=\"/srv/new\"/></App_GetModifiedFileListResp>");
    request.subclientId = 18;
    ASSERT_TRUE(request.SerializeToString(text).IsSuccess());
    ASSERT_TRUE(hub->GetModifiedFileList(text, response).IsSuccess());
    EXPECT_EQ(response, "");  // nothing added
}

TEST_F(HubStore, FindsSubclientsByApplicationId) {
    ZYSubclientKey key;
    ASSERT_TRUE(hub->FindSubclient(2, 18, key).IsSuccess());
    EXPECT_EQ(key.subclient, "media");
    EXPECT_TRUE(FXErrorUtil::IsWin32(hub->FindSubclient(3, 18, key), ZyWin32::ERROR_NOT_FOUND));  // another hub cell
    EXPECT_TRUE(FXErrorUtil::IsWin32(hub->FindSubclient(2, 99, key), ZyWin32::ERROR_NOT_FOUND));

    // A broken file is skipped while another has the id, and named when none has.
    Write("broken", "id = 40\ncontent = /x\nbogus = 1\n");
    ASSERT_TRUE(hub->FindSubclient(2, 17, key).IsSuccess());
    CKoError e = hub->FindSubclient(2, 40, key);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.GetMessage().find("broken.subclient] line 3: unknown key \"bogus\""), std::string::npos);

    Write("twin", "id = 17\ncontent = /y\n");
    e = hub->FindSubclient(2, 17, key);
    EXPECT_NE(e.GetMessage().find("Two subclients have application id 17"), std::string::npos) << e.GetMessage();
}

TEST_F(HubStore, ApplicationIdsReachConfigurableSubclients) {
    ZYHubServe::SetCurrent(hub);
    ApplicationId id("2:17");
    ASSERT_TRUE(id.getApplicationId().IsSuccess());
    EXPECT_EQ(id.getHubCellId(), 2u);
    EXPECT_EQ(id.getAppId(), 17u);
    std::shared_ptr<Subclient> subclient;
    ASSERT_TRUE(id.getSubclient(subclient).IsSuccess());
    ASSERT_TRUE(subclient->isConfigurable());
    uint32_t scId = 0;
    int streams = 0;
    int64_t last = 0;
    std::string name;
    std::vector<std::string> files;
    EXPECT_TRUE(subclient->getSubclientId(scId).IsSuccess());
    EXPECT_TRUE(subclient->getSubclientName(name).IsSuccess());
    EXPECT_TRUE(subclient->getNumberOfStreams(streams).IsSuccess());
    EXPECT_TRUE(subclient->getLastBackupStartTime(last).IsSuccess());
    EXPECT_TRUE(subclient->getRawFiles(files).IsSuccess());
    EXPECT_EQ(scId, 17u);
    EXPECT_EQ(name, "docs");
    EXPECT_EQ(streams, 3);
    EXPECT_EQ(last, 1717000000);
    EXPECT_EQ(files, (std::vector<std::string>{dir.Path() + "/data"}));
    ZYHubServe::SetCurrent(nullptr);

    for (const char* bad : {"2:x", ":5", "2:99999999999", "2:"}) EXPECT_TRUE(ApplicationId(bad).getApplicationId().IsError()) << bad;
    Subclient plain("c", "bs", "sc", "/none");
    EXPECT_FALSE(plain.isConfigurable());
    EXPECT_TRUE(FXErrorUtil::IsWin32(plain.getNumberOfStreams(streams), ZyWin32::ERROR_NOT_SUPPORTED));
}

TEST_F(HubStore, UnreachableIsNotTheSameAsWrong) {
    auto missing = ZYFileHubServe::ForFolder(dir.Path() + "/gone");
    ZYSubclientDefinition def;
    EXPECT_TRUE(ZYHubServe::IsUnreachable(missing->GetSubclient(docs, def)));
    EXPECT_TRUE(ZYHubServe::IsUnreachable(ZYFileHubServe::ForFolder("")->GetSubclient(docs, def)));
    settings.Set("Agent", "HubServeOffline", "1");
    EXPECT_TRUE(ZYHubServe::IsUnreachable(hub->GetSubclient(docs, def)));
    settings.Set("Agent", "HubServeOffline", "0");
    ASSERT_TRUE(hub->GetSubclient(docs, def).IsSuccess());

    // A missing or wrong subclient file is an error of its own, naming the file.
    CKoError e = hub->GetSubclient({"c", "bs", "nope"}, def);
    EXPECT_FALSE(ZYHubServe::IsUnreachable(e));
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND));
    EXPECT_NE(e.GetMessage().find("nope.subclient] not found"), std::string::npos);
    EXPECT_TRUE(FXErrorUtil::IsWin32(hub->GetSubclient({"c", "..", "docs"}, def), ZyWin32::ERROR_INVALID_DATA));

    auto one = ZYFileHubServe::ForFile(dir.Path() + "/c/bs/docs.subclient");
    ZYSubclientKey key;
    ASSERT_TRUE(one->FindSubclient(2, 17, key).IsSuccess());
    ASSERT_TRUE(one->GetSubclient(key, def).IsSuccess());
    EXPECT_EQ(def.name, "docs");
    auto absent = ZYFileHubServe::ForFile(dir.Path() + "/absent.subclient");
    e = absent->GetSubclient(key, def);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ZYHubServe::IsUnreachable(e));
}

TEST(DaxMessages, ContentListsRoundTripAnyBytesAndRejectStrangers) {
    Dax::SubclientContentList list;
    list.content = {"/srv/data", std::string("/odd\n\x01\xff%name", 12)};
    list.filters = {"*.tmp", "/a/<b>&\"c\""};
    list.exceptions = {"/srv/data/keep"};
    std::string text;
    ASSERT_TRUE(list.SerializeToString(text).IsSuccess());
    Dax::SubclientContentList back;
    ASSERT_TRUE(back.ParseFromString(text).IsSuccess());
    EXPECT_EQ(back, list);

    const char* bad[] = {
        "<Message id=\"21\" type=\"Dax::SubclientContentList\"/>",
        "<Message id=\"22\" type=\"Other\"/>",
        "<Message id=\"22\" type=\"Dax::SubclientContentList\"><colour val=\"red\"/></Message>",
        "<Message id=\"22\" type=\"Dax::SubclientContentList\"><content/></Message>",
        "<Message id=\"22\" type=\"Dax::SubclientContentList\"><content val=\"%G1\"/></Message>",
        "<Other/>",
        "not xml",
    };
    for (const char* b : bad) {
        Dax::SubclientContentList kept = list;
        EXPECT_TRUE(kept.ParseFromString(b).IsError()) << b;
        EXPECT_EQ(kept, list);
    }
}

}  // namespace
