#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "scan/collect/CollectInfoManager.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "support/TestSupport.h"

namespace {

constexpr int64_t kFinished = -2;
constexpr auto kInPool = COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL;
constexpr auto kPostPool = COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL;
constexpr auto kRegular = FSB_CTRL_COLLECT_FILE_TYPE_REGULAR;
constexpr auto kExtent = FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT;
constexpr auto kSecondary = FSB_CTRL_COLLECT_FILE_TYPE_SECONDARY;

CollectFileInfo Info(int32_t id, const std::string& name, int64_t offset = 0,
                     _COLLECT_FILE_PROCESSING_CONTEXT context = kInPool,
                     _FSB_CTRL_COLLECT_FILE_TYPE type = kRegular) {
    CollectFileInfo info;
    EXPECT_TRUE(info.Initialize(id, name, type, offset, context, CollectFileInfo::CSTATE_TO_BE_PROCESSED));
    return info;
}

// Names handed out by GetNextCollectToProcess until it has none.
std::vector<std::string> Drain(CollectInfoManager& m, _COLLECT_FILE_PROCESSING_CONTEXT context = kInPool) {
    std::vector<std::string> names;
    CollectFileInfo out;
    while (m.GetNextCollectToProcess(out, context)) {
        EXPECT_EQ(out.GetCollectState(), CollectFileInfo::CSTATE_IN_PROGRESS);
        names.push_back(out.GetCollectName());
    }
    return names;
}

FileScan::CollectInfo TwoVolumes() {
    FileScan::CollectInfo info;
    FileScan::DiskCollectInfo disk;
    disk.name = "UnknownPhysicalMedia";
    disk.volumes.push_back({"/v1", {{"/jr/NumColTot1.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR},
                                    {"/jr/NumColTot2.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR}}});
    disk.volumes.push_back({"/v2", {{"/jr/NumColTot3.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR}}});
    info.disks.push_back(disk);
    FileScan::DiskCollectInfo other;
    other.name = "sdb";
    other.volumes.push_back({"/w", {{"/jr/NumColTot4.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR}}});
    info.disks.push_back(other);
    return info;
}

TEST(CollectFileInfo, InvalidInfosAreRefused) {
    CollectFileInfo fresh;
    EXPECT_FALSE(fresh.IsValidCollect());
    EXPECT_EQ(fresh.GetCollectId(), -1);
    EXPECT_EQ(fresh.GetCollectStartOffset(), 0);
    EXPECT_EQ(fresh.GetProcessingContext(), kInPool);

    CollectInfoManager m(kFinished, 0);
    for (auto [id, name, context] : {std::make_tuple(-1, std::string("a"), kInPool),
                                     std::make_tuple(0, std::string(), kInPool),
                                     std::make_tuple(0, std::string("a"), COLLECT_FILE_PROCESSING_CONTEXT_INVALID)}) {
        CollectFileInfo info;
        EXPECT_FALSE(info.Initialize(id, name, kRegular, 5, context, CollectFileInfo::CSTATE_TO_BE_PROCESSED));
        EXPECT_FALSE(info.IsValidCollect());
        EXPECT_FALSE(m.AddCollect(info));
        EXPECT_FALSE(m.RemoveCollect(info));
    }
    EXPECT_EQ(m.GetUnassignedCollectCount(), 0u);

    CollectFileInfo info = Info(3, "/jr/NumColInc4.zyf", 120, kPostPool, kSecondary);
    EXPECT_EQ(info.PrintCollectMetadata(),
              "[Id] 3 [Name] /jr/NumColInc4.zyf [Start Offset] 120 [Type] 4096 [ProcessingContent] 3 [State] 1");
    info.Reset();
    EXPECT_FALSE(info.IsValidCollect());
    EXPECT_EQ(info.GetCollectStartOffset(), -1);
    EXPECT_EQ(info.GetCollectId(), -1);
    EXPECT_TRUE(info.GetCollectName().empty());
}

TEST(CollectInfoManager, FinishedCollectsAreNeverHandedOutNorCounted) {
    for (bool useAssigner : {true, false}) {
        CollectInfoManager m(kFinished, 0);
        m.SetUseThreadAssigner(useAssigner);
        ASSERT_TRUE(m.AddCollect(Info(0, "/jr/done", kFinished)));
        ASSERT_TRUE(m.AddCollect(Info(1, "/jr/open", 4096)));
        ASSERT_TRUE(m.AddCollect(Info(2, "/jr/post", 0, kPostPool)));
        EXPECT_EQ(m.GetInThreadPoolCollectCount(), 2u);
        EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), 1u);
        EXPECT_EQ(m.GetUnassignedCollectCount(), 2u);
        EXPECT_EQ(m.GetUnassignedInThreadPoolCollectCount(kRegular), 1u);
        EXPECT_FALSE(m.IsAllNumColsOfTypeAreProcessed(kRegular));

        EXPECT_EQ(Drain(m), (std::vector<std::string>{"/jr/open"}));
        EXPECT_EQ(m.GetInProcessingCollectCount(), 1u);
        EXPECT_EQ(m.GetUnassignedCollectCount(), 1u);
        EXPECT_TRUE(m.MarkCollectDone(1));
        EXPECT_EQ(m.GetInProcessingCollectCount(), 0u);
        EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), 0u);
        EXPECT_EQ(Drain(m, kPostPool), (std::vector<std::string>{"/jr/post"}));
        EXPECT_TRUE(m.MarkCollectDone(2));
        EXPECT_TRUE(m.IsAllNumColsOfTypeAreProcessed(kRegular));
        EXPECT_FALSE(m.MarkCollectDone(7));

        // A reader that gives a collect back (offset reset, state 1) gets it again.
        ASSERT_TRUE(m.SetCollectFileStartIndexById(1, 10));
        ASSERT_TRUE(m.SetCollectStateById(1, CollectFileInfo::CSTATE_TO_BE_PROCESSED));
        EXPECT_EQ(Drain(m), (std::vector<std::string>{"/jr/open"}));
    }
}

TEST(CollectInfoManager, EmptyAssignerLeavesTheRegistryOrder) {
    CollectInfoManager m(kFinished, 0);
    ASSERT_TRUE(m.GetUseThreadAssigner());
    ASSERT_TRUE(m.AddCollect(Info(5, "/jr/five")));
    ASSERT_TRUE(m.AddCollect(Info(2, "/jr/two")));
    ASSERT_TRUE(m.AddCollect(Info(9, "/jr/nine", 0, COLLECT_FILE_PROCESSING_CONTEXT_PRE_THREAD_POOL)));
    ASSERT_TRUE(m.AddCollect(Info(7, "/jr/seven")));
    EXPECT_EQ(Drain(m), (std::vector<std::string>{"/jr/two", "/jr/five", "/jr/seven"}));
    EXPECT_EQ(Drain(m, COLLECT_FILE_PROCESSING_CONTEXT_PRE_THREAD_POOL), (std::vector<std::string>{"/jr/nine"}));
    // A collect registered later below the last one handed out is still found.
    ASSERT_TRUE(m.AddCollect(Info(1, "/jr/one")));
    EXPECT_EQ(Drain(m), (std::vector<std::string>{"/jr/one"}));
}

TEST(CollectInfoManager, RefusedCollectsLeaveNoGapInTheIds) {
    FileScan::CollectInfo info = TwoVolumes();
    info.disks[0].volumes[0].collects.insert(info.disks[0].volumes[0].collects.begin() + 1,
                                             {"", FileScan::COLLECT_FILE_TYPE_REGULAR});
    info.disks[1].volumes[0].collects.insert(info.disks[1].volumes[0].collects.begin(),
                                             {"", FileScan::COLLECT_FILE_TYPE_REGULAR});

    testsupport::ScopedLogCapture log(2);
    CollectInfoManager m(kFinished, 33);
    std::vector<std::string> names;
    EXPECT_FALSE(m.PopulateFromCollectInfo(info, "", names));
    EXPECT_EQ(names.size(), 6u);
    EXPECT_TRUE(log.Log().Contains("Failed to add Collect File Name: [],  with Id: [1]"));
    EXPECT_TRUE(log.Log().Contains("Adding collect file with Id: [3], File Name: [/jr/NumColTot4.zyf]"));

    std::vector<std::string> registered;
    m.GetAllCollectNames(registered);
    EXPECT_EQ(registered, (std::vector<std::string>{"/jr/NumColTot1.zyf", "/jr/NumColTot2.zyf",
                                                    "/jr/NumColTot3.zyf", "/jr/NumColTot4.zyf"}));
    CollectFileInfo third;
    ASSERT_TRUE(m.GetCollectFileInfoById(2, third));
    EXPECT_EQ(third.GetCollectName(), "/jr/NumColTot3.zyf");
    EXPECT_EQ(third.GetCollectStartOffset(), 33);
    EXPECT_FALSE(m.IsCollectIdPresent(4));

    // The assigner numbered them before the refusals; its choices still name the right collects:
    // after the volume's last collect, the disk's other volume.
    std::multiset<std::string> handed;
    CollectFileInfo out;
    ASSERT_TRUE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot1.zyf"));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot2.zyf");
    handed.insert(out.GetCollectName());
    ASSERT_TRUE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot2.zyf"));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot3.zyf");
    handed.insert(out.GetCollectName());
    while (m.GetNextCollectToProcess(out, kInPool)) {
        std::string name;
        ASSERT_TRUE(m.GetCollectFileNameById(out.GetCollectId(), name));
        EXPECT_EQ(name, out.GetCollectName());
        handed.insert(out.GetCollectName());
        ASSERT_TRUE(m.MarkCollectDone(out.GetCollectId()));
    }
    EXPECT_EQ(handed, std::multiset<std::string>(registered.begin(), registered.end()));
}

TEST(CollectInfoManager, ReadersStayInTheFamilyAndSkipWhatAnEarlierAttemptFinished) {
    FileScan::CollectInfo info = TwoVolumes();
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, "", names));
    // Finished by the earlier attempt: the second collect of /v1. A reader just finished the first.
    ASSERT_TRUE(m.SetCollectFileStartIndexById(1, kFinished));
    ASSERT_TRUE(m.MarkCollectDone(0));

    CollectFileInfo out;
    ASSERT_TRUE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot1.zyf"));
    // The finished collect is passed over and the family goes on: the disk's other volume.
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot3.zyf");
    EXPECT_EQ(out.GetCollectId(), 2);
    CollectFileInfo::CSTATE state;
    ASSERT_TRUE(m.GetCollectStateById(1, state));
    EXPECT_EQ(state, CollectFileInfo::CSTATE_TO_BE_PROCESSED);
    EXPECT_EQ(m.GetUnassignedCollectCount(), 1u);
    ASSERT_TRUE(m.MarkCollectDone(2));
    ASSERT_TRUE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot3.zyf"));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot4.zyf");
    EXPECT_FALSE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot4.zyf"));
    EXPECT_EQ(m.GetUnassignedCollectCount(), 0u);
    EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), 1u);
    ASSERT_TRUE(m.MarkCollectDone(3));
    EXPECT_TRUE(m.IsAllNumColsOfTypeAreProcessed(kRegular));
}

TEST(CollectInfoManager, FileExtentCollectsComeWithTheirGroup) {
    FileScan::CollectInfo info = TwoVolumes();
    info.disks[1].volumes[0].collects.push_back({"/jr/NumColTot5.zyf", FileScan::COLLECT_FILE_TYPE_FILE_EXTENT});
    info.components.push_back({"Comp", true, {{"/jr/NumColTot6.zyf", FileScan::COLLECT_FILE_TYPE_SECONDARY}}});
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, "", names));
    _FSB_CTRL_COLLECT_FILE_TYPE type;
    ASSERT_TRUE(m.GetCollectTypeById(4, type));
    EXPECT_EQ(type, kExtent);

    CollectFileInfo out;
    EXPECT_FALSE(m.GetNextCollectOfTypeToProcess(out, kPostPool, kExtent));
    // A request for any type but the file-extent one takes the assigner's file-extent collects
    // first, with the group that supplied them.
    ASSERT_TRUE(m.GetNextCollectOfTypeToProcess(out, kInPool, kSecondary));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot5.zyf");
    EXPECT_EQ(out.GetParentGrpName(), "sdb");
    CollectFileInfo stored;
    ASSERT_TRUE(m.GetCollectFileInfoById(4, stored));
    EXPECT_EQ(stored.GetParentGrpName(), "sdb");
    // It is in progress now, so the walk over the file-extent type does not hand it out again.
    EXPECT_FALSE(m.GetNextCollectOfTypeToProcess(out, kInPool, kExtent));

    ASSERT_TRUE(m.GetNextCollectOfTypeToProcess(out, kInPool, kSecondary));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot6.zyf");
    // The regular readers never got the file-extent collect, nor the secondary one twice.
    std::vector<std::string> rest = Drain(m);
    EXPECT_EQ(std::set<std::string>(rest.begin(), rest.end()),
              (std::set<std::string>{"/jr/NumColTot1.zyf", "/jr/NumColTot2.zyf", "/jr/NumColTot3.zyf",
                                     "/jr/NumColTot4.zyf"}));
    EXPECT_EQ(rest.size(), 4u);

    // The sequential walk over a type returns the first unfinished one whatever its state.
    ASSERT_TRUE(m.GetNextCollectOfTypeToProcess(out, kRegular));
    EXPECT_EQ(out.GetCollectId(), 0);
    ASSERT_TRUE(m.MarkCollectDone(0));
    ASSERT_TRUE(m.GetNextCollectOfTypeToProcess(out, kRegular));
    EXPECT_EQ(out.GetCollectId(), 1);
}

TEST(CollectInfoManager, ContextChangesPerTypeTakeCollectsOutOfThePool) {
    FileScan::CollectInfo info = TwoVolumes();
    info.disks[0].volumes[1].collects.push_back({"/jr/NumColTot5.zyf", FileScan::COLLECT_FILE_TYPE_SECONDARY});
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, "", names));

    testsupport::ScopedLogCapture log(2);
    std::vector<int> changed;
    ASSERT_TRUE(m.ChangeCollectProcessingContextOfAllFilesOfType(kSecondary, kPostPool, &changed).IsSuccess());
    EXPECT_EQ(changed, (std::vector<int>{3}));
    EXPECT_TRUE(log.Log().Contains("Changing the processing context of collect file {/jr/NumColTot5.zyf} to [3]"));
    EXPECT_TRUE(m.IsPostThreadPoolCollect(3));
    EXPECT_FALSE(m.IsInThreadPoolCollect(3));
    EXPECT_EQ(m.GetPostThreadPoolCollectCount(), 1u);
    EXPECT_EQ(m.GetUnfinishedPostThreadPoolCollectCount(), 1u);
    std::vector<std::string> post;
    m.GetAllPostThreadPoolCollectNames(post);
    EXPECT_EQ(post, (std::vector<std::string>{"/jr/NumColTot5.zyf"}));

    // The assigner still holds it, but the pool's readers do not get it.
    std::vector<std::string> pool = Drain(m);
    EXPECT_EQ(pool.size(), 4u);
    EXPECT_EQ(std::count(pool.begin(), pool.end(), "/jr/NumColTot5.zyf"), 0);
    EXPECT_EQ(Drain(m, kPostPool), (std::vector<std::string>{"/jr/NumColTot5.zyf"}));
}

