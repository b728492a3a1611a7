// Scanner threads sharing one flat-file index, and segment DirChanges of several threads sharing
// the process-wide name cache.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/dirchange/SymLinkDirChange.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;
using Flags = BDirChangeItemFlags;

constexpr int kThreads = 4;
constexpr int kFolders = 40;
constexpr int kFiles = 20;

std::string FolderName(int f) { return "/data/d" + std::to_string(f); }

TEST(FlatFileIndexThreads, ThreadsAskAndAddFoldersOfOneIndex) {
    ScopedTempDir dir;
    std::string previous;
    for (int f = 0; f < kFolders; ++f) {
        previous += FolderName(f) + "/\n";
        for (int i = 0; i < kFiles; ++i) previous += "\tfile" + std::to_string(i) + "\n";
    }
    WriteFile(dir / "prev", previous);
    CPathCacheFlatFileIndex index;
    index.SetIncludeFiles(true);
    ASSERT_TRUE(index.LoadFile(dir / "prev", nullptr).IsSuccess());
    ASSERT_TRUE(index.SetCurrentBackingFile(dir / "cur", nullptr).IsSuccess());
    ASSERT_TRUE(index.AddSurface("/data").IsSuccess());
    index.SetDirchangeCacheCapacity(3);  // the threads keep evicting each other's folders

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CPathCacheFlatFileIndex shared = index;  // a copy shares the state
            for (int f = t; f < kFolders; f += kThreads) {
                const std::string folder = FolderName(f);
                FlatFileIndexFileItemMap files;
                for (int i = 0; i < kFiles + 2; ++i) {
                    const std::string name = "file" + std::to_string(i);
                    // The last two are new.
                    if (shared.IsItemInPreviousJob(folder + "/" + name, Flags::PD_FILE) != (i < kFiles)) ++wrong;
                    files.emplace(name, CFlatFileIndexFileItem(ZY_HERE, "scan"));
                }
                if (shared.AddCurrentFolder(folder, ZY_HERE, "scan", files).IsError()) ++wrong;
                if (!shared.IsItemInCurrentDirChange(folder + "/file" + std::to_string(kFiles + 1), Flags::CD_FILE)) ++wrong;
                if (shared.IsWritten(folder, Flags::COLLECT_WRITTEN)) ++wrong;
                if (shared.SetWritten(folder, Flags::COLLECT_WRITTEN).IsError()) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    for (int f = 0; f < kFolders; ++f) {
        FlatFileItemMapPtr items;
        ASSERT_TRUE(index.GetCurrentItems(FolderName(f), items).IsSuccess());
        EXPECT_EQ(items->size(), static_cast<size_t>(kFiles + 2)) << FolderName(f);
        EXPECT_TRUE(index.IsWritten(FolderName(f), Flags::COLLECT_WRITTEN));
    }
}

TEST(FlatFileIndexThreads, SegmentDirChangesOfSeveralThreadsShareTheNameCache) {
    ScopedTempDir dir;
    std::vector<std::string> files(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        std::string text;
        for (int f = 0; f < 10; ++f) {
            text += "/t" + std::to_string(t) + "/d" + std::to_string(f) + "\n";
            for (int i = 0; i <= f; ++i) text += "\tn" + std::to_string(i) + "\n";
        }
        files[t] = dir / ("dc" + std::to_string(t));
        WriteFile(files[t], text);
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            SymLinkDirChange dc;
            if (dc.LoadFile(files[t], nullptr).IsError()) ++wrong;
            for (int round = 0; round < 20; ++round) {
                for (int f = 0; f < 10; ++f) {
                    const std::string folder = "/t" + std::to_string(t) + "/d" + std::to_string(f);
                    bool found = false;
                    if (dc.LookupFile(folder + "/n" + std::to_string(f), true, found).IsError() || !found) ++wrong;
                    if (dc.LookupFile(folder + "/n" + std::to_string(f + 1), true, found).IsError() || found) ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
