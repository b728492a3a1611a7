#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "core/File.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "core/FaultInjectionEnv.h"
#include "support/TestSupport.h"

namespace {

using Entries = std::vector<std::pair<unsigned, CRestartMapFileEntry>>;
const std::string kSep = "\\/\\/";

Entries AllEntries(CRestartMapFileHandler& h) {
    Entries out;
    EXPECT_TRUE(h.PopulateEntries(out).IsSuccess());
    return out;
}

bool HasMessage(const CKoError& e, const std::string& text) { return e.AsString().find(text) != std::string::npos; }

unsigned Add(CRestartMapFileHandler& h, const std::string& path, int64_t offset = -1) {
    unsigned id = 999;
    EXPECT_TRUE(h.AddEntryIfNotExist(CRestartMapFileEntry(path, offset), id).IsSuccess());
    return id;
}

TEST(RestartMapFile, Version1LoadsByPositionAndChecksTheTrailer) {
    testsupport::ScopedTempDir dir;
    const std::string map = dir / "CollectMap_Tot.zyf";
    const std::string records = "/jr/NumColTot7.zyf" + kSep + "120 \n/jr/odd" + kSep + "name" + kSep + "-1 \n";
    testsupport::WriteFile(map, "!!!VERSION=1 \n" + records + "!!!RECS_COUNT=2 \n");

    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, false).IsSuccess());
    Entries e = AllEntries(h);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].first, 0u);
    EXPECT_EQ(e[0].second, CRestartMapFileEntry("/jr/NumColTot7.zyf", 120));
    // A path holding the separator is split at its last occurrence.
    EXPECT_EQ(e[1].first, 1u);
    EXPECT_EQ(e[1].second, CRestartMapFileEntry("/jr/odd" + kSep + "name", -1));

    testsupport::WriteFile(map, "!!!VERSION=1 \n" + records + "!!!RECS_COUNT=3 \n");
    CRestartMapFileHandler wrongCount;
    CKoError err = wrongCount.Init(dir.Path(), true, false);
    ASSERT_TRUE(FXErrorUtil::IsWin32(err, 774));
    EXPECT_EQ(err.GetMessage(), "File is corrupted, NumOfRecs found=[2], NumOfRecs recorded=[3]");
    EXPECT_TRUE(HasMessage(err, "Error in populating records from restart map file [" + map + "]"));
    // Nothing of a file that failed to load is kept.
    EXPECT_TRUE(AllEntries(wrongCount).empty());

    testsupport::WriteFile(map, "!!!VERSION=1 \n" + records);
    CRestartMapFileHandler noTrailer;
    err = noTrailer.Init(dir.Path(), true, false);
    ASSERT_TRUE(FXErrorUtil::IsWin32(err, 774));
    EXPECT_EQ(err.GetMessage(), "File is corrupted");

    testsupport::WriteFile(map, "!!!VERSION=1 \nno separator here \n!!!RECS_COUNT=1 \n");
    err = CRestartMapFileHandler().Init(dir.Path(), true, false);
    EXPECT_EQ(err.GetMessage(), "Record is corrupted");
}

TEST(RestartMapFile, UnreadableFilesAreReported) {
    testsupport::ScopedTempDir dir;
    const std::string map = dir / "CollectMap_lnc.zyf";
    CKoError err = CRestartMapFileHandler().Init(dir.Path(), false, false);
    ASSERT_TRUE(err.IsError());
    EXPECT_TRUE(HasMessage(err, "Error opening restart map file [" + map + "]"));

    testsupport::WriteFile(map, "");
    err = CRestartMapFileHandler().Init(dir.Path(), false, false);
    ASSERT_TRUE(FXErrorUtil::IsWin32(err, 774));
    EXPECT_EQ(err.GetMessage(), "Error in reading data from restart map file [" + map + "]");

    testsupport::WriteFile(map, "!!!VERSION=7 \n!!!RECS_COUNT=0 \n");
    err = CRestartMapFileHandler().Init(dir.Path(), false, false);
    ASSERT_TRUE(FXErrorUtil::IsWin32(err, 774));
    EXPECT_EQ(err.GetMessage(), "Invalid version in restart map file [" + map + "], Version found=[7]");
}

