#include <gtest/gtest.h>

#include <cstdio>

#include "FaultEnv.h"
#include "core/Path.h"
#include "core/TimeStamp.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;
using Flags = BDirChangeItemFlags;

// Two blocks of /a (the second deletes "gone" and adds "f2"), a folder deleted with what is
// below it, and a folder without files.
const char* const kPrevious =
    "/a/\n\tf1\n\tgone\n"
    "/a/b/\n\tg\n"
    "/c/\n"
    "/a/\n\tf2\n\tgone|<D>1\n"
    "/del/\n\tx\n"
    "/del/sub/\n\ty\n"
    "/del/|<D>1\n";

FlatFileIndexFileItemMap Files(std::initializer_list<std::string> names) {
    FlatFileIndexFileItemMap files;
    for (const std::string& name : names) files.emplace(name, CFlatFileIndexFileItem(ZY_HERE, "test"));
    return files;
}

std::set<std::string> Names(const FlatFileItemMapPtr& items) {
    std::set<std::string> names;
    for (const auto& entry : *items) names.insert(entry.first);
    return names;
}

class FlatFileIndexTest : public ::testing::Test {
protected:
    void Configure(CPathCacheFlatFileIndex& index, bool includeFiles) {
        index.SetIncludeFiles(includeFiles);
        index.SetPreviousBackingFileParser(std::make_shared<CDirChangeParser>());
        index.SetCurrentBackingFileParser(std::make_shared<CDirChangeParser>());
        index.SetItemInfoFormatter(std::make_shared<CDirChangeFormatter>());
    }
    void Load(CPathCacheFlatFileIndex& index, bool includeFiles, const std::string& content = kPrevious) {
        WriteFile(m_dir / "prev", content);
        Configure(index, includeFiles);
        CKoError e = index.LoadFile(m_dir / "prev", nullptr);
        ASSERT_TRUE(e.IsSuccess()) << e.AsString();
        ASSERT_TRUE(index.IsPreviousDirChangeLoaded());
    }
    ScopedTempDir m_dir;
};

TEST_F(FlatFileIndexTest, PreviousJobQuestionsWithAndWithoutIncludeFiles) {
    struct Case {
        const char* path;
        Flags::PREVIOUS_JOB_FLAGS which;
        bool withFiles, foldersOnly;
    };
    const Case cases[] = {
        {"/a/f1", Flags::PD_FILE, true, true},
        {"/a/f2", Flags::PD_FILE, true, true},        // second block
        {"/a/gone", Flags::PD_FILE, false, true},     // deleted by the second block
        {"/a/zz", Flags::PD_FILE, false, true},
        {"/a/b/g", Flags::PD_FILE, true, true},
        {"/a", Flags::PREVIOUSDIRCHANGE, true, true},  // a folder answers for itself
        {"/a/", Flags::PREVIOUSDIRCHANGE, true, true},
        {"/c", Flags::PREVIOUSDIRCHANGE, true, true},
        {"/c/x", Flags::PD_FILE, false, true},
        {"/del/x", Flags::PD_FILE, false, false},     // the folder line marked deleted
        {"/del/sub", Flags::PREVIOUSDIRCHANGE, false, false},
        {"/del/sub/y", Flags::PD_FILE, false, false},
        {"/nope/x", Flags::PD_FILE, false, false},
        {"name", Flags::PD_FILE, false, true},  // no folder to ask: known when files are not tracked
    };
    for (bool includeFiles : {true, false}) {
        CPathCacheFlatFileIndex index;
        Load(index, includeFiles);
        for (const Case& c : cases) {
            Flags flags;
            EXPECT_EQ(index.IsItemInPreviousJob(c.path, flags, c.which), includeFiles ? c.withFiles : c.foldersOnly)
                << c.path << " includeFiles=" << includeFiles;
        }
    }
    CPathCacheFlatFileIndex index;
    Load(index, true);
    FlatFileItemMapPtr items;
    ASSERT_TRUE(index.GetPreviousItems("/a", items).IsSuccess());
    EXPECT_EQ(Names(items), (std::set<std::string>{"f1", "f2"}));
    CPathCacheScanDataPtr data;
    EXPECT_TRUE(index.IsItemInPreviousJob("/a/f1", Flags::PD_FILE, data));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->GetOffsetCount(), 2u);  // two blocks of /a
    EXPECT_TRUE(data->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE));
    const SDirChangeLoadReport report = index.GetLoadReport(DIRCHANGE_SOURCE_PREVIOUS);
    EXPECT_FALSE(report.HasSkipped()) << report.Summary();
}

