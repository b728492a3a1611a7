// Damaged previous DirChange files, for every kind: the job uses what is valid and says what it
// left out (or refuses the file, so the job runs full, and says why); it never answers from the
// wrong folder's lines and never reports as deleted an item it could not read.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "scan/dirchange/DirChangeRecorder.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

// Previous job: /r with f1; /r/a with a1, a2; /r/b with b1; /r/c with c1, c2.
// This job: a2 and all of /r/c are gone, /r/b/b2 is new.
const std::set<std::string> kPreviousFiles = {"/r/f1", "/r/a/a1", "/r/a/a2", "/r/b/b1", "/r/c/c1", "/r/c/c2"};
const std::set<std::string> kTrueDeletions = {"??d/r/a/a2", "??D/r/c/"};

// One folder line in the grammar of the kind (flat lines end in "/").
std::string Folder(bool flat, const std::string& path) { return path + (flat ? "/\n" : "\n"); }

std::string Blocks(bool flat, const std::vector<std::pair<std::string, std::vector<std::string>>>& blocks) {
    std::string text;
    for (const auto& [folder, names] : blocks) {
        text += Folder(flat, folder);
        for (const std::string& name : names) text += "\t" + name + "\n";
    }
    return text;
}

std::string Good(bool flat) {
    return Blocks(flat, {{"/r", {"f1"}}, {"/r/a", {"a1", "a2"}}, {"/r/b", {"b1"}}, {"/r/c", {"c1", "c2"}}});
}

struct Variant {
    const char* name;
    std::string (*make)(bool flat);
    bool skips;                 // lines must be reported as left out
    std::set<std::string> lost;  // previous files whose lines the damage destroyed
};

const Variant kVariants[] = {
    {"torn mid-block", [](bool flat) { std::string t = Good(flat); return t.substr(0, t.size() - 3); }, true, {"/r/c/c2"}},
    {"folder line repeated",
     [](bool flat) { return Blocks(flat, {{"/r", {"f1"}}, {"/r/a", {"a1"}}, {"/r/b", {"b1"}}, {"/r/a", {"a2"}}, {"/r/c", {"c1", "c2"}}}); },
     false, {}},
    {"blocks out of order",
     [](bool flat) { return Blocks(flat, {{"/r/c", {"c2", "c1"}}, {"/r/b", {"b1"}}, {"/r/a", {"a2", "a1"}}, {"/r", {"f1"}}}); },
     false, {}},
    {"1 MB lines",
     [](bool flat) {
         const std::string big(1 << 20, 'x');
         // A long name inside /r/a; a long folder line whose names must not land in /r/b.
         return Blocks(flat, {{"/r", {"f1"}}, {"/r/a", {"a1", big, "a2"}}, {"/r/b", {"b1"}}, {"/r/" + big, {"b2"}},
                              {"/r/c", {"c1", "c2"}}});
     },
     true, {}},
    {"binary garbage",
     [](bool flat) {
         std::string garbage("\x01\xff\x00zz|<D>1\x7f", 10);
         std::string t = Blocks(flat, {{"/r", {"f1"}}, {"/r/a", {"a1", "a2"}}, {"/r/b", {"b1"}}});
         // The folder line of /r/c is destroyed: its names belong to no folder now.
         t += garbage + "\n\tc1\n\tc2\nrelative/b/\n\tb2\n";
         return t;
     },
     true, {"/r/c/c1", "/r/c/c2"}},
};

