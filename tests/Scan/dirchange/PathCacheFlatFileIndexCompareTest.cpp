// The comparison of flat-file index views and the buffer that appends single changes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Path.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/dirchange/PathCacheFlatFileIndexBuffer.h"
#include "scan/dirchange/PathCacheFlatFileIndexCompareCallback.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

// Records every call as a line; each kind can be switched to "not supported".
class CRecordingCompare : public CPathCacheFlatFileIndexCompareCallback {
public:
    bool folders = true, files1 = true, files2 = true, filesBoth = true, foldersBoth = true;
    bool recurseAnswer = false, recurseSupported = true;
    int abortAfter = -1;
    std::vector<std::string> lines;

    bool IsAborted() override { return abortAfter >= 0 && static_cast<int>(lines.size()) >= abortAfter; }
    CKoError OnInIndex1(const std::string& folder, const CacheNodePtr&) override { return Folder("F1 ", folder); }
    CKoError OnInIndex1RecurseIntoDeletedFolder(const std::string& folder, const CacheNodePtr&, bool& recurse) override {
        if (!recurseSupported) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
        lines.push_back("R? " + folder);
        recurse = recurseAnswer;
        return CKoError::Success();
    }
    CKoError OnInIndex2(const std::string& folder, const CacheNodePtr&) override { return Folder("F2 ", folder); }
    CKoError OnInBothIndexes(const std::string& folder, const CacheNodePtr&, const CacheNodePtr&) override {
        if (!foldersBoth) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
        return Folder("FB ", folder);
    }
    CKoError OnInIndex1(const std::string& path, const std::string&, const std::string&, const FVBasePtr&) override {
        return File(files1, "f1 ", path);
    }
    CKoError OnInIndex2(const std::string& path, const std::string&, const std::string&, const FVBasePtr&) override {
        return File(files2, "f2 ", path);
    }
    CKoError OnInBothIndexes(const std::string& path, const std::string&, const std::string&, const FVBasePtr&,
                             const FVBasePtr&) override {
        return File(filesBoth, "fb ", path);
    }

private:
    CKoError Folder(const char* kind, const std::string& folder) {
        if (!folders) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
        lines.push_back(kind + folder);
        return CKoError::Success();
    }
    CKoError File(bool supported, const char* kind, const std::string& path) {
        if (!supported) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
        if (path.find("fail") != std::string::npos)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_WRITE_PROTECT, "refused");
        lines.push_back(kind + path);
        return CKoError::Success();
    }
};

const char* const kPrevious = "/a/\n\tx\n\ty\n/a/old/\n\to\n/a/old/deep/\n\td\n/b/\n\tb1\n";
const char* const kCurrent = "/a/\n\ty\n\tz\n/a/new/\n\tn\n/b/\n\tb1\n";

class FlatFileIndexCompare : public ::testing::Test {
protected:
    void Load(CPathCacheFlatFileIndex& index, const char* previous, const char* current,
              const std::string& prefix = "") {
        WriteFile(dir / (prefix + "prev"), previous);
        WriteFile(dir / (prefix + "cur"), current);
        index.SetPreviousBackingFileParser(std::make_shared<CDirChangeParser>());
        index.SetCurrentBackingFileParser(std::make_shared<CDirChangeParser>());
        ASSERT_TRUE(index.SetPreviousBackingFile(dir / (prefix + "prev"), nullptr).IsSuccess());
        ASSERT_TRUE(index.SetCurrentBackingFile(dir / (prefix + "cur"), nullptr).IsSuccess());
    }
    ScopedTempDir dir;
};