TEST_F(FlatFileIndexTest, CurrentJobQuestionsAndItsItemInformation) {
    for (bool includeFiles : {true, false}) {
        SCOPED_TRACE(includeFiles ? "include files" : "folders only");
        CPathCacheFlatFileIndex index;
        Configure(index, includeFiles);
        ASSERT_TRUE(index.SetCurrentBackingFile(m_dir / (includeFiles ? "cur1" : "cur2"), nullptr).IsSuccess());
        FlatFileIndexFileItemMap files = Files({"n"});
        auto collected = std::make_shared<CDirChangeItemDataImpl>(0x1A);
        collected->SetIsAddedToCollect(true);
        files.emplace("f1", CFlatFileIndexFileItem(ZY_HERE, "new", collected));
        ASSERT_TRUE(index.AddCurrentFolder("/a", ZY_HERE, "scan", FVBasePtr(), files).IsSuccess());

        EXPECT_TRUE(index.IsItemInCurrentDirChange("/a", Flags::CURRENTDIRCHANGE));
        EXPECT_FALSE(index.IsItemInCurrentDirChange("/b", Flags::CURRENTDIRCHANGE));
        EXPECT_EQ(index.IsItemInCurrentDirChange("/a/f1", Flags::CD_FILE), includeFiles);
        EXPECT_FALSE(index.IsItemInCurrentDirChange("/a/other", Flags::CD_FILE));
        // Eligible: a file is, when files are not tracked; otherwise only a file item of the trie.
        EXPECT_EQ(index.IsItemEligibleForCurrentCollect("/a/f1", Flags::CD_FILE), !includeFiles);
        ASSERT_TRUE(index.AddCurrentItem("/a/f1", Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::CD_FILE), "", nullptr)
                        .IsSuccess());
        EXPECT_TRUE(index.IsItemEligibleForCurrentCollect("/a/f1", Flags::CD_FILE));
        // Collect questions: the folder's collect bit, then (detailed) the file's "|<IS>1".
        EXPECT_FALSE(index.IsItemInCurrentCollect("/a", Flags::CURRENTCOLLECT));
        ASSERT_TRUE(index.AddCurrentItem("/a", Flags(Flags::CURRENTCOLLECT), "", nullptr).IsSuccess());
        EXPECT_TRUE(index.IsItemInCurrentCollect("/a", Flags::CURRENTCOLLECT));
        EXPECT_EQ(index.IsItemInCurrentCollect("/a/n", Flags::CC_FILE), includeFiles);
        index.EnableDetailedCollectQuery(true);
        EXPECT_TRUE(index.IsItemInCurrentCollect("/a/f1", Flags::CC_FILE));
        EXPECT_FALSE(index.IsItemInCurrentCollect("/a/n", Flags::CC_FILE));

        FVBasePtr info;
        ASSERT_TRUE(index.GetCurrentDirChangeInfo("/a/f1", Flags::CD_FILE, info));
        auto* data = dynamic_cast<CDirChangeItemData*>(info.get());
        ASSERT_TRUE(data);
        EXPECT_EQ(data->GetFileId(), 0x1Au);
        EXPECT_FALSE(index.GetCurrentDirChangeInfo("/a/none", Flags::CD_FILE, info));
        EXPECT_TRUE(index.IsWritten("/a", Flags::DIRCHANGE_WRITTEN));
        EXPECT_FALSE(index.IsWritten("/a", Flags::COLLECT_WRITTEN));
        ASSERT_TRUE(index.SetWritten("/a", Flags::COLLECT_WRITTEN).IsSuccess());
        EXPECT_TRUE(index.IsWritten("/a", Flags::COLLECT_WRITTEN));
    }
}

