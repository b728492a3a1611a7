// The collect-file writer: which lines it writes (ancestors once, top-most first; surfaces; affinity
// marks; skips), what the reader makes of them, and what is left in the file when writing fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/Path.h"
#include "scan/collect/BasicCollectFile.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/CollectFileReader.h"
#include "core/FaultInjectionEnv.h"
#include "support/TestSupport.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"
#include "scan/collect/BasicCollectFileSolr.h"

namespace {

struct SItem {
    std::string name;
    bool counted = true, directory = false, fabricated = false;
    std::string pseudo;
    bool hideInBrowse = false, dirDoesNotExist = false;
};

SItem Expected(const std::string& name, bool counted, bool directory) {
    SItem item;
    item.name = name;
    item.counted = counted;
    item.directory = directory;
    return item;
}

std::vector<SItem> ReadBack(const std::string& path) {
    CCollectFileReader reader(path);
    EXPECT_TRUE(reader.OpenCollectFile().IsSuccess());
    std::vector<SItem> items;
    std::string name;
    CKoError e;
    while ((e = reader.GetNextLine(name)).IsSuccess())
        items.push_back(SItem{name, reader.IsCounted(), reader.IsDirectory(), reader.IsAffinityFabricated(),
                              reader.GetPseudoPath(), reader.IsCxHdrHideInBrowse(), reader.DirDoesNotExist()});
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) << e.AsString();
    return items;
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines(1);
    for (char c : testsupport::ReadFile(path)) {
        if (c == '\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(c);
        }
    }
    EXPECT_TRUE(lines.back().empty()) << "torn last line: " << lines.back();
    lines.pop_back();
    return lines;
}

std::shared_ptr<CStartCharacterCollectLineFormatter> Extended(int jobType = EScanJobType::BRIM_SYNC) {
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(jobType);
    return std::make_shared<CStartCharacterCollectLineFormatter>(info, '?', '?', '?');
}

CCollectFileFileEntry File(const std::string& path, bool notCounted = false) {
    return CCollectFileFileEntry(path, ZY_HERE, "test", notCounted);
}
CCollectFileFolderEntry Folder(const std::string& path) { return CCollectFileFolderEntry(path, ZY_HERE, "test", false); }

class BasicCollectFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        writer.SetOutputFilePath(dir / "Collect.zyf");
        ASSERT_TRUE(writer.OpenOutputFile(false).IsSuccess());
    }
    std::vector<std::string> Written() {
        EXPECT_TRUE(writer.Close().IsSuccess());
        return Lines(dir / "Collect.zyf");
    }
    testsupport::ScopedTempDir dir;
    CBasicCollectFile writer;
    CStartCharacterCollectLineFormatter plain;  // the short form: the bare path
};

using Strings = std::vector<std::string>;

