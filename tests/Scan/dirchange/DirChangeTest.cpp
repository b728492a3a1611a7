#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/FaultInjectionEnv.h"
#include "core/File.h"
#include "scan/content/ContentMapper.h"
#include "scan/dirchange/DirChange.h"
#include "scan/dirchange/PathCacheCombineFlags.h"
#include "support/TestSupport.h"
#include "scan/content/LiveSyncRepContentMapper.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;
using Flags = BDirChangeItemFlags;

const Flags kFolder(Flags::CURRENTDIRCHANGE);
const Flags kFile(Flags::CURRENTDIRCHANGE | Flags::CD_FILE);
const Flags kCollectedFile = kFile | Flags(Flags::CURRENTCOLLECT | Flags::CC_FILE);
const std::string kNoText;

// Everything a stream-writing operation writes, through a memory stream.
template <class Write>
std::string Capture(Write&& write) {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    EXPECT_TRUE(write(stream).IsSuccess());
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}
std::string CurrentDirChange(CDirChange& dc) {
    return Capture([&](FILE* f) { return dc.WriteCurrentDirChange(f); });
}
std::string DeletedItems(CDirChange& dc, bool listEveryItem) {
    return Capture([&](FILE* f) { return dc.WriteDeletedItems(f, listEveryItem); });
}

void Add(CDirChange& dc, const std::string& path, Flags flags) {
    ASSERT_TRUE(dc.AddItem(path, flags, kNoText, FVBasePtr()).IsSuccess());
}

Flags FlagsOf(CDirChange& dc, const std::string& path) {
    Flags flags;
    EXPECT_EQ(dc.search(path, flags), EPathCacheResult::FOUND_EXACT) << path;
    return flags;
}

const char* const kPrevious =
    "Version2\n"
    "/a/\n"
    "\tf1\n"
    "/a/b/\n"
    "\tg\n"
    "/c/\n";

class DirChangeTest : public ::testing::Test {
protected:
    void Load(CDirChange& dc, bool includeFiles, const std::string& content = kPrevious) {
        WriteFile(m_dir / "prev", content);
        dc.SetIncludeFiles(includeFiles);
        ASSERT_TRUE(dc.LoadFile(m_dir / "prev", nullptr).IsSuccess());
        ASSERT_TRUE(dc.IsPreviousDirChangeLoaded());
    }
    ScopedTempDir m_dir;
};

TEST_F(DirChangeTest, WithoutIncludeFilesOnlyFoldersAreTracked) {
    CDirChange dc;
    Load(dc, false);
    // A file question is answered for its folder; a path without a parent counts as known.
    Flags flags;
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/b/never-seen", flags, Flags::PD_FILE));
    EXPECT_EQ(flags, Flags(Flags::PREVIOUSDIRCHANGE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/x/f1", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("f1", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/b", Flags::PREVIOUSDIRCHANGE));
    // Files are neither loaded nor added, never in the current DirChange or collect, and may
    // always go to the collect.
    Add(dc, "/a/f1", kCollectedFile);
    EXPECT_EQ(dc.search("/a/f1", flags), EPathCacheResult::FOUND_PARENT);
    EXPECT_TRUE(dc.IsItemEligibleForCurrentCollect("/a/f1", Flags::CD_FILE));
    EXPECT_FALSE(dc.IsItemInCurrentDirChange("/a/f1", Flags::CD_FILE));
    EXPECT_FALSE(dc.IsItemInCurrentCollect("/a/f1", Flags::CC_FILE));
    Add(dc, "/a", kFolder | Flags(Flags::CURRENTCOLLECT));
    EXPECT_TRUE(dc.IsItemInCurrentDirChange("/a", Flags::CURRENTDIRCHANGE));
    EXPECT_TRUE(dc.IsItemInCurrentCollect("/a", Flags::CURRENTCOLLECT));
    EXPECT_FALSE(dc.IsItemEligibleForCurrentCollect("/a/b", Flags::CURRENTDIRCHANGE));
}

TEST_F(DirChangeTest, WithIncludeFilesOnlyFileQuestionsAreAnswered) {
    CDirChange dc;
    Load(dc, true);
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a", Flags::PREVIOUSDIRCHANGE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/b/g", Flags::PD_FILE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a/b/missing", Flags::PD_FILE));
    Add(dc, "/a/f1", kCollectedFile);
    Add(dc, "/a", kFolder);
    Flags flags;
    EXPECT_TRUE(dc.IsItemInCurrentDirChange("/a/f1", flags, Flags::CD_FILE));
    EXPECT_EQ(flags, Flags(Flags::PREVIOUSDIRCHANGE | Flags::PD_FILE) | kCollectedFile);
    EXPECT_TRUE(dc.IsItemInCurrentCollect("/a/f1", Flags::CC_FILE));
    EXPECT_FALSE(dc.IsItemInCurrentDirChange("/a", Flags::CURRENTDIRCHANGE));
    EXPECT_FALSE(dc.IsItemInCurrentCollect("/a/f1", Flags::CURRENTCOLLECT));
}

