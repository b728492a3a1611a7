// Damaged previous DirChange files met by fsscan jobs of each kind, and jobs that switch kinds.
//
// A file damaged after the job that wrote it is refused by its recorded size and hash: the job
// runs full and says why. A file recorded as it is (written damaged) is used as far as it is
// valid by the flat and segment kinds, which say what they left out, and refused by the tree
// kind. Either way the job never lists as deleted an item that is still there, and never takes a
// file for known because another folder's block named it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "FsScanTestSupport.h"
#include "core/Path.h"
#include "scan/job/JobState.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::List;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

constexpr long long kHourMicros = 3600ll * 1000000;

struct Block {
    std::string folderLine;
    std::vector<std::string> fileLines;  // each with its TAB, without the LF
};

std::vector<Block> Blocks(const std::string& text) {
    std::vector<Block> blocks;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] == '\t' && !blocks.empty())
            blocks.back().fileLines.push_back(line);
        else
            blocks.push_back(Block{line, {}});
        start = end + 1;
    }
    return blocks;
}

std::string Join(const std::vector<Block>& blocks) {
    std::string text;
    for (const Block& b : blocks) {
        text += b.folderLine + "\n";
        for (const std::string& f : b.fileLines) text += f + "\n";
    }
    return text;
}

// A folder line's path: flat lines end in "/".
std::string FolderOf(const Block& b) {
    std::string f = b.folderLine;
    if (f.size() > 1 && f.back() == '/') f.pop_back();
    return f;
}

struct Damage {
    const char* name;
    bool skips;  // lines are left out (the tree kind refuses the file)
    // Returns the damaged text and adds the files whose lines it destroyed to `lost`.
    std::string (*make)(const std::string& good, std::set<std::string>& lost);
};

// The last block that has files, for damages that must hit one.
size_t LastWithFiles(const std::vector<Block>& blocks) {
    size_t i = blocks.size() - 1;
    while (blocks[i].fileLines.size() < 2) --i;
    return i;
}

const Damage kDamages[] = {
    {"truncated mid-block", true,
     [](const std::string& good, std::set<std::string>& lost) {
         std::vector<Block> blocks = Blocks(good);
         const size_t i = LastWithFiles(blocks);
         // The blocks after the cut are gone too.
         for (size_t j = i + 1; j < blocks.size(); ++j)
             for (const std::string& f : blocks[j].fileLines) lost.insert(FolderOf(blocks[j]) + "/" + f.substr(1));
         blocks.resize(i + 1);
         const std::string last = blocks[i].fileLines.back();
         lost.insert(FolderOf(blocks[i]) + "/" + last.substr(1));
         std::string text = Join(blocks);
         return text.substr(0, text.size() - last.size() / 2 - 1);
     }},
    {"folder line repeated", false,
     [](const std::string& good, std::set<std::string>&) {
         std::vector<Block> blocks = Blocks(good);
         Block& b = blocks[LastWithFiles(blocks)];
         Block second{b.folderLine, {b.fileLines.back()}};
         b.fileLines.pop_back();
         blocks.insert(blocks.begin(), second);
         return Join(blocks);
     }},
    {"blocks out of order", false,
     [](const std::string& good, std::set<std::string>&) {
         std::vector<Block> blocks = Blocks(good);
         std::reverse(blocks.begin(), blocks.end());
         return Join(blocks);
     }},
    {"a 1 MB line", true,
     [](const std::string& good, std::set<std::string>&) {
         std::vector<Block> blocks = Blocks(good);
         blocks[LastWithFiles(blocks)].fileLines.push_back("\t" + std::string(1 << 20, 'x'));
         blocks.push_back(Block{"/" + std::string(1 << 20, 'y'), {"\tnever"}});
         return Join(blocks);
     }},
    {"binary garbage for a folder line", true,
     [](const std::string& good, std::set<std::string>& lost) {
         std::vector<Block> blocks = Blocks(good);
         Block& b = blocks[LastWithFiles(blocks)];
         for (const std::string& f : b.fileLines) lost.insert(FolderOf(b) + "/" + f.substr(1));
         b.folderLine = std::string("\x01\xff\x00zz|<D>1\x7f", 10);
         return Join(blocks);
     }},
};