TEST_F(FlatFileIndexTest, AncestorsAreWrittenOnceAndAnotherFolderStartsANewBlock) {
    CPathCacheFlatFileIndex index;
    Configure(index, true);
    index.SetLogDecisions(true);
    testsupport::ScopedLogCapture log(2);
    const std::string current = m_dir / "cur";
    ASSERT_TRUE(index.SetCurrentBackingFile(current, nullptr).IsSuccess());
    ASSERT_TRUE(index.AddSurface("/data/root").IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/a/b", ZY_HERE, "scan", Files({"x"})).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/a/b/", ZY_HERE, "scan", Files({"y"})).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/c", ZY_HERE, "scan", Files({"z"})).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/a/b", ZY_HERE, "scan", Files({"w"})).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/a/b", ZY_HERE, "scan", Files({})).IsSuccess());
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    EXPECT_EQ(ReadFile(current),
              "/data/\n/data/root/\n/data/root/a/\n/data/root/a/b/\n\tx\n\ty\n/data/root/c/\n\tz\n/data/root/a/b/\n\tw\n");
    EXPECT_TRUE(log.Log().Contains("AncestorFolderIgnored"));
    EXPECT_TRUE(log.Log().Contains("AncestorAlreadyAdded, Folder=[/data/root]"));
    EXPECT_TRUE(log.Log().Contains("FolderAlreadyAdded, Folder=[/data/root/a/b]"));
    FlatFileItemMapPtr items;
    ASSERT_TRUE(index.GetCurrentItems("/data/root/a/b", items).IsSuccess());
    EXPECT_EQ(Names(items), (std::set<std::string>{"w", "x", "y"}));
    // A path step without files holds no block.
    EPathCacheResult result;
    CPathCacheScanDataPtr data;
    ASSERT_TRUE(index.GetFolderData("/data/root/a", result, data).IsSuccess());
    ASSERT_EQ(result, EPathCacheResult::FOUND_EXACT);
    EXPECT_TRUE(data->IsOffsetListEmpty());
    EXPECT_TRUE(data->GetFlags().IsSet(Flags::CURRENTDIRCHANGE));

    // Compacted: one block per folder, in name order, and the index goes on with the new file.
    ASSERT_TRUE(index.UpdateCurrentDirChangeFile().IsSuccess());
    const std::string compacted = "/data/\n/data/root/\n/data/root/a/\n/data/root/a/b/\n\tw\n\tx\n\ty\n/data/root/c/\n\tz\n";
    EXPECT_EQ(ReadFile(current), compacted);
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "Temp.zyf"));
    ASSERT_TRUE(index.AddCurrentFolder("/data/root/c", ZY_HERE, "scan", Files({"z2"})).IsSuccess());
    ASSERT_TRUE(index.GetCurrentItems("/data/root/c", items).IsSuccess());
    EXPECT_EQ(Names(items), (std::set<std::string>{"z", "z2"}));
    ASSERT_TRUE(index.WriteCurrentDirChangeFile(m_dir / "copy").IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "copy"), "/data/\n/data/root/\n/data/root/a/\n/data/root/a/b/\n\tw\n\tx\n\ty\n/data/root/c/\n\tz\n\tz2\n");
}

TEST_F(FlatFileIndexTest, DeletedCurrentFolderStaysDeletedWhenTheFileIsReadAgain) {
    const std::string current = m_dir / "cur";
    {
        CPathCacheFlatFileIndex index;
        Configure(index, true);
        ASSERT_TRUE(index.SetCurrentBackingFile(current, nullptr).IsSuccess());
        ASSERT_TRUE(index.AddCurrentFolder("/a", ZY_HERE, "scan", Files({"f"})).IsSuccess());
        ASSERT_TRUE(index.AddCurrentFolder("/a/b", ZY_HERE, "scan", Files({"g"})).IsSuccess());
        ASSERT_TRUE(index.AddCurrentFolder("/k", ZY_HERE, "scan", Files({"h"})).IsSuccess());
        ASSERT_TRUE(index.DeleteCurrentFolder("/a", ZY_HERE, "gone").IsSuccess());
        ASSERT_TRUE(index.DeleteCurrentFolder("/unknown", ZY_HERE, "gone").IsSuccess());
        EXPECT_FALSE(index.IsItemInCurrentDirChange("/a", Flags::CURRENTDIRCHANGE));
        EXPECT_FALSE(index.IsItemInCurrentDirChange("/a/b/g", Flags::CD_FILE));
        EXPECT_TRUE(index.IsItemInCurrentDirChange("/k/h", Flags::CD_FILE));
        ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    }
    EXPECT_EQ(ReadFile(current), "/a/\n\tf\n/a/b/\n\tg\n/k/\n\th\n/a/|<D>1\n");
    // A restarted job reads what it wrote; a torn last line is cut off before it goes on.
    FILE* f = std::fopen(current.c_str(), "a");
    std::fputs("/t/\n\tto", f);
    std::fclose(f);
    CPathCacheFlatFileIndex index;
    Configure(index, true);
    ASSERT_TRUE(index.SetCurrentBackingFile(current, nullptr).IsSuccess());
    EXPECT_TRUE(index.IsCurrentBackingFileLoaded());
    EXPECT_EQ(index.GetLoadReport(DIRCHANGE_SOURCE_CURRENT).skippedLines, 1u);
    EXPECT_FALSE(index.IsItemInCurrentDirChange("/a/f", Flags::CD_FILE));
    EXPECT_FALSE(index.IsItemInCurrentDirChange("/a/b", Flags::CURRENTDIRCHANGE));
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/k/h", Flags::CD_FILE));
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/t", Flags::CURRENTDIRCHANGE));
    // The folder comes back when it is added again.
    ASSERT_TRUE(index.AddCurrentFolder("/t", ZY_HERE, "scan", Files({"t2"})).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/a", ZY_HERE, "scan", Files({"n"})).IsSuccess());
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/a/n", Flags::CD_FILE));
    EXPECT_FALSE(index.IsItemInCurrentDirChange("/a/f", Flags::CD_FILE));
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    EXPECT_EQ(ReadFile(current), "/a/\n\tf\n/a/b/\n\tg\n/k/\n\th\n/a/|<D>1\n/t/\n\tt2\n/a/\n\tn\n");
}

TEST_F(FlatFileIndexTest, CopyBlockCarriesAPreviousSubtreeUnscanned) {
    CPathCacheFlatFileIndex index;
    Load(index, true, "/p/\n\tx\n/p/q/r/\n\ty\n\tz\n/other/\n\tw\n");
    ASSERT_TRUE(index.SetCurrentBackingFile(m_dir / "cur", nullptr).IsSuccess());
    ASSERT_TRUE(index.CopyBlockFromPrevDCToCurDC("/unknown").IsSuccess());
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "cur"), "");
    // "/p/q" has no line of its own; what is below it is still carried.
    ASSERT_TRUE(index.CopyBlockFromPrevDCToCurDC("/p").IsSuccess());
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/p/x", Flags::CD_FILE));
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/p/q/r/z", Flags::CD_FILE));
    EXPECT_FALSE(index.IsItemInCurrentDirChange("/other/w", Flags::CD_FILE));
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "cur"), "/p/\n\tx\n/p/q/\n/p/q/r/\n\ty\n\tz\n");
}