TEST(CollectInfoManager, LookupsByIdPatternAndReplacement) {
    CollectInfoManager m(kFinished, 0);
    ASSERT_TRUE(m.AddCollect(Info(1, "/jr/NumColTot1.zyf")));
    ASSERT_TRUE(m.AddCollect(Info(2, "/jr/Split/NUMCOLTOT1.ZYF")));
    CollectFileInfo out;
    ASSERT_TRUE(m.SearchForCollectByPattern("numcoltot1.zyf", out));
    EXPECT_EQ(out.GetCollectId(), 1);
    EXPECT_FALSE(m.SearchForCollectByPattern("NumColTot9.zyf", out));

    // Replacing an id with another type moves it in the type index.
    ASSERT_TRUE(m.AddCollect(Info(1, "/jr/NumColTot1.zyf", 0, kInPool, kSecondary)));
    std::vector<int> changed;
    ASSERT_TRUE(m.ChangeCollectProcessingContextOfAllFilesOfType(kRegular, kPostPool, &changed).IsSuccess());
    EXPECT_EQ(changed, (std::vector<int>{2}));
    EXPECT_TRUE(m.RemoveCollect(Info(2, "ignored")));
    EXPECT_FALSE(m.RemoveCollect(Info(2, "ignored")));
    EXPECT_TRUE(m.IsAllNumColsOfTypeAreProcessed(kRegular));

    // Unknown ids change nothing.
    EXPECT_FALSE(m.SetCollectFileStartIndexById(2, 5));
    EXPECT_FALSE(m.SetCollectStateById(2, CollectFileInfo::CSTATE_DONE));
    EXPECT_FALSE(m.IsCollectIdPresent(2));
}