TEST(RestartMapFile, Version0TakesIdsFromNumColNames) {
    testsupport::ScopedTempDir dir;
    const std::string jr = dir.Path() + "/";
    testsupport::WriteFile(dir / "CollectMap_Tot.zyf", jr + "NumColTot3.zyf" + kSep + "300 \n" +    //
                                                            jr + "Other.zyf" + kSep + "5 \n" +      //
                                                            jr + "NumColTotx.zyf" + kSep + "5 \n" +  //
                                                            jr + "NumColTot1.zyf" + kSep + "100 \n");
    testsupport::ScopedLogCapture log(-1);
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, false).IsSuccess());
    Entries e = AllEntries(h);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].first, 0u);
    EXPECT_EQ(e[0].second, CRestartMapFileEntry(jr + "NumColTot1.zyf", 100));
    EXPECT_EQ(e[1].first, 2u);
    EXPECT_EQ(e[1].second, CRestartMapFileEntry(jr + "NumColTot3.zyf", 300));
    EXPECT_TRUE(
        log.Log().Contains("Error in extracting the restart id from the NumCol, FilePath=[" + jr + "Other.zyf]"));
    EXPECT_TRUE(log.Log().Contains("FilePath=[" + jr + "NumColTotx.zyf]"));

    // Two entries were loaded, so the counter says 2, which the file already uses: a new entry
    // must not displace it.
    EXPECT_EQ(Add(h, jr + "NumColTot4.zyf"), 3u);
    EXPECT_EQ(AllEntries(h).size(), 3u);

    // An incremental map only takes incremental NumCol names.
    testsupport::WriteFile(dir / "CollectMap_lnc.zyf", jr + "NumColTot2.zyf" + kSep + "1 \n" + jr + "NumColInc2.zyf" +
                                                            kSep + "9 \n");
    CRestartMapFileHandler inc;
    ASSERT_TRUE(inc.Init(dir.Path(), false, false).IsSuccess());
    e = AllEntries(inc);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].first, 1u);
    EXPECT_EQ(e[0].second.GetRestartOffset(), 9);
}

TEST(RestartMapFile, PathsAreOneEntryWhateverTheirCase) {
    testsupport::ScopedTempDir dir;
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, true).IsSuccess());
    EXPECT_EQ(Add(h, "/jr/NumColTot1.zyf"), 0u);
    EXPECT_EQ(Add(h, "/jr/NumColTot2.zyf", 5), 1u);
    EXPECT_EQ(Add(h, "/JR/numcoltot1.ZYF", 77), 0u);
    Entries e = AllEntries(h);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].second, CRestartMapFileEntry("/jr/NumColTot1.zyf", -1));

    ASSERT_TRUE(h.UpdateRestartOffset("/JR/NUMCOLTOT2.zyf", 4096).IsSuccess());
    ASSERT_TRUE(h.UpdateRestartOffset(0u, 12).IsSuccess());
    e = AllEntries(h);
    EXPECT_EQ(e[0].second.GetRestartOffset(), 12);
    EXPECT_EQ(e[1].second.GetRestartOffset(), 4096);

    EXPECT_TRUE(FXErrorUtil::IsWin32(h.RemoveEntry("/jr/NumColTot9.zyf"), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.RemoveEntry(9u), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.UpdateRestartOffset("/jr/NumColTot9.zyf", 1), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.UpdateRestartOffset(9u, 1), 1168));

    ASSERT_TRUE(h.RemoveEntry("/jr/numcoltot1.zyf").IsSuccess());
    ASSERT_TRUE(h.RemoveEntry(1u).IsSuccess());
    EXPECT_TRUE(AllEntries(h).empty());
    // Ids are never reused within a map's life.
    EXPECT_EQ(Add(h, "/jr/NumColTot1.zyf"), 2u);

    // A path that would break the line format is refused.
    unsigned id = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.AddEntryIfNotExist(CRestartMapFileEntry("/jr/a\nb"), id), 87));
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.AddEntryIfNotExist(CRestartMapFileEntry(""), id), 87));
}