TEST_F(FlatFileIndexTest, CacheEvictsTheLeastRecentFolderByCountAndByFiles) {
    std::string content;
    for (int f = 0; f < 5; ++f) content += "/f" + std::to_string(f) + "/\n\ta\n\tb\n\tc\n";
    dirchangetest::CFaultEnv env;
    FXScopedEnv scope(&env);
    CPathCacheFlatFileIndex index;
    index.SetClosePreviousBackingFileAfterEachUse(true);  // every read of a block opens the file
    Load(index, true, content);
    index.SetDirchangeCacheMaxFilesLimit(5);
    auto ask = [&](const char* folder) {
        const int before = env.ReadOpens();
        EXPECT_TRUE(index.IsItemInPreviousJob(std::string(folder) + "/a", Flags::PD_FILE)) << folder;
        return env.ReadOpens() - before;  // 1: read from the file, 0: from the cache
    };
    EXPECT_EQ(ask("/f0"), 1);
    EXPECT_EQ(ask("/f1"), 1);
    EXPECT_EQ(ask("/f0"), 0);  // two folders and 6 files: over the limit, but two are kept
    EXPECT_EQ(ask("/f2"), 1);  // three folders now
    EXPECT_EQ(ask("/f3"), 1);  // evicts /f1, the least recently used
    EXPECT_EQ(ask("/f0"), 0);
    EXPECT_EQ(ask("/f1"), 1);  // evicts /f2
    EXPECT_EQ(ask("/f3"), 0);
    EXPECT_EQ(ask("/f2"), 1);
    // By count: capacity 1 holds two folders after an insertion.
    index.SetDirchangeCacheMaxFilesLimit(1000);
    index.SetDirchangeCacheCapacity(1);
    index.ClearCache();
    EXPECT_EQ(ask("/f0"), 1);
    EXPECT_EQ(ask("/f1"), 1);
    EXPECT_EQ(ask("/f0"), 0);
    EXPECT_EQ(ask("/f2"), 1);  // evicts /f1
    EXPECT_EQ(ask("/f1"), 1);
}

TEST_F(FlatFileIndexTest, CacheLimitsComeFromTheAgentSettings) {
    {
        testsupport::ScopedSettings settings;
        settings.Set("FileSystemAgent", "nDirChangeCacheCapacity", "7");
        settings.Set("FileSystemAgent", "nDirChangeCacheMaxFiles", "9");
        CPathCacheFlatFileIndex index;
        EXPECT_EQ(index.GetDirchangeCacheCapacity(), 7u);
        EXPECT_EQ(index.GetDirchangeCacheMaxFilesLimit(), 9u);
        settings.Set("FileSystemAgent", "nDirChangeCacheCapacity", "0");
        settings.Set("FileSystemAgent", "nDirChangeCacheMaxFiles", "many");
        CPathCacheFlatFileIndex defaults;
        EXPECT_EQ(defaults.GetDirchangeCacheCapacity(), 2000u);
        EXPECT_EQ(defaults.GetDirchangeCacheMaxFilesLimit(), 1000000u);
    }
}

