#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/TimeStamp.h"
#include "scan/dirchange/DirChange.h"
#include "support/TestSupport.h"

namespace {

using Flags = BDirChangeItemFlags;

constexpr int kThreads = 4;
constexpr int kFoldersPerThread = 30;
constexpr int kFilesPerFolder = 12;

std::string Folder(int thread, int folder) {
    return "/t" + std::to_string(thread) + "/d" + std::to_string(folder / 5) + "/e" + std::to_string(folder);
}
std::string File(int thread, int folder, int file) { return Folder(thread, folder) + "/f" + std::to_string(file); }
// The previous job saw the even files; every seventh folder is unreadable this time.
bool WasThere(int file) { return file % 2 == 0; }
bool Unreadable(int folder) { return folder % 7 == 3; }

std::string PreviousDirChange() {
    std::string text = "Version2\n";
    for (int t = 0; t < kThreads; ++t) {
        for (int d = 0; d < kFoldersPerThread; ++d) {
            text += Folder(t, d) + "/\n";
            for (int f = 0; f < kFilesPerFolder; ++f)
                if (WasThere(f)) text += "\tf" + std::to_string(f) + "\n";
        }
    }
    text += "/shared/\n\told\n";
    return text;
}

std::string Written(CDirChange& dc, bool deleted) {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    EXPECT_TRUE((deleted ? dc.WriteDeletedItems(stream, true) : dc.WriteCurrentDirChange(stream)).IsSuccess());
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}

// What one scanner thread does for its part of the tree; answers the number of wrong answers.
int ScanPart(CDirChange& dc, int t) {
    int wrong = 0;
    const std::string none;
    for (int d = 0; d < kFoldersPerThread; ++d) {
        const std::string folder = Folder(t, d);
        if (Unreadable(d)) {
            wrong += dc.CarryForward(folder).IsError();
            continue;
        }
        wrong += dc.IsItemInPreviousJob(folder, Flags::PREVIOUSDIRCHANGE);  // folders are not answered for
        wrong += dc.AddItem(folder, Flags(Flags::CURRENTDIRCHANGE), none, FVBasePtr()).IsError();
        for (int f = 0; f < kFilesPerFolder; ++f) {
            const std::string file = File(t, d, f);
            const bool known = dc.IsItemInPreviousJob(file, Flags::PD_FILE);
            wrong += known != WasThere(f);
            Flags flags(Flags::CURRENTDIRCHANGE | Flags::CD_FILE);
            if (!known) flags |= Flags(Flags::CURRENTCOLLECT | Flags::CC_FILE);
            wrong += dc.AddItem(file, flags, none, FVBasePtr()).IsError();
            wrong += !dc.IsItemInCurrentDirChange(file, Flags::CD_FILE);
            wrong += dc.IsItemInCurrentCollect(file, Flags::CC_FILE) == known;
            wrong += dc.SetWritten(file, Flags::COLLECT_WRITTEN).IsError();
            wrong += !dc.IsWritten(file, Flags::COLLECT_WRITTEN);
        }
        // Every thread also adds to one folder that all of them share.
        wrong += dc.AddItem("/shared/from" + std::to_string(t) + "-" + std::to_string(d),
                            Flags(Flags::CURRENTDIRCHANGE | Flags::CD_FILE), none, FVBasePtr())
                     .IsError();
    }
    return wrong;
}

TEST(DirChangeThreads, ScannerThreadsShareOneDirChange) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "prev", PreviousDirChange());

    CDirChange shared;
    shared.SetIncludeFiles(true);
    CStopWatch watch;
    shared.SetStopWatchProcess(&watch);
    ASSERT_TRUE(shared.LoadFile(dir / "prev", nullptr).IsSuccess());

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { wrong += ScanPart(shared, t); });
    // Someone watching the memory and asking about items while the scan runs.
    std::thread watcher([&] {
        int64_t last = 0;
        while (!done.load()) {
            const int64_t now = shared.GetMemoryUsed();
            wrong += now < last;
            last = now;
            wrong += !shared.IsPreviousDirChangeLoaded();
            Flags flags;
            shared.search(File(1, 2, 4), flags);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (auto& thread : threads) thread.join();
    done = true;
    watcher.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(watch.IsRunning());
    EXPECT_GT(watch.GetRuns(), 0u);

    // The same scan on one thread gives the same DirChange and the same deleted items.
    CDirChange alone;
    alone.SetIncludeFiles(true);
    ASSERT_TRUE(alone.LoadFile(dir / "prev", nullptr).IsSuccess());
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ScanPart(alone, t), 0);

    ASSERT_TRUE(shared.IdentifyIntermediateNodes().IsSuccess());
    ASSERT_TRUE(alone.IdentifyIntermediateNodes().IsSuccess());
    const std::string current = Written(shared, false);
    EXPECT_EQ(current, Written(alone, false));
    EXPECT_EQ(Written(shared, true), Written(alone, true));
    // Unreadable folders kept what the previous job had, and only /shared/old is gone.
    EXPECT_NE(current.find(Folder(2, 3) + "/\n\tf0\n\tf10\n"), std::string::npos);
    EXPECT_EQ(Written(shared, true), "??d/shared/old\n");
    shared.SetStopWatchProcess(nullptr);
}

}  // namespace