TEST(CollectInfoManager, HighestCollectNumberOfAType) {
    CollectInfoManager m(kFinished, 0);
    ASSERT_TRUE(m.AddCollect(Info(0, "/jr/NumColTot3.zyf")));
    ASSERT_TRUE(m.AddCollect(Info(1, "/jr/NumColTot12.zyf")));
    ASSERT_TRUE(m.AddCollect(Info(2, "/jr/NumColTot7.zyf")));
    ASSERT_TRUE(m.AddCollect(Info(3, "/jr/Other.zyf", 0, kInPool, kSecondary)));
    unsigned long max = 5;
    ASSERT_TRUE(m.GetMaxCollectNumIndexUsed(kRegular, "/jr/NumColTot", max).IsSuccess());
    EXPECT_EQ(max, 12u);
    max = 20;
    ASSERT_TRUE(m.GetMaxCollectNumIndexUsed(kRegular, "/jr/NumColTot", max).IsSuccess());
    EXPECT_EQ(max, 20u);

    EXPECT_TRUE(FXErrorUtil::IsWin32(m.GetMaxCollectNumIndexUsed(kSecondary, "/jr/NumColTot", max), 13));
    ASSERT_TRUE(m.AddCollect(Info(4, "/jr/NumColTot4.zyf.part")));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m.GetMaxCollectNumIndexUsed(kRegular, "/jr/NumColTot", max), 13));
    ASSERT_TRUE(m.AddCollect(Info(4, "/jr/NumColTot4x.zyf")));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m.GetMaxCollectNumIndexUsed(kRegular, "/jr/NumColTot", max), 13));
}