TEST_F(BasicCollectFileTest, AncestorsAreWrittenOnceTopMostFirstAndNeverTheRoot) {
    ASSERT_TRUE(writer.AddEntry(File("/a/b/f"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(File("/a/b/g"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/a/b"), plain).IsSuccess());  // already written as an ancestor
    ASSERT_TRUE(writer.AddEntry(Folder("/a/c"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(File("/a/c/d/h", true), plain).IsSuccess());
    writer.SetAddAncestorPaths(false);
    ASSERT_TRUE(writer.AddEntry(File("/x/y"), plain).IsSuccess());
    EXPECT_EQ(Written(), (Strings{"/a/", "/a/b/", "/a/b/f", "/a/b/g", "/a/c/", "/a/c/d/", "/a/c/d/h", "/x/y"}));
    // The ancestor of a not-counted item is not counted either.
    EXPECT_EQ(writer.GetCountedFoldersWritten(), 3);
    EXPECT_EQ(writer.GetCountedFilesWritten(), 3);
}

TEST_F(BasicCollectFileTest, SurfaceAncestorsAreNotCountedAndTheTopIsNeverWritten) {
    testsupport::ScopedLogCapture log;
    auto formatter = Extended();
    writer.AddSurface("/data/x/");
    ASSERT_TRUE(writer.AddEntry(File("/data/x/f"), *formatter).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/"), *formatter).IsSuccess());
    ASSERT_TRUE(writer.Close().IsSuccess());
    const auto items = ReadBack(dir / "Collect.zyf");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].name, "/data/");
    EXPECT_FALSE(items[0].counted);
    EXPECT_EQ(items[1].name, "/data/x/");
    EXPECT_TRUE(items[1].counted && items[1].directory);
    EXPECT_EQ(items[2].name, "/data/x/f");
    EXPECT_EQ(writer.GetCountedFoldersWritten(), 1);
    EXPECT_TRUE(log.Log().Contains("AncestorFolderIgnored, Folder=[]"));

    // Not allowing folders below the surface: its ancestors count as written already.
    CBasicCollectFile second;
    second.SetOutputFilePath(dir / "Second.zyf");
    second.SetAllowFoldersBelowSurface(false);
    ASSERT_TRUE(second.OpenOutputFile(false).IsSuccess());
    second.AddSurface("/data/x");
    ASSERT_TRUE(second.AddEntry(File("/data/x/f"), plain).IsSuccess());
    ASSERT_TRUE(second.Close().IsSuccess());
    EXPECT_EQ(Lines(dir / "Second.zyf"), (Strings{"/data/x/", "/data/x/f"}));
}

TEST_F(BasicCollectFileTest, AffinityMarksEndFolderLinesWithFabricated) {
    auto formatter = Extended();
    formatter->SetSourceVolumePath("/a");
    ASSERT_TRUE(writer.SetAffinity("/a/b/c", 1, CBasicCollectFile::kAffinityParent).IsSuccess());
    ASSERT_TRUE(writer.SetAffinity("/m/n/o", 1, CBasicCollectFile::kAffinityParent | CBasicCollectFile::kAffinityAncestors).IsSuccess());
    // Candidates: /p/q covers /p/q/r/s; /t/u has no candidate above it.
    ASSERT_TRUE(writer.SetAffinity("/p/q", 2, 0).IsSuccess());
    ASSERT_TRUE(writer.SetAffinity("/p/q/r/s", 2, 0).IsSuccess());
    ASSERT_TRUE(writer.SetAffinity("/t/u", 2, 0).IsSuccess());
    ASSERT_TRUE(writer.FinalizeAffinityFabricated().IsSuccess());
    for (const char* path : {"/a/b/c/f", "/m/n/o/f", "/p/q/r/s/f", "/t/u/f"})
        ASSERT_TRUE(writer.AddEntry(File(path), *formatter).IsSuccess());
    const auto lines = Written();
    std::set<std::string> fabricated;
    for (const auto& item : ReadBack(dir / "Collect.zyf"))
        if (item.fabricated) fabricated.insert(item.name);
    EXPECT_EQ(fabricated, (std::set<std::string>{"/a/b/", "/m/", "/m/n/", "/p/", "/t/"}));
    // The tag closes the line; fabricated folders and folders off the volume lose the volume tag.
    EXPECT_EQ(lines[0], "???" "/a/|<DIR>|<SRCVOLPATH>/a/|<AB>");
    EXPECT_EQ(lines[1], "???" "/a/b/|<DIR>|<AB>|<FABRICATED>");
    EXPECT_EQ(lines[2], "???" "/a/b/c/|<DIR>|<SRCVOLPATH>/a/|<AB>");
    EXPECT_EQ(lines[4], "???" "/m/|<DIR>|<AB>|<FABRICATED>");
    EXPECT_EQ(formatter->GetSourceVolumePath(), "/a/");
    CStringLineWriter dump;
    writer.DumpDiagnosticData(&dump);
    EXPECT_NE(std::find(dump.Lines().begin(), dump.Lines().end(), "PathsNotCounted: |==|==|== b    0x10000"),
              dump.Lines().end());
}

// A hook that answers from sets, and keeps the written folders when asked to.
class CSetHook : public CCheckIfAlreadyPresent {
public:
    bool IsAlreadyPresent(const std::string& path) override { return present.count(path) != 0; }
    bool IsItemInPreviousJob(const std::string& path) override { return previous.count(path) != 0; }
    bool IsWritten(const std::string& path) override { return written.count(Key(path)) != 0; }
    CKoError SetWritten(const std::string& path) override {
        written.insert(Key(path));
        return CKoError::Success();
    }
    static std::string Key(std::string path) { return FXPath::RemoveTrailingDelimiter(path); }
    std::set<std::string> present, previous, written;
};

TEST_F(BasicCollectFileTest, SkipsPresentOverLongAndUnwantedItems) {
    testsupport::ScopedLogCapture log;
    writer.SetIsFullBackup(false);
    ASSERT_TRUE(writer.AddEntry(Folder("/dropped"), plain).IsSuccess());  // no hook: folders are dropped
    auto hook = std::make_shared<CSetHook>();
    hook->present = {"/a/present", "/a/also/"};
    hook->previous = {"/a/old/"};
    writer.SetCheckIfAlreadyPresent(hook);
    ASSERT_TRUE(writer.AddEntry(File("/a/present"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/a/old"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/a/also"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/a/new"), plain).IsSuccess());
    writer.ResetCheckIfAlreadyPresent();
    writer.SetPathMaximumLength(9);
    ASSERT_TRUE(writer.AddEntry(File("/a/f234567"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(File("/a/f23456"), plain).IsSuccess());
    writer.SetIsFullBackup(true);
    ASSERT_TRUE(writer.AddEntry(Folder("/a/d23456"), plain).IsSuccess());  // 10 with its "/"
    EXPECT_EQ(Written(), (Strings{"/a/", "/a/new/", "/a/f23456"}));
    EXPECT_EQ(writer.GetCountedFoldersWritten(), 2);
    EXPECT_EQ(writer.GetCountedFilesWritten(), 1);
    EXPECT_TRUE(log.Log().Contains(
        "Ignoring item with name that exceeds maximum size, FileName=[/a/d23456/], Length=[10], PathMaximumLength=[9]"));
}

TEST_F(BasicCollectFileTest, DelegatedBookkeepingKeepsFoldersOutOfTheWriter) {
    const size_t emptyTrie = CBasicCollectFile().GetPathsMemoryUsed();
    auto hook = std::make_shared<CSetHook>();
    writer.SetCheckIfAlreadyPresent(hook);
    writer.SetDelegatePaths(true);
    writer.SetAllowFoldersBelowSurface(false);
    writer.AddSurface("/s/t");
    ASSERT_TRUE(writer.AddEntry(File("/s/t/a/f"), plain).IsSuccess());
    ASSERT_TRUE(writer.AddEntry(Folder("/s/t/a/b"), plain).IsSuccess());
    // A second file of the same scan shares the hook: nothing is written twice across both.
    CBasicCollectFile other;
    other.SetOutputFilePath(dir / "Other.zyf");
    ASSERT_TRUE(other.OpenOutputFile(false).IsSuccess());
    other.SetCheckIfAlreadyPresent(hook);
    other.SetDelegatePaths(true);
    ASSERT_TRUE(other.AddEntry(File("/s/t/a/b/g"), plain).IsSuccess());
    ASSERT_TRUE(other.AddEntry(File("/s/u/g"), plain).IsSuccess());
    ASSERT_TRUE(other.Close().IsSuccess());
    EXPECT_EQ(Written(), (Strings{"/s/t/", "/s/t/a/", "/s/t/a/f", "/s/t/a/b/"}));
    EXPECT_EQ(Lines(dir / "Other.zyf"), (Strings{"/s/t/a/b/g", "/s/u/", "/s/u/g"}));
    EXPECT_EQ(hook->written, (std::set<std::string>{"", "/s", "/s/t", "/s/t/a", "/s/t/a/b", "/s/u"}));
    EXPECT_EQ(writer.GetPathsMemoryUsed(), emptyTrie);
    EXPECT_EQ(other.GetPathsMemoryUsed(), emptyTrie);
}

// Generated trees with names that need escaping, written as a scan would and read back.
TEST_F(BasicCollectFileTest, LinesReadBackToTheSameItems) {
    for (bool extended : {true, false}) {
        CBasicCollectFile file;
        const std::string path = dir / (extended ? "Extended.zyf" : "Short.zyf");
        file.SetOutputFilePath(path);
        ASSERT_TRUE(file.OpenOutputFile(false).IsSuccess());
        auto formatter = extended ? Extended(EScanJobType::BRIM_SYNC)
                                  : std::make_shared<CStartCharacterCollectLineFormatter>(nullptr, '?', '?', '*');
        file.AddSurface("/r%7Co/s");
        std::mt19937 rng(7);
        std::vector<SItem> expected;  // what the reader must give, names unescaped
        std::set<std::string> folders;
        for (int i = 0; i < 400; ++i) {
            std::string raw = "/r|o", escaped = "/r%7Co";
            std::vector<std::string> ancestors;
            for (int depth = 1 + static_cast<int>(rng() % 4); depth > 0; --depth) {
                ancestors.push_back(raw);
                std::string name;
                for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) name.push_back("ab|%\n\r\x1a\xc3?"[rng() % 9]);
                if (name.back() == '?') name.push_back('q');  // a final "?" is the not-counted mark
                raw += "/" + name;
                escaped += "/" + escapeFileName(name.c_str(), true);
            }
            const bool folder = rng() % 4 == 0, notCounted = extended && rng() % 3 == 0;
            if (folder && folders.count(raw)) continue;
            for (const std::string& a : ancestors) {
                // The surface's ancestor is not counted whatever the item says.
                if (folders.insert(a).second) expected.push_back(Expected(a + "/", a == "/r|o" ? !extended : !notCounted, true));
            }
            if (folder) {
                folders.insert(raw);
                ASSERT_TRUE(file.AddEntry(CCollectFileFolderEntry(escaped, ZY_HERE, "gen", notCounted), *formatter).IsSuccess());
            } else {
                ASSERT_TRUE(file.AddEntry(CCollectFileFileEntry(escaped, ZY_HERE, "gen", notCounted), *formatter).IsSuccess());
            }
            expected.push_back(Expected(folder ? raw + "/" : raw, !notCounted, folder));
        }
        ASSERT_TRUE(file.Close().IsSuccess());
        const auto items = ReadBack(path);
        EXPECT_EQ(items.size(), expected.size());
        for (size_t i = 0; i < std::min(items.size(), expected.size()); ++i) {
            const SItem& item = items[i];
            EXPECT_EQ(decodeFileName(item.name.c_str()), expected[i].name) << i;
            EXPECT_EQ(item.counted, expected[i].counted) << expected[i].name;
            if (extended) {
                EXPECT_EQ(item.directory, expected[i].directory) << expected[i].name;
            }
        }
    }
}

// Write failures: the error names the line that failed, and what was written before it stays.
TEST(BasicCollectFileFailureTest, EachFailingWriteIsReportedWithTheLineItWasFor) {
    CStartCharacterCollectLineFormatter plain;
    const struct {
        int failOn;
        const char* pushed;
        const char* kept;
    } cases[] = {{2, "WriteEntry failed, ParentPath=[/a/b/]", "/a/\n"},
                 {3, "WriteEntry failed, FullFilePath=[/a/b/f]", "/a/\n/a/b/\n"}};
    for (const auto& c : cases) {
        std::string sink;
        CBasicCollectFile writer;
        writer.OpenOutputStream(testsupport::OpenFailingStream(&sink, c.failOn));
        CKoError e = writer.AddEntry(File("/a/b/f"), plain);
        ASSERT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
        EXPECT_EQ(e.GetMessage().rfind("fwrite failed", 0), 0u) << e.AsString();
        EXPECT_NE(e.AsString().find(c.pushed), std::string::npos) << e.AsString();
        EXPECT_EQ(sink, c.kept);
        EXPECT_EQ(writer.GetCountedFoldersWritten(), c.failOn - 1);
        EXPECT_EQ(writer.GetCountedFilesWritten(), 0);
        // Nothing is written after a gap.
        e = writer.AddEntry(Folder("/z"), plain);
        EXPECT_NE(e.AsString().find("WriteEntry failed, FullPath=[/z/]"), std::string::npos) << e.AsString();
        EXPECT_TRUE(FXErrorUtil::IsErrNo(writer.RawWriteLine("raw"), ENOSPC));
        EXPECT_TRUE(FXErrorUtil::IsWin32(writer.Close(), ZyWin32::ERROR_GENERAL_FAILURE));
        EXPECT_EQ(sink, c.kept);
    }
}

TEST(BasicCollectFileFailureTest, AFullDiskLeavesOnlyCompleteLines) {
    // The disk fills on the fourth buffer written, half of which lands.
    testsupport::ScopedTempDir disk;
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Write, 4, ENOSPC, true, true);
    auto formatter = Extended();
    CBasicCollectFile writer;
    const std::string path = disk.Path() + "/Collect.zyf";
    writer.SetOutputFilePath(path);
    ASSERT_TRUE(writer.OpenOutputFile(false).IsSuccess());
    std::vector<std::string> accepted;
    CKoError e;
    for (int i = 0; e.IsSuccess(); ++i) {
        ASSERT_LT(i, 100000) << "the disk never filled";
        const std::string name = "/full/folder" + std::to_string(i / 10) + "/file" + std::to_string(i);
        if (i % 10 == 0) accepted.push_back(name.substr(0, name.rfind('/') + 1));
        accepted.push_back(name);
        e = writer.AddEntry(File(name), *formatter);
        if (i == 0) accepted.insert(accepted.begin(), "/full/");
    }
    ASSERT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    e = writer.Close();
    ASSERT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE));
    EXPECT_EQ(e.GetMessage(), "Flush output failed, CollectFile=[" + path + "]");
    const auto items = ReadBack(path);
    ASSERT_GT(items.size(), 100u);
    ASSERT_LT(items.size(), accepted.size());
    for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(items[i].name, accepted[i]) << i;
    Lines(path);  // no torn last line
}

TEST(BasicCollectFileFailureTest, OpenAndFlushFailures) {
    testsupport::ScopedLogCapture log;
    testsupport::ScopedTempDir dir;
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    CStartCharacterCollectLineFormatter plain;
    {
        CBasicCollectFile writer;
        writer.SetOutputFilePath(dir / "missing/Collect.zyf");
        CKoError e = writer.OpenOutputFile(true);
        EXPECT_NE(e.AsString().find("Failed to open file, FileName=[" + (dir / "missing/Collect.zyf") + "], OpenForAppend=[1]"),
                  std::string::npos) << e.AsString();
        testsupport::WriteFile(dir / "Old.zyf", "/old\n");
        writer.SetOutputFilePath(dir / "Old.zyf");
        ASSERT_TRUE(writer.OpenOutputFile(true).IsSuccess());
        ASSERT_TRUE(writer.AddEntry(File("/a/f"), plain).IsSuccess());
        ASSERT_TRUE(writer.Close().IsSuccess());
        EXPECT_EQ(testsupport::ReadFile(dir / "Old.zyf"), "/old\n/a/\n/a/f\n");
        writer.LogTimeCounters();
        EXPECT_TRUE(log.Log().Contains("AddFile: Count=[1]"));
        writer.SetOutputFilePath(dir / "Full.zyf");
        ASSERT_TRUE(writer.OpenOutputFile(false).IsSuccess());
        ASSERT_TRUE(writer.AddEntry(File("/a/g"), plain).IsSuccess());  // still in the buffer
        env.FailNth(EFaultOp::Write, 1, ENOSPC, true);
    }
    EXPECT_TRUE(log.Log().Contains("Close failed, error="));
    EXPECT_TRUE(log.Log().Contains("CollectFile=[" + (dir / "Full.zyf") +
                                   "], CountedFolders=[1], CountedFiles=[2], PathsMemoryUsage=["));
    EXPECT_EQ(testsupport::ReadFile(dir / "Full.zyf"), "");
}

TEST(BasicCollectFileSolrTest, AncestorsGoUnderPseudoPaths) {
    testsupport::ScopedTempDir dir;
    auto formatter = Extended(EScanJobType::SOLR_CLOUD_BACKUP);
    CBasicCollectFileSolr writer;
    writer.SetOutputFilePath(dir / "Collect.zyf");
    ASSERT_TRUE(writer.OpenOutputFile(false).IsSuccess());
    auto item = [&](const std::string& path, const std::string& pseudo, uint32_t strip) {
        CCollectFileFileEntry entry = File(path);
        entry.SetPseudoPath(pseudo);
        entry.SetStripLevel(strip);
        ASSERT_TRUE(writer.AddEntry(entry, *formatter).IsSuccess());
    };
    item("/a/b/f", "/P/a/b/f", 0);  // deeper than the strip level: ancestors take the pseudo path
    item("/a/b/g", "/P/a/b/g", 0);  // its ancestors are written: the pseudo path's ancestors instead
    item("/a/b/h", "/P/a/b/h", 0);
    item("/c/d/i", "/Q/i", 1);
    ASSERT_TRUE(writer.Close().IsSuccess());
    std::vector<std::string> got;
    for (const auto& i : ReadBack(dir / "Collect.zyf"))
        got.push_back(i.name + (i.counted ? "" : " ?") + (i.pseudo.empty() ? "" : " " + i.pseudo) +
                      (i.hideInBrowse ? " HIB" : "") + (i.dirDoesNotExist ? " DDNE" : ""));
    EXPECT_EQ(got, (Strings{"/a/ /P/a/b/f HIB", "/a/b/ /P/a/b/f HIB", "/a/b/f /P/a/b/f", "/P/ ? DDNE", "/P/a/ ? DDNE",
                            "/P/a/b/ ? DDNE", "/a/b/g /P/a/b/g", "/a/b/h /P/a/b/h", "/Q/ ? DDNE", "/c/d/i /Q/i"}));
}

// A derived writer changes the formatter for ancestor lines; the item's own line gets it back.
class CMarkingWriter : public CBasicCollectFile {
protected:
    CKoError ModifyAncestorMetadata(const std::shared_ptr<CCollectFileFolderEntry>& ancestor,
                                    CCollectLineFormatter& formatter, bool& mountPoint, std::string& tags) override {
        CKoError e = CBasicCollectFile::ModifyAncestorMetadata(ancestor, formatter, mountPoint, tags);
        auto& startCharacter = dynamic_cast<CStartCharacterCollectLineFormatter&>(formatter);
        startCharacter.SetPathUnderMountPoint(true);
        startCharacter.SetTagsToBePreserved("|<ANC>");
        return e;
    }
};

TEST(BasicCollectFileHooksTest, AncestorMetadataIsPutBackAfterEachAncestor) {
    testsupport::ScopedTempDir dir;
    auto formatter = Extended();
    formatter->SetTagsToBePreserved("|<OWN>");
    CMarkingWriter writer;
    writer.SetOutputFilePath(dir / "Collect.zyf");
    ASSERT_TRUE(writer.OpenOutputFile(false).IsSuccess());
    writer.SetModifyMetadataForAncestor(true);
    ASSERT_TRUE(writer.AddEntry(File("/a/b/f"), *formatter).IsSuccess());
    ASSERT_TRUE(writer.Close().IsSuccess());
    EXPECT_EQ(Lines(dir / "Collect.zyf"), (Strings{"?*?/a/|<ANC>", "?*?/a/b/|<ANC>", "???" "/a/b/f|<OWN>"}));
}

}  // namespace