// Records the DirChange file as it is now, as if the job had written it so.
void RecordAsWritten(const std::string& results) {
    CScanJobState state;
    ASSERT_TRUE(state.Load(results).IsSuccess());
    ASSERT_TRUE(HashFile(FXPath::Join(results, state.lastScan.dirChangeFile), state.lastScan.dirChangeSize,
                         state.lastScan.dirChangeHash)
                    .IsSuccess());
    ASSERT_TRUE(state.Save(results).IsSuccess());
}

std::string MakeContent(const ScopedTempDir& dir) {
    const std::string root = dir / "content";
    ::mkdir(root.c_str(), 0755);
    for (const char* folder : {"alpha", "beta", "beta/deep", "gamma"}) {
        ::mkdir((root + "/" + folder).c_str(), 0755);
        for (const char* file : {"file1", "file2", "file3"}) WriteFile(root + "/" + folder + "/" + file, folder);
    }
    WriteFile(root + "/top", "t");
    return root;
}

RunResult Scan(const std::string& root, const std::string& results, const char* kind, const char* level = "incremental") {
    return Fsscan({"scan", "--content", root, "--results", results, "--dirchange", kind, "--level", level});
}

std::set<std::string> Collected(const std::set<std::string>& listed, bool files, bool deleted = false) {
    std::set<std::string> out;
    for (const std::string& item : listed)
        if (item.compare(0, 2, deleted ? "- " : "+ ") == 0 && (item.back() != '/') == files) out.insert(item.substr(2));
    return out;
}

TEST(FsScanDirChangeBadInput, DamagedFilesAreUsedAsFarAsValidOrTheJobRunsFull) {
    ScopedTempDir dir;
    const std::string root = MakeContent(dir);
    std::set<std::string> allFiles;
    for (const char* folder : {"alpha", "beta", "beta/deep", "gamma"})
        for (const char* file : {"file1", "file2", "file3"}) allFiles.insert(root + "/" + folder + "/" + file);
    allFiles.insert(root + "/top");

    for (const char* kind : {"tree", "flat", "segments"}) {
        const std::string results = dir / (std::string("results-") + kind), saved = results + ".saved";
        ASSERT_EQ(Scan(root, results, kind, "full").exitCode, 0);
        ASSERT_TRUE(fsscantest::MoveLastScanStartAhead(results, kHourMicros));
        ASSERT_EQ(std::system(("cp -a '" + results + "' '" + saved + "'").c_str()), 0);
        const std::string dc = results + "/DCTot.zyf";
        const std::string good = ReadFile(dc);
        const auto restore = [&] {
            ASSERT_EQ(std::system(("rm -rf '" + results + "' && cp -a '" + saved + "' '" + results + "'").c_str()), 0);
        };

        // Unchanged: nothing to collect, nothing deleted.
        RunResult r = Scan(root, results, kind);
        ASSERT_EQ(r.exitCode, 0) << kind << r.err;
        EXPECT_TRUE(Collected(List(results), true).empty()) << kind;

        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(std::string(kind) + ", " + damage.name);
            std::set<std::string> lost;
            const std::string damaged = damage.make(good, lost);

            // Damaged after it was written: refused by its record.
            restore();
            WriteFile(dc, damaged);
            r = Scan(root, results, kind);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(r.err.find("running a full scan: the previous DirChange is unusable"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("damaged or replaced"), std::string::npos) << r.err;
            EXPECT_EQ(Collected(List(results), true), allFiles);

            // Written so: used as far as it is valid, or refused as a whole.
            restore();
            WriteFile(dc, damaged);
            RecordAsWritten(results);
            r = Scan(root, results, kind);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const std::set<std::string> listed = List(results);
            // Nothing was deleted: whatever the file says, nothing is listed as deleted.
            EXPECT_TRUE(Collected(listed, true, true).empty() && Collected(listed, false, true).empty());
            if (damage.skips && std::string(kind) == "tree") {
                EXPECT_NE(r.err.find("running a full scan: the previous DirChange is unusable"), std::string::npos) << r.err;
                EXPECT_EQ(Collected(listed, true), allFiles);
                continue;
            }
            EXPECT_EQ(r.err.find("running a full scan"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("lines it could not use") != std::string::npos, damage.skips) << r.err;
            // Only the files whose lines were destroyed are new: no other block answered for them.
            EXPECT_EQ(Collected(listed, true), lost);
        }

        // Deleted between jobs: the job runs full and says why.
        restore();
        ASSERT_EQ(::unlink(dc.c_str()), 0);
        r = Scan(root, results, kind);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("running a full scan: the previous DirChange is unusable"), std::string::npos) << r.err;
        EXPECT_EQ(Collected(List(results), true), allFiles);
    }
}