TEST_F(FlatFileIndexCompare, OneIndexPreviousAgainstCurrent) {
    CPathCacheFlatFileIndex index;
    Load(index, kPrevious, kCurrent);
    CRecordingCompare all;
    ASSERT_TRUE(index.Compare(all, CPathCacheFlatFileIndex::kCompareRecurseAlways).IsSuccess());
    EXPECT_EQ(all.lines, (std::vector<std::string>{"f1 /a/x", "fb /a/y", "f2 /a/z", "FB /a", "F2 /a/new", "f2 /a/new/n",
                                                   "F1 /a/old", "f1 /a/old/o", "F1 /a/old/deep", "f1 /a/old/deep/d",
                                                   "fb /b/b1", "FB /b"}));
    EXPECT_EQ(index.GetDirchangeCacheCapacity(), CPathCacheFlatFileIndex::kDefaultCacheCapacity);

    // Without the flag: folders in one view only keep their subtrees to themselves, unless the
    // callback asks for a deleted folder's; a callback with only the file forms then hears of no
    // file of theirs.
    CRecordingCompare asked;
    asked.recurseAnswer = true;
    ASSERT_TRUE(index.Compare(asked, 0).IsSuccess());
    EXPECT_EQ(asked.lines, (std::vector<std::string>{"f1 /a/x", "fb /a/y", "f2 /a/z", "FB /a", "F2 /a/new", "F1 /a/old",
                                                     "R? /a/old", "f1 /a/old/o", "F1 /a/old/deep", "R? /a/old/deep",
                                                     "f1 /a/old/deep/d", "fb /b/b1", "FB /b"}));
    CRecordingCompare filesOnly;
    filesOnly.folders = filesOnly.foldersBoth = false;
    filesOnly.recurseSupported = false;
    ASSERT_TRUE(index.Compare(filesOnly, 0).IsSuccess());
    EXPECT_EQ(filesOnly.lines, (std::vector<std::string>{"f1 /a/x", "fb /a/y", "f2 /a/z", "fb /b/b1"}));
}

TEST_F(FlatFileIndexCompare, NotSupportedIsAskedOnceAndOtherErrorsEndTheComparison) {
    CPathCacheFlatFileIndex index;
    Load(index, kPrevious, kCurrent);
    CRecordingCompare noBoth;
    noBoth.filesBoth = noBoth.foldersBoth = false;
    ASSERT_TRUE(index.Compare(noBoth, CPathCacheFlatFileIndex::kCompareRecurseAlways).IsSuccess());
    EXPECT_EQ(std::count_if(noBoth.lines.begin(), noBoth.lines.end(),
                            [](const std::string& l) { return l.rfind("fb", 0) == 0 || l.rfind("FB", 0) == 0; }),
              0);
    EXPECT_EQ(noBoth.lines.size(), 8u);

    CPathCacheFlatFileIndex failing;
    Load(failing, "/a/\n\tfail\n", "/a/\n", "failing-");
    CRecordingCompare refuse;
    CKoError e = failing.Compare(refuse, CPathCacheFlatFileIndex::kCompareRecurseAlways);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_WRITE_PROTECT));
    EXPECT_NE(e.AsString().find("OnInIndex1"), std::string::npos) << e.AsString();

    CRecordingCompare aborting;
    aborting.abortAfter = 2;
    e = index.Compare(aborting, CPathCacheFlatFileIndex::kCompareRecurseAlways);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) << e.AsString();
    EXPECT_EQ(index.GetDirchangeCacheCapacity(), CPathCacheFlatFileIndex::kDefaultCacheCapacity);
}

TEST_F(FlatFileIndexCompare, TwoIndexesWalkInStep) {
    CPathCacheFlatFileIndex index1, index2;
    WriteFile(dir / "p1", "/a/\n\tx\n/a/q/\n\tq1\n/c/\n\tc1\n/e/\n");
    WriteFile(dir / "c1", "/zzz/\n\tonly-current-of-index-1\n");
    WriteFile(dir / "p2", "/a/\n\tnot-current\n/d/\n\td1\n");
    WriteFile(dir / "c2", "/a/\n\tx\n\ty\n/a b/\n\tab\n/b/\n\tb1\n/b/deep/\n\tbd\n/c/\n\tc1\n");
    for (auto* pair : {&index1, &index2}) {
        pair->SetPreviousBackingFileParser(std::make_shared<CDirChangeParser>());
        pair->SetCurrentBackingFileParser(std::make_shared<CDirChangeParser>());
    }
    ASSERT_TRUE(index1.SetPreviousBackingFile(dir / "p1", nullptr).IsSuccess());
    ASSERT_TRUE(index1.SetCurrentBackingFile(dir / "c1", nullptr).IsSuccess());
    ASSERT_TRUE(index2.SetPreviousBackingFile(dir / "p2", nullptr).IsSuccess());
    ASSERT_TRUE(index2.SetCurrentBackingFile(dir / "c2", nullptr).IsSuccess());
    CRecordingCompare all;
    ASSERT_TRUE(CPathCacheFlatFileIndex::Compare(index1, index2, all, CPathCacheFlatFileIndex::kCompareRecurseAlways)
                    .IsSuccess());
    // Index 2's folders without the current bit (/d) and index 1's without the previous one
    // (/zzz) are no folders of their views.
    EXPECT_EQ(all.lines, (std::vector<std::string>{"FB /a", "fb /a/x", "f2 /a/y", "F1 /a/q", "f1 /a/q/q1", "F2 /a b",
                                                   "f2 /a b/ab", "F2 /b", "f2 /b/b1", "F2 /b/deep", "f2 /b/deep/bd",
                                                   "FB /c", "fb /c/c1", "F1 /e"}));
    CRecordingCompare shallow;
    ASSERT_TRUE(CPathCacheFlatFileIndex::Compare(index1, index2, shallow, 0).IsSuccess());
    EXPECT_EQ(shallow.lines, (std::vector<std::string>{"FB /a", "fb /a/x", "f2 /a/y", "F1 /a/q", "R? /a/q", "F2 /a b",
                                                       "F2 /b", "FB /c", "fb /c/c1", "F1 /e", "R? /e"}));
}

