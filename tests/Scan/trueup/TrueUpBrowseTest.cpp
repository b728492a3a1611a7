// Building the TrueUp DirChange from browse replies: what is taken, what is left out, and every
// reply that must stop the build.
#include <gtest/gtest.h>

#include "agent/CompareContentContainers.h"
#include "agent/ContentContainer.h"
#include "agent/ScriptedIdxBrowseClient.h"
#include "core/Path.h"
#include "scan/trueup/TrueUpBrowseHandler.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"
#include "scan/trueup/TrueUpIndexContentCallback.h"
#include "support/TestSupport.h"

namespace {

databrowse::BrowseItem Item(const std::string& path, bool folder = false) {
    databrowse::BrowseItem item;
    item.path = path;
    item.folder = folder;
    item.modificationTime = 100;
    item.changeTime = 200;
    item.size = folder ? 0 : 7;
    item.dataGuid = "0123abcd-4567-89ef-0123-456789abcdef";
    return item;
}

databrowse::BrowseReply Page(std::vector<databrowse::BrowseItem> items,
                             databrowse::BrowseStatus status = databrowse::BROWSE_STATUS_OK) {
    databrowse::BrowseReply reply;
    reply.status = status;
    reply.items = std::move(items);
    return reply;
}

class TrueUpBrowse : public ::testing::Test {
protected:
    std::unique_ptr<CTrueUpBrowseHandler> Handler() {
        auto handler = std::make_unique<CTrueUpBrowseHandler>(1, 2, 33, 4, 10, 20, "client", "sub", 0,
                                                              EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER);
        handler->SetTrueUpDirChangeContainerName(Name());
        client = std::make_shared<CScriptedIdxBrowseClient>();
        handler->SetIndexBrowseClient(client);
        return handler;
    }
    std::string Name() const { return dir / "TrueUp.db"; }
    // The files and folders of the finished container, "/" after folders; empty when unfinished.
    std::vector<std::string> Content() {
        CX::CContentContainer c;
        c.SetName(Name());
        std::vector<std::string> out;
        if (!c.Exists() || c.OpenExisting().IsError()) return out;
        bool complete = false;
        if (c.IsComplete(complete).IsError() || !complete) return {"<unfinished>"};
        EXPECT_TRUE(c.StartFolders().IsSuccess());
        CX::SContentContainerFolder folder;
        bool found = false;
        while (c.NextFolder(folder, found).IsSuccess() && found) {
            out.push_back(folder.path + "/");
            EXPECT_TRUE(c.StartFiles(folder.id).IsSuccess());
            CX::SContentContainerFile file;
            bool more = false;
            while (c.NextFile(file, more).IsSuccess() && more) out.push_back(file.name);
        }
        return out;
    }