TEST(RestartMapFile, FlushWritesVersion1AndReloadsByPosition) {
    testsupport::ScopedTempDir dir;
    const std::string map = dir / "CollectMap_Tot.zyf";
    testsupport::WriteFile(map, "old content that a new job throws away\n");
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, true).IsSuccess());
    EXPECT_EQ(h.GetRestartMapFilePath(), map);
    EXPECT_FALSE(FXFile::DoesFileExist(map));

    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(map), "!!!VERSION=1 \n!!!RECS_COUNT=0 \n");

    Add(h, "/jr/a.zyf", 10);
    Add(h, "/jr/b" + kSep + "c.zyf", -1);
    Add(h, "/jr/d.zyf", 1LL << 40);
    ASSERT_TRUE(h.RemoveEntry("/jr/a.zyf").IsSuccess());
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(map), "!!!VERSION=1 \n/jr/b" + kSep + "c.zyf" + kSep + "-1 \n/jr/d.zyf" + kSep +
                                              "1099511627776 \n!!!RECS_COUNT=2 \n");
    EXPECT_FALSE(FXFile::DoesFileExist(map + ".tmp"));

    CRestartMapFileHandler reloaded;
    ASSERT_TRUE(reloaded.Init(dir.Path(), true, false).IsSuccess());
    Entries e = AllEntries(reloaded);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], std::make_pair(0u, CRestartMapFileEntry("/jr/b" + kSep + "c.zyf", -1)));
    EXPECT_EQ(e[1], std::make_pair(1u, CRestartMapFileEntry("/jr/d.zyf", 1LL << 40)));
    EXPECT_EQ(Add(reloaded, "/jr/e.zyf"), 2u);
}

TEST(RestartMapFile, CollectInfoAddsDisksThenComponentsInTheFolder) {
    testsupport::ScopedTempDir dir;
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), false, true).IsSuccess());
    Add(h, dir / "NumColInc2.zyf", 50);

    FileScan::CollectInfo info;
    info.components.push_back({"SystemState", true, {{"NumColInc9.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR}}});
    FileScan::DiskCollectInfo disk;
    disk.name = "UnknownPhysicalMedia";
    disk.volumes.push_back({"/data", {{"NumColInc1.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR},
                                      {"/elsewhere/NUMCOLINC2.zyf", FileScan::COLLECT_FILE_TYPE_FILE_EXTENT}}});
    disk.volumes.push_back({"/home", {{"NumColInc3.zyf", FileScan::COLLECT_FILE_TYPE_SECONDARY}}});
    info.disks.push_back(disk);
    ASSERT_TRUE(h.AddEntriesFromCollectInfoIfNotExist(info).IsSuccess());

    Entries e = AllEntries(h);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].second, CRestartMapFileEntry(dir / "NumColInc2.zyf", 50));
    EXPECT_EQ(e[1].second, CRestartMapFileEntry(dir / "NumColInc1.zyf", -1));
    EXPECT_EQ(e[2].second, CRestartMapFileEntry(dir / "NumColInc3.zyf", -1));
    EXPECT_EQ(e[3].second, CRestartMapFileEntry(dir / "NumColInc9.zyf", -1));
    EXPECT_EQ(e[3].first, 3u);
}

TEST(RestartMapFile, FailedFlushOnAFullDiskKeepsThePreviousMap) {
    testsupport::ScopedTempDir disk;
    const std::string map = disk.Path() + "/CollectMap_Tot.zyf";
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(disk.Path(), true, true).IsSuccess());
    Add(h, "/jr/NumColTot1.zyf", 7);
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    const std::string before = testsupport::ReadFile(map);
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Write, 1, ENOSPC, true, true);

    // A few more entries fit the stream buffer and fail when flushed; many fail while written.
    Add(h, "/jr/NumColTot2.zyf", 8);
    CKoError err = h.FlushToFile();
    ASSERT_TRUE(err.IsError());
    EXPECT_TRUE(HasMessage(err, "Error in flushing restart map file [" + map + "]")) << err.AsString();
    for (int i = 3; i < 5000; ++i) Add(h, "/jr/NumColTot" + std::to_string(i) + ".zyf", i);
    err = h.FlushToFile();
    ASSERT_TRUE(FXErrorUtil::IsErrNo(err, ENOSPC)) << err.AsString();
    EXPECT_EQ(err.GetMessage().rfind("Error in writing the entries in restart map file [" + map + "]", 0), 0u);

    EXPECT_EQ(testsupport::ReadFile(map), before);
    EXPECT_FALSE(FXFile::DoesFileExist(map + ".tmp"));
    CRestartMapFileHandler reloaded;
    ASSERT_TRUE(reloaded.Init(disk.Path(), true, false).IsSuccess());
    EXPECT_EQ(AllEntries(reloaded).size(), 1u);

    // Once there is room again the whole map goes out.
    env.ClearFaults();
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    ASSERT_TRUE(reloaded.Init(disk.Path(), true, false).IsSuccess());
    EXPECT_EQ(AllEntries(reloaded).size(), 4999u);
}