TEST_F(FlatFileIndexCompare, BufferWritesOneBlockPerRunOfAFolder) {
    auto index = std::make_shared<CPathCacheFlatFileIndex>();
    index->SetPreviousBackingFileParser(std::make_shared<CDirChangeItemBaseParser>());
    index->SetCurrentBackingFileParser(std::make_shared<CDirChangeItemBaseParser>());
    index->SetItemInfoFormatter(std::make_shared<CDirChangeItemBaseFormatter>());
    ASSERT_TRUE(index->SetCurrentBackingFile(dir / "cur", nullptr).IsSuccess());
    {
        CPathCacheFlatFileIndexBuffer buffer(index);
        EXPECT_EQ(buffer.GetCurrentBackingFilePath(), dir / "cur");
        ASSERT_TRUE(buffer.AddFile("/A/1", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.AddFile("/A/2", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.AddFile("/B/1", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.AddFile("/A/3", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.FlushBuffer().IsSuccess());
        ASSERT_TRUE(index->SyncCurrentBackingFile().IsSuccess());
        EXPECT_EQ(ReadFile(dir / "cur"), "/A/\n\t1\n\t2\n/B/\n\t1\n/A/\n\t3\n");
        // Removing what is not there writes nothing; removing what is writes a deleted entry.
        ASSERT_TRUE(buffer.RemoveFile("/A/none", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.FlushBuffer().IsSuccess());
        ASSERT_TRUE(index->SyncCurrentBackingFile().IsSuccess());
        EXPECT_EQ(ReadFile(dir / "cur"), "/A/\n\t1\n\t2\n/B/\n\t1\n/A/\n\t3\n");
        ASSERT_TRUE(buffer.RenameFile("/A/2", "/A/4", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.RemoveFolder("/B", ZY_HERE, "t").IsSuccess());
        ASSERT_TRUE(buffer.RawWriteLine("\traw").IsSuccess());
        ASSERT_TRUE(buffer.AddFolder("/C", ZY_HERE, "t").IsSuccess());
    }  // the destructor flushes /C
    ASSERT_TRUE(index->SyncCurrentBackingFile().IsSuccess());
    // Removing /B does not write the buffered /A first: only a buffered folder at or below the
    // removed one is written before the removal.
    EXPECT_EQ(ReadFile(dir / "cur"), "/A/\n\t1\n\t2\n/B/\n\t1\n/A/\n\t3\n/B/|<D>1\n\traw\n/A/\n\t2|<D>1\n\t4\n/C/\n");
    FlatFileItemMapPtr items;
    ASSERT_TRUE(index->GetCurrentItems("/A", items).IsSuccess());
    std::vector<std::string> names;
    for (const auto& [name, item] : *items) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"1", "3", "4"}));

    CPathCacheFlatFileIndexBuffer none(nullptr);
    EXPECT_NE(none.RawWriteLine("x").AsString().find("Primary store object not configured"), std::string::npos);
}

}  // namespace
