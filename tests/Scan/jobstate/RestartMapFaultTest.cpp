// A fault sweep of the restart-map flush: for every kind of file operation and every k the k-th
// one fails, and separately the machine stops after the k-th operation of any kind (what was not
// synced is then dropped). The map that loads afterwards is the old one or the new one, whole; a
// flush that reported success survives the crash; flushing again gives the new one.
#include <gtest/gtest.h>

#include <map>

#include "core/FaultInjectionEnv.h"
#include "core/File.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "support/TestSupport.h"

namespace {

using Entries = std::vector<std::pair<unsigned, CRestartMapFileEntry>>;

Entries Load(const std::string& folder, CKoError& e) {
    CRestartMapFileHandler h;
    Entries out;
    e = h.Init(folder, true, false);
    if (e.IsSuccess()) e = h.PopulateEntries(out);
    return out;
}

TEST(RestartMapFault, EveryFailedOrInterruptedFlushLeavesTheOldMapOrTheNewOne) {
    testsupport::ScopedTempDir dir;
    FXFaultInjectionEnv quiet;  // syncs are modelled, not made: the sweep would mostly wait for the disk
    quiet.SetSyncsReachTheDisk(false);
    FXScopedEnv quietScope(&quiet);

    CRestartMapFileHandler h;
    ASSERT_TRUE(h.Init(dir.Path(), true, true).IsSuccess());
    // Enough entries that the map takes several writes of the stream's buffer.
    for (int i = 1; i <= 1500; ++i) {
        unsigned id = 0;
        ASSERT_TRUE(h.AddEntryIfNotExist(CRestartMapFileEntry(dir / ("NumColTot" + std::to_string(i) + ".zyf")), id).IsSuccess());
    }
    ASSERT_TRUE(h.FlushToFile().IsSuccess());
    const std::string map = h.GetRestartMapFilePath();
    const std::string oldBytes = testsupport::ReadFile(map);
    CKoError e;
    const Entries oldMap = Load(dir.Path(), e);
    ASSERT_TRUE(e.IsSuccess());
    // The backup got on: offsets move, a file is done, another comes.
    ASSERT_TRUE(h.UpdateRestartOffset(0, 4096).IsSuccess());
    ASSERT_TRUE(h.UpdateRestartOffset(2, -999).IsSuccess());
    unsigned id = 0;
    ASSERT_TRUE(h.AddEntryIfNotExist(CRestartMapFileEntry(dir / "NumColTot1501.zyf", 12), id).IsSuccess());
    Entries newMap;
    ASSERT_TRUE(h.PopulateEntries(newMap).IsSuccess());

    auto reset = [&] {
        testsupport::WriteFile(map, oldBytes);
        FXFile::RemoveFile(map + ".tmp").IgnoreError();
    };
    std::array<uint64_t, kFaultOpKinds> counts{};
    {
        reset();
        FXFaultInjectionEnv counter(&quiet);
        FXScopedEnv scoped(&counter);
        ASSERT_TRUE(h.FlushToFile().IsSuccess());
        counts = counter.Counts();
    }
    // What a load must find after a flush that ended as `flushed` did.
    auto check = [&](const std::string& label, bool flushed) {
        CKoError loaded;
        Entries found = Load(dir.Path(), loaded);
        ASSERT_TRUE(loaded.IsSuccess()) << label << ": " << loaded.AsString();
        if (flushed)
            EXPECT_EQ(found, newMap) << label << ": a flush that succeeded is lost";
        else
            EXPECT_TRUE(found == oldMap || found == newMap) << label << ": neither map";
        ASSERT_TRUE(h.FlushToFile().IsSuccess()) << label;
        EXPECT_EQ(Load(dir.Path(), loaded), newMap) << label;
        EXPECT_FALSE(FXFile::DoesFileExist(map + ".tmp")) << label;
    };

    uint64_t faults = 0, total = 0;
    for (int kind = 0; kind < kFaultOpKinds; ++kind) {
        const EFaultOp op = static_cast<EFaultOp>(kind);
        total += counts[kind];
        for (uint64_t k = 1; k <= counts[kind]; ++k, ++faults) {
            reset();
            FXFaultInjectionEnv env(&quiet);
            CKoError flushed;
            {
                FXScopedEnv scoped(&env);
                env.FailNth(op, k, op == EFaultOp::Write ? ENOSPC : EIO, false, true);
                flushed = h.FlushToFile();
            }
            const std::string label = std::string(AsString(op)) + " #" + std::to_string(k);
            EXPECT_EQ(env.Injected(), 1u) << label;
            // Every operation of a flush counts: none may fail unnoticed.
            EXPECT_TRUE(flushed.IsError()) << label;
            check(label, flushed.IsSuccess());
        }
    }
    for (uint64_t k = 0; k < total; ++k) {
        reset();
        FXFaultInjectionEnv env(&quiet);
        CKoError flushed;
        {
            FXScopedEnv scoped(&env);
            env.CrashAfter(k);
            flushed = h.FlushToFile();
        }
        const std::string label = "crash after " + std::to_string(k);
        ASSERT_TRUE(env.DropUnsyncedData().IsSuccess()) << label;
        check(label, flushed.IsSuccess());
    }
    std::printf("[ sweep    ] restart-map flush: %llu (operation, k) fault cases, %llu crash points\n",
                static_cast<unsigned long long>(faults), static_cast<unsigned long long>(total));
}

}  // namespace