TEST_F(DirChangeTest, LoadingAcceptsBothHeaderFormsMonikersAndAMapper) {
    const std::string body = "UNC-NT_srv/share/dir\n\tf\n/host/x/\n\ty\n";
    CDirChange plain, versioned;
    Load(plain, true, body);
    Load(versioned, true, "Version2\n" + body);
    EXPECT_EQ(DeletedItems(plain, true), DeletedItems(versioned, true));
    EXPECT_TRUE(plain.IsItemInPreviousJob("//srv/share/dir/f", Flags::PD_FILE));

    CLiveSyncRepContentMapper mapper;
    ASSERT_EQ(mapper.AddContentMapEntry("/host", "/proxy", 0), 0);
    ASSERT_TRUE(mapper.Initialize().IsSuccess());
    CDirChange mapped;
    mapped.SetIncludeFiles(true);
    ASSERT_TRUE(mapped.LoadFile(m_dir / "prev", &mapper).IsSuccess());
    EXPECT_TRUE(mapped.IsItemInPreviousJob("/proxy/x/y", Flags::PD_FILE));
    EXPECT_FALSE(mapped.IsItemInPreviousJob("/host/x/y", Flags::PD_FILE));
}

TEST_F(DirChangeTest, MissingPreviousFileIsAnErrorAndLeavesTheObjectEmpty) {
    CDirChange dc;
    const std::string name = m_dir / "absent";
    CKoError error = dc.LoadFile(name, nullptr);
    ASSERT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("Failed to open previous DirChange file, FileName=[" + name + "]"), std::string::npos);
    EXPECT_FALSE(dc.IsPreviousDirChangeLoaded());
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a", Flags::PREVIOUSDIRCHANGE));
}

TEST_F(DirChangeTest, IntermediateFoldersAndTheThreeOutputs) {
    CDirChange dc;
    Load(dc, true);
    Add(dc, "/a", kFolder);
    Add(dc, "/a/f1", kCollectedFile);
    Add(dc, "/a/new", kCollectedFile);
    Add(dc, "/d/e/x", kCollectedFile);
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());

    EXPECT_EQ(FlagsOf(dc, "/d/e"), Flags(Flags::CD_INTERMEDIATE) | Flags(Flags::CC_INTERMEDIATE));
    EXPECT_EQ(FlagsOf(dc, "/d"), Flags(Flags::CD_INTERMEDIATE) | Flags(Flags::CC_INTERMEDIATE));
    // /a was already in the current DirChange, so only the collect mark is new there.
    EXPECT_EQ(FlagsOf(dc, "/a"), Flags(Flags::PREVIOUSDIRCHANGE) | kFolder | Flags(Flags::CC_INTERMEDIATE));
    EXPECT_FALSE(FlagsOf(dc, "/a/b").IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK));

    ASSERT_TRUE(dc.WriteCurrentDirChangeFile(m_dir / "cur").IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "cur"), "/\n/a/\n\tf1\n\tnew\n/d/\n/d/e/\n\tx\n");
    EXPECT_EQ(CurrentDirChange(dc), ReadFile(m_dir / "cur"));

    int64_t count = -1;
    ASSERT_TRUE(dc.WriteCurrentCollectFile(m_dir / "collect", count).IsSuccess());
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ReadFile(m_dir / "collect"), "?\?\?/?\n?\?\?/a?\n*?\?/a/f1\n*?\?/a/new\n?\?\?/d?\n?\?\?/d/e?\n*?\?/d/e/x\n");

    EXPECT_EQ(DeletedItems(dc, false), "??D/c/\n??D/a/b/\n");
    EXPECT_EQ(DeletedItems(dc, true), "??d/c/\n??d/a/b/\n??d/a/b/g\n");
}