const EDirChangeKind kKinds[] = {EDirChangeKind::DIRCHANGE_KIND_TREE, EDirChangeKind::DIRCHANGE_KIND_FLAT,
                                 EDirChangeKind::DIRCHANGE_KIND_SEGMENTS};

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.insert(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(DirChangeBadInput, DamagedPreviousFilesAreUsedAsFarAsTheyAreValid) {
    ScopedTempDir dir;
    for (const Variant& variant : kVariants) {
        for (EDirChangeKind kind : kKinds) {
            SCOPED_TRACE(std::string(variant.name) + ", " + kind.AsString());
            const bool flat = kind == EDirChangeKind::DIRCHANGE_KIND_FLAT;
            WriteFile(dir / "prev", variant.make(flat));
            std::unique_ptr<CDirChangeRecorder> recorder;
            ASSERT_TRUE(CDirChangeRecorder::Create(kind, CDirChangeRecorder::SOptions(), recorder).IsSuccess());
            CKoError e = recorder->LoadPrevious(dir / "prev", nullptr);
            if (kind == EDirChangeKind::DIRCHANGE_KIND_TREE && variant.skips) {
                // The tree DirChange cannot leave lines out: the file is refused (the job runs
                // full) and the error says what is wrong with it.
                ASSERT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
                EXPECT_NE(e.GetMessage().find("lines skipped"), std::string::npos) << e.GetMessage();
                continue;
            }
            ASSERT_TRUE(e.IsSuccess()) << e.AsString();
            if (kind != EDirChangeKind::DIRCHANGE_KIND_TREE) {
                const SDirChangeLoadReport report = recorder->GetLoadReport();
                EXPECT_EQ(report.HasSkipped(), variant.skips) << report.Summary();
            }
            ASSERT_TRUE(recorder->StartCurrent(dir / "cur").IsSuccess());
            ASSERT_TRUE(recorder->AddSurface("/r").IsSuccess());
            // The walk of this job: every answer about a file is checked against what was there.
            const std::vector<std::pair<std::string, std::vector<std::string>>> walk = {
                {"/r", {"f1"}}, {"/r/a", {"a1"}}, {"/r/b", {"b1", "b2"}}};
            for (const auto& [folder, names] : walk) {
                ASSERT_TRUE(recorder->AddFolder(folder).IsSuccess());
                for (const std::string& name : names) {
                    const std::string path = folder + "/" + name;
                    const bool was = kPreviousFiles.count(path) && !variant.lost.count(path);
                    EXPECT_EQ(recorder->IsFileInPreviousJob(path), was) << path;
                    ASSERT_TRUE(recorder->AddFile(path, true).IsSuccess());
                }
            }
            ASSERT_TRUE(recorder->EndScan().IsSuccess());
            char* data = nullptr;
            size_t size = 0;
            FILE* out = open_memstream(&data, &size);
            ASSERT_TRUE(recorder->WriteDeletedItems(out, false).IsSuccess());
            std::fclose(out);
            const std::set<std::string> deleted = Lines(std::string(data, size));
            std::free(data);
            for (const std::string& line : deleted) EXPECT_TRUE(kTrueDeletions.count(line)) << line;
            EXPECT_TRUE(deleted.count("??d/r/a/a2"));
            EXPECT_EQ(deleted.count("??D/r/c/"), variant.lost.count("/r/c/c1") ? 0u : 1u);
        }
    }
}

TEST(DirChangeBadInput, APreviousFileGoneBetweenJobsIsAnErrorThatNamesIt) {
    ScopedTempDir dir;
    for (EDirChangeKind kind : kKinds) {
        SCOPED_TRACE(kind.AsString());
        std::unique_ptr<CDirChangeRecorder> recorder;
        ASSERT_TRUE(CDirChangeRecorder::Create(kind, CDirChangeRecorder::SOptions(), recorder).IsSuccess());
        CKoError e = recorder->LoadPrevious(dir / "gone", nullptr);
        ASSERT_TRUE(e.IsError());
        EXPECT_NE(e.AsString().find(dir / "gone"), std::string::npos) << e.AsString();
    }
}

TEST(DirChangeBadInput, AnEmptyPreviousFileIsAnEmptyDirChange) {
    ScopedTempDir dir;
    WriteFile(dir / "empty", "");
    for (EDirChangeKind kind : kKinds) {
        SCOPED_TRACE(kind.AsString());
        std::unique_ptr<CDirChangeRecorder> recorder;
        ASSERT_TRUE(CDirChangeRecorder::Create(kind, CDirChangeRecorder::SOptions(), recorder).IsSuccess());
        ASSERT_TRUE(recorder->LoadPrevious(dir / "empty", nullptr).IsSuccess());
        EXPECT_FALSE(recorder->IsFileInPreviousJob("/r/f1"));
        EXPECT_FALSE(recorder->IsFolderInPreviousJob("/r"));
    }
}

}  // namespace
