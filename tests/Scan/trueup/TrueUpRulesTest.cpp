// The comparison rules, driven through the container compare callback (metadata texts in, the
// differences out); the flat-file callback shares them. The XML form carries no added-to-collect
// mark, so that rule is tested with the flat DirChange files.
#include <gtest/gtest.h>

#include "TrueUpRecordingCallback.h"
#include "scan/trueup/TrueUpContentContainerCompareCallback.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"
#include "support/TestSupport.h"

namespace {

struct SData {
    long long lwt = 100, ctime = 200;
    unsigned long long size = 10;
    bool stub = false, acl = false, added = false, scf = false;
    int collect = 7;
};

std::string Xml(const SData& d) {
    auto data = std::make_shared<CTrueUpDirChangeItemDataImpl>(
        CTimeStamp::FromUnixTime(d.lwt), CTimeStamp::FromUnixTime(d.ctime), d.size, d.added, d.scf, d.collect,
        static_cast<eDirChangeItemBackupFrequency>(0), 0, std::string(), d.stub, d.acl);
    std::string xml;
    EXPECT_TRUE(CTrueUpDirChangeItemDataImpl::AsXml(data, xml, false).IsSuccess());
    return xml;
}

struct SRun {
    explicit SRun(CTrueUpCompareOptions options = CTrueUpCompareOptions(true, false, false, false, false))
        : differences(std::make_shared<CRecordingDifferences>()),
          callback(differences, nullptr, std::make_shared<CTrueUpCompareOptions>(options)) {}
    std::shared_ptr<CRecordingDifferences> differences;
    CTrueUpContentContainerCompareCallback callback;
};

TEST(TrueUpRules, FileInBoth) {
    struct Case {
        const char* what;
        SData previous, current;
        CTrueUpCompareOptions options;
        bool reported;
        bool aclOnly;
        const char* reason;
        uint32_t changes;
    };
    using D = CTrueUpDifferenceItem;
    const CTrueUpCompareOptions dp(true, false, false, false, false);
    auto with = [](SData d, auto change) {
        change(d);
        return d;
    };
    const Case cases[] = {
        {"equal", {}, {}, dp, false, false, "", 0},
        {"only the current size is 0", {}, with(SData(), [](SData& d) { d.size = 0; }), dp, false, false, "", 0},
        {"previous change time 0", with(SData(), [](SData& d) { d.ctime = 0; }), with(SData(), [](SData& d) { d.ctime = 5; }),
         dp, false, false, "", 0},
        {"grown modification time has no reason part", {}, with(SData(), [](SData& d) { d.lwt = 150; }), dp, true,
         false, "TrueUp()", D::CHANGE_MODIFIED_TIME},
        {"modification time went back", {}, with(SData(), [](SData& d) { d.lwt = 50; }), dp, true, false,
         "TrueUp([CurrentModifiedTime != PreviousModifiedTime] [50 < 100])", D::CHANGE_MODIFIED_TIME},
        {"size changed", {}, with(SData(), [](SData& d) { d.size = 11; }), dp, true, false,
         "TrueUp([CurrentSize != PreviousSize] [11 != 10])", D::CHANGE_SIZE},
        {"change time only, ACL only", {}, with(SData(), [](SData& d) { d.ctime = 300; d.acl = true; }), dp, true,
         true, "TrueUp([tsCurrentChangeTime != tsPreviousChangeTime] [300 != 200])", D::CHANGE_CHANGE_TIME},
        {"ACL only lost with a size change", {}, with(SData(), [](SData& d) { d.ctime = 300; d.acl = true; d.size = 1; }),
         dp, true, false,
         "TrueUp([CurrentSize != PreviousSize] [1 != 10], [tsCurrentChangeTime != tsPreviousChangeTime] [300 != 200])",
         D::CHANGE_SIZE | D::CHANGE_CHANGE_TIME},
        {"stub changed", {}, with(SData(), [](SData& d) { d.stub = true; }), dp, true, false,
         "TrueUp([bPrevStub != bCurStub] [0 != 1])", D::CHANGE_STUB},
        {"stubs skip all checks", {}, with(SData(), [](SData& d) { d.stub = true; d.size = 99; }),
         CTrueUpCompareOptions(true, false, false, false, true), false, false, "", 0},
        {"skipped checks", {}, with(SData(), [](SData& d) { d.size = 1; d.lwt = 1; d.ctime = 1; }),
         CTrueUpCompareOptions(true, true, true, true, false), false, false, "", 0},
        {"without decision points no reason", {}, with(SData(), [](SData& d) { d.size = 1; }), CTrueUpCompareOptions(),
         true, false, "", D::CHANGE_SIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::ScopedLogCapture log(6);
        SRun run(c.options);
        ASSERT_TRUE(run.callback.OnFileInBothIndexes("/d/f", "f", Xml(c.previous), Xml(c.current)).IsSuccess());
        ASSERT_EQ(run.differences->entries.size(), c.reported ? 1u : 0u);
        if (!c.reported) {
            EXPECT_TRUE(log.Log().Contains("TrueUp criteria not met for file [/d/f]") ||
                        log.Log().Contains("is currently a stub"));
            continue;
        }
        const auto& e = run.differences->entries[0];
        EXPECT_EQ(e.kind, 'M');
        EXPECT_EQ(e.item.GetReason(), c.reason);
        EXPECT_EQ(e.item.IsACLOnly(), c.aclOnly);
        EXPECT_EQ(e.item.GetChanges(), c.changes);
        EXPECT_EQ(e.item.GetSize(), c.current.size);
        EXPECT_EQ(e.item.GetCollectField(), 7);
        EXPECT_FALSE(e.item.IsDeleted());
        EXPECT_FALSE(e.item.IsFolder());
    }
}

TEST(TrueUpRules, OnlyInOneRecordAndLeftOutPaths) {
    SRun run;
    SData subclient;
    subclient.scf = true;
    bool recurse = true;
    ASSERT_TRUE(run.callback.OnFileInIndex2("/d/new", "new", Xml(SData())).IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInIndex2("/d/scf", "scf", Xml(subclient)).IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInIndex1("/d/gone", "gone", Xml(SData())).IsSuccess());
    ASSERT_TRUE(run.callback.OnFolderInIndex1("/d/old", "old", recurse).IsSuccess());
    EXPECT_TRUE(recurse);
    ASSERT_TRUE(run.callback.OnFolderInIndex2("/d/sub", "sub", Xml(SData())).IsSuccess());
    ASSERT_TRUE(run.callback.OnFolderInBothIndexes("/d", "d", "d", Xml(SData()), Xml(SData())).IsSuccess());
    // System state is never reported; .pst only when in both records.
    SData changed;
    changed.size = 1;
    ASSERT_TRUE(run.callback.OnFileInIndex2("[system state]/x", "x", Xml(SData())).IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInIndex1("\\[SYSTEM STATE]/y", "y", Xml(SData())).IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInBothIndexes("/m/mail.PST", "mail.PST", Xml(SData()), Xml(changed)).IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInIndex2("/m/new.pst", "new.pst", Xml(SData())).IsSuccess());
    // Unreadable metadata: the item is reported, never dropped.
    ASSERT_TRUE(run.callback.OnFileInBothIndexes("/d/bad", "bad", Xml(SData()), "<broken").IsSuccess());
    ASSERT_TRUE(run.callback.OnFileInIndex2("/d/bad2", "bad2", "").IsSuccess());

    EXPECT_EQ(run.differences->Lines(), (std::vector<std::string>{"N /d/new", "D /d/gone", "D /d/old/", "N /d/sub/",
                                                                  "N /m/new.pst", "M /d/bad", "N /d/bad2"}));
    const auto& deleted = run.differences->entries[1].item;
    EXPECT_EQ(deleted.GetReason(), "TrueUp(Delete)");
    EXPECT_TRUE(deleted.IsDeleted());
    EXPECT_EQ(deleted.GetSize(), 0u);
    EXPECT_EQ(deleted.GetCollectField(), 0);
    const auto& added2 = run.differences->entries[0].item;
    EXPECT_EQ(added2.GetReason(), "TrueUp(New)");
    EXPECT_EQ(added2.GetSize(), 10u);
    EXPECT_EQ(added2.GetCollectField(), 7);
}

TEST(TrueUpRules, ShortFolderFormsAreNotSupportedAndErrorsPassOn) {
    SRun run;
    EXPECT_TRUE(FXErrorUtil::IsWin32(run.callback.OnFolderInIndex1("/a", "a"), ZyWin32::ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(FXErrorUtil::IsWin32(run.callback.OnFolderInIndex2("/a", "a"), ZyWin32::ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(FXErrorUtil::IsWin32(run.callback.OnFolderInBothIndexes("/a", "a", "a"), ZyWin32::ERROR_NOT_SUPPORTED));
    run.differences->failAfter = 0;
    CKoError e = run.callback.OnFileInIndex1("/a/f", "f", "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_WRITE_PROTECT));
    EXPECT_NE(e.AsString().find("TrueUpContentContainerCompareCallback"), std::string::npos) << e.AsString();
}

}  // namespace