    testsupport::ScopedTempDir dir;
    testsupport::ScopedSettings settings;
    std::shared_ptr<CScriptedIdxBrowseClient> client;
};

TEST_F(TrueUpBrowse, TakesItemsAndLeavesOutWhatTheIndexDoesNotHold) {
    auto handler = Handler();
    auto adhoc = Item("/d/adhoc");
    adhoc.adhoc = true;
    auto deleted = Item("/d/deleted");
    deleted.deleted = true;
    testsupport::ScopedLogCapture log(5);
    client->AddPage(Page({Item("/", true), Item("/d", true), Item("/tmp", true)}));
    client->AddPage(Page({}));  // an empty page ends nothing
    client->AddPage(Page({adhoc, Item("/d/b"), deleted, Item("/d/f")}));
    client->AddPage(Page({Item("/tmp/ZYrearRescue.iso"), Item("/tmp/bootcd.tar.gz"), Item("/tmp/keep")}));
    ASSERT_TRUE(handler->GenerateTrueUpDirChange(nullptr).IsSuccess());
    EXPECT_EQ(Content(), (std::vector<std::string>{"//", "/d/", "b", "f", "/tmp/", "keep"}));
    EXPECT_TRUE(log.Log().Contains("Browse returned empty result set"));
    EXPECT_TRUE(log.Log().Contains("Skipping Ad-Hoc item, FilePath=[/d/adhoc]"));
    EXPECT_TRUE(log.Log().Contains("Item is set for deletion in the index, not adding to DirChange, FilePath=[/d/deleted]"));
    EXPECT_TRUE(log.Log().Contains("Processed 6 items from browse"));
    EXPECT_EQ(client->GetPageSize(), 2000);
    const databrowse::BrowseRequest& request = client->GetRequest();
    EXPECT_EQ(request.path, "\\**\\*");
    EXPECT_EQ(request.filter, "*");
    EXPECT_EQ(request.operationName, "TrueUp");
    EXPECT_EQ(request.fromTime, 10u);
    EXPECT_EQ(request.toTime, 20u);
    EXPECT_FALSE(request.includeRunningJobs);

    // The index's attributes are the item's TrueUp data.
    CX::CContentContainer c;
    c.SetName(Name());
    ASSERT_TRUE(c.OpenExisting().IsSuccess());
    int64_t id = 0;
    ASSERT_TRUE(c.QueryFolderId("/d", id).IsSuccess());
    ASSERT_TRUE(c.StartFiles(id).IsSuccess());
    CX::SContentContainerFile file;
    bool found = false;
    ASSERT_TRUE(c.NextFile(file, found).IsSuccess());
    CTrueUpDirChangeItemDataImplPtr data;
    ASSERT_TRUE(CTrueUpDirChangeItemDataImpl::FromXml(data, file.metadata).IsSuccess());
    EXPECT_EQ(data->GetLastWriteTime().AsUnixTime(), 100);
    EXPECT_EQ(data->GetChangeTime().AsUnixTime(), 200);
    EXPECT_EQ(data->GetSize(), 7u);
    EXPECT_EQ(TrueUpGuidText(data->GetDataGuid()), "0123abcd-4567-89ef-0123-456789abcdef");
    EXPECT_FALSE(data->GetIsSubclientFile());
}

TEST_F(TrueUpBrowse, RepliesThatCannotBeTrustedStopTheBuild) {
    struct Case {
        const char* what;
        std::vector<databrowse::BrowseReply> pages;
        const char* message;
    };
    auto abortNow = std::make_shared<CAbortOperationCheck>();
    const Case cases[] = {
        {"partial", {Page({Item("/a")}), Page({Item("/b")}, databrowse::BROWSE_STATUS_PARTIAL)},
         "Browse returned partial result set; Fail TrueUp DirChange processing"},
        {"error", {Page({}, databrowse::BROWSE_STATUS_ERROR)}, "Browse response returned error"},
        {"named twice in one page", {Page({Item("/a"), Item("/a")})}, "names an item twice or out of order"},
        {"named twice across pages", {Page({Item("/a"), Item("/b")}), Page({Item("/b")})},
         "names an item twice or out of order"},
        {"out of order", {Page({Item("/d/x"), Item("/c")})}, "names an item twice or out of order"},
        {"twice, once deleted", {Page({Item("/a"), [] { auto i = Item("/a"); i.deleted = true; return i; }()})},
         "names an item twice or out of order"},
        {"relative path", {Page({Item("a")})}, "not an absolute path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A complete record of an earlier run must go too: nothing is left that passes for complete.
        testsupport::WriteFile(Name(), "stale");
        auto handler = Handler();
        for (const auto& page : c.pages) client->AddPage(page);
        CKoError e = handler->GenerateTrueUpDirChange(nullptr);
        ASSERT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE));
        EXPECT_EQ(e.GetMessage(), "IdxBrowseClient::Browse failed, browseRetCode=[-2]");
        EXPECT_NE(e.AsString().find(c.message), std::string::npos) << e.AsString();
        EXPECT_FALSE(FXPath::DoesPathExist(Name()));
    }
}

TEST_F(TrueUpBrowse, AbortsAndBrowseFailures) {
    struct Aborted : CAbortOperationCheck {
        bool IsAborted() override { return true; }
    };
    auto handler = Handler();
    client->AddPage(Page({Item("/a")}));
    testsupport::ScopedLogCapture log(0);
    CKoError e = handler->GenerateTrueUpDirChange(std::make_shared<Aborted>());
    EXPECT_NE(e.AsString().find("TrueUp job interrupted"), std::string::npos) << e.AsString();
    EXPECT_TRUE(log.Log().Contains("TrueUp job interrupted"));

    handler = Handler();
    client->SetInitializeResult(-7);
    e = handler->GenerateTrueUpDirChange(nullptr);
    EXPECT_EQ(e.GetMessage(), "IdxBrowseClient::Initialize failed, browseRetCode=[-7]");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE));

    handler = Handler();
    client->AddPage(Page({Item("/a")}));
    client->SetBrowseResult(-5);
    e = handler->GenerateTrueUpDirChange(nullptr);
    EXPECT_EQ(e.GetMessage(), "IdxBrowseClient::Browse failed, browseRetCode=[-5]");
    EXPECT_EQ(Content(), std::vector<std::string>());  // removed, not left unfinished

    // No name configured.
    CTrueUpBrowseHandler bare(1, 2, 33, 4, 0, 0, "c", "s", 0, EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER);
    e = bare.GenerateTrueUpDirChange(nullptr);
    EXPECT_EQ(e.GetMessage(), "TrueUp DirChange container name not configured");
}

TEST_F(TrueUpBrowse, RequestOptions) {
    settings.Set("FileSystemAgent", "bAfileValidation", "1");
    auto handler = Handler();
    handler->SetSnapTape(true);
    testsupport::ScopedLogCapture log(1);
    ASSERT_TRUE(handler->GenerateTrueUpDirChange(nullptr).IsSuccess());
    EXPECT_TRUE(client->GetRequest().includeRunningJobs);
    EXPECT_TRUE(log.Log().Contains(
        "Regkey to skip afile validation is set. Setting IncludeRunningJobs to true in the index query"));
    EXPECT_TRUE(log.Log().Contains("Couldn't convert copy-id to copy precedence"));
    EXPECT_EQ(Content(), std::vector<std::string>());  // an empty result set is an empty record

    std::string a, b, c;
    ASSERT_TRUE(handler->GetComponentGUID("SystemState", a).IsSuccess());
    ASSERT_TRUE(handler->GetComponentGUID("SystemState", b).IsSuccess());
    ASSERT_TRUE(handler->GetComponentGUID("Other", c).IsSuccess());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a.size(), 36u);
}

}  // namespace