TEST_F(DirChangeTest, IntermediateMarksStopAtTheFirstFolderAlreadyInTheCurrentJob) {
    CDirChange dc;
    dc.SetIncludeFiles(true);
    Add(dc, "/a", Flags(Flags::CD_ANCESTOR));
    Add(dc, "/a/b/c", kFile);
    Add(dc, "/a/b/c2", kFile);
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());
    EXPECT_EQ(FlagsOf(dc, "/a/b"), Flags(Flags::CD_INTERMEDIATE));
    EXPECT_EQ(FlagsOf(dc, "/a"), Flags(Flags::CD_ANCESTOR));
    Flags flags;
    EXPECT_EQ(dc.search("/", flags), EPathCacheResult::NOT_FOUND);
    // An ancestor entry belongs to the current DirChange too.
    EXPECT_EQ(CurrentDirChange(dc), "/a/\n/a/b/\n\tc\n\tc2\n");
}

TEST_F(DirChangeTest, CarriedItemsAreKeptAndNotDeleted) {
    CDirChange dc;
    Load(dc, true,
         "/top/\n\tkeep\n/top/unreadable/\n\tf\n/top/unreadable/sub/\n\tg\n/top/gone/\n\th\n");
    Add(dc, "/top", kFolder);
    Add(dc, "/top/keep", kFile);
    // The scan could not read /top/unreadable: it is neither deleted nor forgotten.
    ASSERT_TRUE(dc.CarryForward("/top/unreadable").IsSuccess());
    ASSERT_TRUE(dc.CarryForward("/not/known").IsSuccess());
    ASSERT_TRUE(dc.CarryForward("/top/gone/missing").IsSuccess());
    EXPECT_EQ(FlagsOf(dc, "/top/unreadable/sub/g"),
              Flags(Flags::PREVIOUSDIRCHANGE | Flags::PD_FILE) | kFile);
    Flags flags;
    EXPECT_NE(dc.search("/not/known", flags), EPathCacheResult::FOUND_EXACT);
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());
    EXPECT_EQ(DeletedItems(dc, true), "??d/top/gone/\n??d/top/gone/h\n");
    EXPECT_EQ(CurrentDirChange(dc), "/\n/top/\n\tkeep\n/top/unreadable/\n\tf\n/top/unreadable/sub/\n\tg\n");
}

TEST_F(DirChangeTest, CarryingForwardAfterIntermediateMarksStillMarksTheFoldersAbove) {
    CDirChange dc;
    // Only the deep folder was recorded: the folders above it are bare trie steps.
    Load(dc, true, "/x/y/z/\n\tf\n");
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());
    ASSERT_TRUE(dc.CarryForward("/x").IsSuccess());
    EXPECT_EQ(DeletedItems(dc, false), "");
    EXPECT_EQ(CurrentDirChange(dc), "/\n/x/\n/x/y/\n/x/y/z/\n\tf\n");
}

// Running out of memory in the middle of the walk is an error, not an exception through a
// function that returns CKoError.
TEST_F(DirChangeTest, CarryingForwardWithoutMemoryIsAnError) {
    CDirChange dc;
    const std::string longName(4000, 'n');
    Load(dc, true, "/top/" + longName + "/\n\tf\n");
    CKoError error;
    bool threw = false;
    {
        testsupport::ScopedAllocationLimit limit(1000);
        try {
            error = dc.CarryForward("/");
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, ZyWin32::ERROR_OUTOFMEMORY)) << error.AsString();
    ASSERT_TRUE(dc.CarryForward("/").IsSuccess());
    EXPECT_TRUE(FlagsOf(dc, "/top/" + longName + "/f").IsSet(Flags::CURRENTDIRCHANGE));
}

// A previous DirChange with a line too long for the memory there is fails to load, cleanly.
TEST_F(DirChangeTest, LoadingWithoutMemoryIsAnError) {
    WriteFile(m_dir / "prev", "/top/\n\t" + std::string(300000, 'n') + "\n");
    CDirChange dc;
    dc.SetIncludeFiles(true);
    CKoError error;
    bool threw = false;
    {
        testsupport::ScopedAllocationLimit limit(100000);
        try {
            error = dc.LoadFile(m_dir / "prev", nullptr);
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, ZyWin32::ERROR_OUTOFMEMORY)) << error.AsString();
}