TEST_F(FlatFileIndexTest, AReplacedPreviousFileIsNotReadThroughOldOffsets) {
    CPathCacheFlatFileIndex index;
    index.SetClosePreviousBackingFileAfterEachUse(true);
    Load(index, true, "/a/\n\tx\n/b/\n\ty\n");
    EXPECT_TRUE(index.IsItemInPreviousJob("/b/y", Flags::PD_FILE));
    // Another file under the same name: /b's offset would now point at /a's lines.
    WriteFile(m_dir / "new", "/b/\n\ty\n/a/\n\tx\n");
    ASSERT_EQ(std::rename((m_dir / "new").c_str(), (m_dir / "prev").c_str()), 0);
    testsupport::ScopedLogCapture log(-1);
    EXPECT_FALSE(index.IsItemInPreviousJob("/a/x", Flags::PD_FILE));
    EXPECT_TRUE(log.Log().Contains("changed since it was loaded"));
}

TEST_F(FlatFileIndexTest, AnotherBackingFileReplacesWhatTheFirstSaid) {
    CPathCacheFlatFileIndex index;
    Load(index, true, "/a/\n\tx\n/b/\n\ty\n");
    WriteFile(m_dir / "prev2", "/b/\n\tz\n");
    ASSERT_TRUE(index.SetPreviousBackingFile(m_dir / "prev2", nullptr).IsSuccess());
    EXPECT_FALSE(index.IsItemInPreviousJob("/a/x", Flags::PD_FILE));
    EXPECT_FALSE(index.IsItemInPreviousJob("/a", Flags::PREVIOUSDIRCHANGE));
    EXPECT_FALSE(index.IsItemInPreviousJob("/b/y", Flags::PD_FILE));
    EXPECT_TRUE(index.IsItemInPreviousJob("/b/z", Flags::PD_FILE));

    ASSERT_TRUE(index.SetCurrentBackingFile(m_dir / "cur1", nullptr).IsSuccess());
    ASSERT_TRUE(index.AddCurrentFolder("/c", ZY_HERE, "scan", Files({"long-name-of-a-file"})).IsSuccess());
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    WriteFile(m_dir / "cur2", "/d/\n\tq\n");
    ASSERT_TRUE(index.SetCurrentBackingFile(m_dir / "cur2", nullptr).IsSuccess());
    // /c's block was in the first file: nothing of it is read from the second.
    EXPECT_FALSE(index.IsItemInCurrentDirChange("/c/long-name-of-a-file", Flags::CD_FILE));
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/d/q", Flags::CD_FILE));
}

TEST_F(FlatFileIndexTest, DecisionPointFieldsAndTheDiagnosticDump) {
    class Clock : public FXEnvWrapper {
    public:
        Clock() : FXEnvWrapper(FXEnv::Default()) {}
        int64_t NowMicros() override { return 1700000000123456; }
    } clock;
    FXScopedEnv scope(&clock);
    CPathCacheFlatFileIndex index;
    Load(index, true, "/a/\n\told\n");
    index.SetAddDecisionPointInformation(true);
    ASSERT_TRUE(index.SetCurrentBackingFile(m_dir / "cur", nullptr).IsSuccess());
    FlatFileIndexFileItemMap files;
    files.emplace("n", CFlatFileIndexFileItem(FXCodeLocation("f.cpp", "void Decide()", 42), "New file"));
    ASSERT_TRUE(index.AddCurrentFolder("/a", ZY_HERE, "scan", files).IsSuccess());
    ASSERT_TRUE(index.SyncCurrentBackingFile().IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "cur"),
              "/a/\n\tn|<DPtim>" + CTimeStamp::FromUnixTime(1700000000, 123456).AsString() +
                  "|<DPloc>void Decide()(42)|<DPrsn>New file\n");
    // Decision-point fields are ignored when read.
    EXPECT_TRUE(index.IsItemInCurrentDirChange("/a/n", Flags::CD_FILE));

    testsupport::ScopedLogCapture log(5);
    index.DumpDiagnosticData();
    EXPECT_TRUE(log.Log().Contains("FlatFileIndex: |==|== a    PREVIOUSDIRCHANGE|CURRENTDIRCHANGE|DIRCHANGE_WRITTEN (P: 4) (C: 4)"));
}

}  // namespace