TEST(CollectInfoManager, RestartMapIdsAreTheRegistryIds) {
    testsupport::ScopedTempDir dir;
    CRestartMapFileHandler map;
    ASSERT_TRUE(map.Init(dir.Path(), true, true).IsSuccess());
    unsigned id = 0;
    ASSERT_TRUE(map.AddEntryIfNotExist(CRestartMapFileEntry("/jr/NumColTot3.zyf", 900), id).IsSuccess());

    FileScan::CollectInfo info = TwoVolumes();
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, map, "", names));
    std::string name;
    ASSERT_TRUE(m.GetCollectFileNameById(0, name));
    EXPECT_EQ(name, "/jr/NumColTot3.zyf");
    ASSERT_TRUE(m.GetCollectFileNameById(3, name));
    EXPECT_EQ(name, "/jr/NumColTot4.zyf");

    CollectFileInfo late;
    ASSERT_TRUE(late.Initialize(99, "/jr/NumColTot5.zyf", kRegular, 0, kInPool,
                                CollectFileInfo::CSTATE_TO_BE_PROCESSED));
    ASSERT_TRUE(m.AddCollectToGroup(map, "/v2", late).IsSuccess());
    EXPECT_EQ(late.GetCollectId(), 4);
    EXPECT_EQ(late.GetParentGrpName(), "/v2");
    EXPECT_TRUE(FXErrorUtil::IsWin32(m.AddCollectToGroup(map, "/nowhere", late), 1168));

    // Only what a later description adds is registered again.
    info.disks[1].volumes[0].collects.push_back({"/jr/NumColTot6.zyf", FileScan::COLLECT_FILE_TYPE_REGULAR});
    names.clear();
    ASSERT_TRUE(m.PopulateNewlyAddedColsFromCollectInfo(info, map, "", names));
    EXPECT_EQ(names, (std::vector<std::string>{"/jr/NumColTot6.zyf"}));
    EXPECT_TRUE(m.IsCollectIdPresent(5));

    CollectFileInfo out;
    ASSERT_TRUE(m.GetNextCollectToProcess(out, kInPool, "/jr/NumColTot3.zyf"));
    EXPECT_EQ(out.GetCollectName(), "/jr/NumColTot5.zyf");
    std::vector<std::string> rest = Drain(m);
    EXPECT_EQ(rest.size(), 5u);
}

}  // namespace