TEST(RestartMapFile, FailedFlushInAFolderThatTakesNothingKeepsThePreviousMap) {
    testsupport::ScopedTempDir dir;
    const std::string map = dir / "CollectMap_Tot.zyf";
    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, true).IsSuccess());
    Add(h, "/jr/NumColTot1.zyf", 7);
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    const std::string before = testsupport::ReadFile(map);
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Open, 1, EPERM);  // an immutable folder

    Add(h, "/jr/NumColTot2.zyf", 8);
    CKoError err = h.FlushToFile();
    ASSERT_TRUE(err.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EPERM)) << err.AsString();
    EXPECT_TRUE(HasMessage(err, "Error opening restart map file [" + map + "]")) << err.AsString();
    EXPECT_EQ(testsupport::ReadFile(map), before);
    // Nor does a failed rename or folder sync pass for a flush.
    for (EFaultOp op : {EFaultOp::Sync, EFaultOp::Rename, EFaultOp::SyncDir}) {
        env.FailNth(op, 1, EIO);
        err = h.FlushToFile();
        EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << AsString(op) << ": " << err.AsString();
    }
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    EXPECT_EQ(AllEntries(h).size(), 2u);
}

// A backup killed in the middle of a flush must restart from a map that loads. The child says
// when its first flush is done, so that a slow start on a busy machine cannot use up the time
// before the kill; the kill then lands at a random moment of the flushes that follow.
TEST(RestartMapFile, KillDuringFlushesLeavesALoadableMap) {
    testsupport::ScopedTempDir dir;
    std::mt19937 rng(11);
    for (int round = 0; round < 12; ++round) {
        // The child says when its first flush is done, so that a loaded machine still kills it
        // while it flushes rather than before it has begun.
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            CRestartMapFileHandler h;
            // An earlier round may have been killed before its first flush.
            bool create = !FXFile::DoesFileExist(dir / "CollectMap_Tot.zyf");
            if (h.Init(dir.Path(), true, create).IsError()) ::_exit(3);
            for (int i = 0;; ++i) {
                unsigned id = 0;
                std::string path = "/jr/some/longer/folder/name/NumColTot" + std::to_string(i) + ".zyf";
                if (h.AddEntryIfNotExist(CRestartMapFileEntry(path, i), id).IsError()) ::_exit(4);
                if (i % 200 == 0 && h.FlushToFile().IsError()) ::_exit(5);
                if (i == 0 && ::write(ready[1], "r", 1) != 1) ::_exit(6);
            }
        }
        ::close(ready[1]);
        char byte = 0;
        const bool flushedOnce = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        ::usleep(rng() % 30000);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(flushedOnce) << "child ended with " << WEXITSTATUS(status);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with " << WEXITSTATUS(status);
        ASSERT_TRUE(FXFile::DoesFileExist(dir / "CollectMap_Tot.zyf"));
        CRestartMapFileHandler loaded;
        CKoError err = loaded.Init(dir.Path(), true, false);
        ASSERT_TRUE(err.IsSuccess()) << "round " << round << ": " << err.AsString();
        Entries e = AllEntries(loaded);
        ASSERT_FALSE(e.empty());
        for (size_t i = 0; i < e.size(); ++i) ASSERT_EQ(e[i].first, i);
    }
}

}  // namespace