TEST_F(DirChangeTest, OutputFailures) {
    CDirChange dc;
    Load(dc, true);
    Add(dc, "/a/f1", kFile);
    const std::string noFolder = m_dir / "no/such/folder/file";
    CKoError error = dc.WriteCurrentDirChangeFile(noFolder);
    ASSERT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("Failed to open DirChange file, FileName=" + noFolder), std::string::npos);
    int64_t count = 7;
    error = dc.WriteCurrentCollectFile(noFolder, count);
    ASSERT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("Failed to open Collect file, FileName=" + noFolder), std::string::npos);
    EXPECT_EQ(count, 0);

    // A write or close that fails is not a DirChange (or collect file) written.
    Add(dc, "/a/f2", kCollectedFile);
    {
        FXFaultInjectionEnv env;
        FXScopedEnv scoped(&env);
        for (EFaultOp op : {EFaultOp::Write, EFaultOp::Close}) {
            env.FailNth(op, 1, ENOSPC);
            error = dc.WriteCurrentDirChangeFile(m_dir / "dc");
            EXPECT_TRUE(FXErrorUtil::IsErrNo(error, ENOSPC)) << AsString(op) << ": " << error.AsString();
            EXPECT_NE(error.AsString().find("Failed to write DirChange file, FileName=" + m_dir / "dc"), std::string::npos);
            env.FailNth(op, 1, ENOSPC);
            count = 7;
            error = dc.WriteCurrentCollectFile(m_dir / "collect", count);
            EXPECT_TRUE(FXErrorUtil::IsErrNo(error, ENOSPC)) << AsString(op) << ": " << error.AsString();
            EXPECT_EQ(count, 0);
        }
    }

    // A stream that fails reports the failure to the caller who owns it.
    std::string sink;
    FILE* failing = testsupport::OpenFailingStream(&sink, 1);
    error = dc.WriteCurrentDirChange(failing);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 28)) << error.AsString();
    std::fclose(failing);
    failing = testsupport::OpenFailingStream(&sink, 1);
    error = dc.WriteDeletedItems(failing, true);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 28)) << error.AsString();
    std::fclose(failing);
}

// Searches and additions answer as the trie itself does, whatever form the paths take and in
// whatever order folders are visited.
TEST(DirChangeSearch, AgreesWithTheTrie) {
    std::mt19937 rng(99);
    const std::vector<std::string> parts = {"a", "b", "c", "", "/", "\\", "x y"};
    auto randomPath = [&] {
        std::string path = rng() % 4 ? "/" : (rng() % 2 ? "" : "//");
        const int n = static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
            if (i) path += rng() % 6 ? "/" : "//";
            path += parts[rng() % parts.size()];
        }
        if (rng() % 8 == 0) path += "/";
        return path;
    };
    for (int round = 0; round < 20; ++round) {
        CDirChange dc;
        dc.SetIncludeFiles(true);
        CPathCacheOrderedT<Flags> reference;
        for (int op = 0; op < 300; ++op) {
            const std::string path = randomPath();
            if (rng() % 3 == 0) {
                const Flags flags(static_cast<uint32_t>(rng()) & 0x3FF3);
                Add(dc, path, flags);
                ASSERT_TRUE(reference.InsertOrUpdate<CombineFlags>(path, flags).IsSuccess());
            }
            Flags got(0xFFFF), expected(0xFFFF);
            const EPathCacheResult result = dc.search(path, got);
            ASSERT_EQ(result, reference.Search(path, expected)) << "[" << path << "]";
            ASSERT_EQ(got, expected) << "[" << path << "]";
        }
    }
}

// A previous DirChange file that is damaged must load without harm and leave the object usable.
TEST_F(DirChangeTest, DamagedPreviousFilesLoad) {
    std::vector<std::string> contents = {
        "",
        "\n\n\n",
        "/a/\n\tf1\n/a/b/\n\tpartial-na",
        std::string("/a\0b/\n\tf\0g\n\t\n\t/\n\t\\\n", 19),
        "\t\tfile-before-any-folder\n\r\n\r\r\t\r",
        "/a/\n\t" + std::string(1 << 20, 'n') + "\n/b/\n",
        std::string(1 << 20, '/') + "\n\t" + std::string(70000, '\t'),
    };
    std::mt19937 rng(77);
    const char alphabet[] = {'\n', '\t', '/', '\0', '\r', 'a', 'b', '\\', '\xff', '%', ' '};
    for (int i = 0; i < 60; ++i) {
        std::string garbage(std::uniform_int_distribution<size_t>(1, 3000)(rng), '\0');
        for (char& c : garbage)
            c = i % 2 ? static_cast<char>(rng()) : alphabet[rng() % sizeof(alphabet)];
        contents.push_back(garbage);
    }
    for (size_t i = 0; i < contents.size(); ++i) {
        for (bool includeFiles : {false, true}) {
            CDirChange dc;
            Load(dc, includeFiles, contents[i]);
            ASSERT_TRUE(dc.CarryForward("/").IsSuccess());
            Add(dc, "/known/folder", kFolder);
            Add(dc, "/known/folder/file", kFile);
            ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());
            EXPECT_TRUE(FlagsOf(dc, "/known/folder").IsSet(Flags::CURRENTDIRCHANGE));
            const std::string written = CurrentDirChange(dc);
            EXPECT_NE(written.find("/known/folder/\n"), std::string::npos) << i;
            EXPECT_TRUE(DeletedItems(dc, true).empty()) << i;  // everything was carried forward
            int64_t count = 0;
            EXPECT_TRUE(dc.WriteCurrentCollectFile(m_dir / "collect", count).IsSuccess());

            // What was written loads again, and the next round writes the same.
            CDirChange next;
            Load(next, includeFiles, written);
            ASSERT_TRUE(next.CarryForward("/").IsSuccess());
            ASSERT_TRUE(next.IdentifyIntermediateNodes().IsSuccess());
            CDirChange third;
            Load(third, includeFiles, CurrentDirChange(next));
            ASSERT_TRUE(third.CarryForward("/").IsSuccess());
            ASSERT_TRUE(third.IdentifyIntermediateNodes().IsSuccess());
            EXPECT_TRUE(CurrentDirChange(third) == CurrentDirChange(next)) << i;
        }
    }
}