TEST(FsScanDirChangeKinds, SwitchingKindsRunsFullOnlyWhenTheFileCannotBeRead) {
    ScopedTempDir dir;
    const std::string root = MakeContent(dir), results = dir / "results";
    ASSERT_EQ(Scan(root, results, "tree", "full").exitCode, 0);
    struct Step {
        const char* kind;  // null: no --dirchange
        bool full;
        const char* says;
    };
    const Step steps[] = {
        {"segments", false, nullptr},  // the same file
        {"tree", false, nullptr},
        {"flat", true, "the previous job kept its DirChange as a tree DirChange file (tree)"},
        {nullptr, false, nullptr},  // keeps the previous job's kind
        {"flat", false, nullptr},
        {"segments", true, "a flat DirChange file (flat) and this job keeps a tree DirChange file (segments)"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.kind ? step.kind : "(none)");
        ASSERT_TRUE(fsscantest::MoveLastScanStartAhead(results, kHourMicros));
        std::vector<std::string> args = {"scan", "--content", root, "--results", results};
        if (step.kind) args.insert(args.end(), {"--dirchange", step.kind});
        RunResult r = Fsscan(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find(step.full ? "(full)" : "(incremental)"), std::string::npos) << r.out;
        if (step.says) {
            EXPECT_NE(r.err.find(step.says), std::string::npos) << r.err;
        }
        // A job that could compare collects nothing: nothing changed.
        if (!step.full) {
            EXPECT_TRUE(Collected(List(results), true).empty());
        }
        CScanJobState state;
        ASSERT_TRUE(state.Load(results).IsSuccess());
        EXPECT_EQ(state.lastScan.dirChangeKind, step.kind ? step.kind : "flat");
    }

    // A kind the job does not know, in the record: full, and why.
    CScanJobState state;
    ASSERT_TRUE(state.Load(results).IsSuccess());
    state.lastScan.dirChangeKind = "btree";
    ASSERT_TRUE(state.Save(results).IsSuccess());
    RunResult r = Scan(root, results, "flat");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("unknown DirChange kind"), std::string::npos) << r.err;

    // The setting chooses when the command line does not; one that is no kind is said and passed over.
    for (const char* value : {"segments", "bogus"}) {
        WriteFile(dir / "settings.conf", std::string("[FileSystemAgent]\nDirChangeKind=") + value + "\n");
        ::setenv("SCAN_SETTINGS_FILE", (dir / "settings.conf").c_str(), 1);
        r = Fsscan({"scan", "--content", root, "--results", results});
        ::unsetenv("SCAN_SETTINGS_FILE");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        ASSERT_TRUE(state.Load(results).IsSuccess());
        EXPECT_EQ(state.lastScan.dirChangeKind, "segments");
    }
    EXPECT_NE(r.err.find("the setting is not a DirChange kind"), std::string::npos) << r.err;

    EXPECT_EQ(Scan(root, results, "btree").exitCode, 2);
    r = Fsscan({"scan", "--content", root, "--results", results, "--dirchange", "segments", "--folders-only"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("always keeps files"), std::string::npos) << r.err;
}

}  // namespace