// Random trees of awkward names: what a job writes loads back as the same folders and files, and
// the deleted items of the next job are exactly what it did not see again. Items are kept as the
// deleted-item lists show them: folders with a trailing "/", the root as "/".
std::string RandomName(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {"a", "B", "z", " ", "\t", "%41", "%", "%zz", "|", ".", "-",
                                                    "\xc3\xa9", "\xff", "\x80", "\\", "name", "Version2", "\x01"};
    std::string name;
    for (int i = std::uniform_int_distribution<int>(1, 4)(rng); i > 0; --i) name += pieces[rng() % pieces.size()];
    return name == "\\" ? "\\\\" : name;  // a lone backslash joins a path as a delimiter
}

std::string Parent(std::string path) {
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path.substr(0, path.rfind('/') + 1);
}

std::set<std::string> Listed(const std::string& deleted) {
    std::set<std::string> items;
    for (size_t start = 0, end; start < deleted.size(); start = end + 1) {
        end = deleted.find('\n', start);
        items.insert(deleted.substr(start + 3, end - start - 3));
    }
    return items;
}

TEST_F(DirChangeTest, RoundTripOfRandomTrees) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 25; ++round) {
        std::set<std::string> tree{"/"};
        std::vector<std::string> folders{"/"}, items;
        for (int i = 0; i < 400; ++i) {
            std::string path = folders[rng() % folders.size()] + RandomName(rng);
            if (tree.count(path) || tree.count(path + "/")) continue;
            if (rng() % 4 == 0) folders.push_back(path += "/");
            tree.insert(path);
            items.push_back(path);
        }
        std::shuffle(items.begin(), items.end(), rng);
        CDirChange job;
        job.SetIncludeFiles(true);
        for (const auto& item : items) Add(job, item, item.back() == '/' ? kFolder : kFile);
        ASSERT_TRUE(job.IdentifyIntermediateNodes().IsSuccess());
        ASSERT_TRUE(job.WriteCurrentDirChangeFile(m_dir / "dc").IsSuccess());

        CDirChange next;
        next.SetIncludeFiles(true);
        ASSERT_TRUE(next.LoadFile(m_dir / "dc", nullptr).IsSuccess());
        EXPECT_EQ(Listed(DeletedItems(next, true)), tree) << round;
        for (const auto& item : items)
            EXPECT_EQ(next.IsItemInPreviousJob(item, Flags::PD_FILE), item.back() != '/') << item;

        // The next job sees a random part again (and with it the folders above).
        std::set<std::string> seen{"/"};
        for (const auto& item : items) {
            if (rng() % 3 == 0) continue;
            Add(next, item, item.back() == '/' ? kFolder : kFile);
            for (std::string p = item; p != "/"; p = Parent(p)) seen.insert(p);
        }
        ASSERT_TRUE(next.IdentifyIntermediateNodes().IsSuccess());
        std::set<std::string> gone, topmost;
        for (const auto& item : tree)
            if (!seen.count(item)) gone.insert(item);
        for (const auto& item : gone)
            if (!gone.count(Parent(item))) topmost.insert(item);
        EXPECT_EQ(Listed(DeletedItems(next, true)), gone) << round;
        EXPECT_EQ(Listed(DeletedItems(next, false)), topmost) << round;
    }
}

}  // namespace
