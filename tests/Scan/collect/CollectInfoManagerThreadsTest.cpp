#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "scan/collect/CollectInfoManager.h"

namespace {

constexpr int64_t kFinished = -2;
constexpr auto kInPool = COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL;

// Three disks of two volumes, a pooled and an unpooled component; every fifth collect of a volume
// is file-extent eligible.
FileScan::CollectInfo Description() {
    FileScan::CollectInfo info;
    int n = 0;
    auto next = [&n](FileScan::CollectFileType type) {
        return FileScan::Collect("/jr/NumColTot" + std::to_string(++n) + ".zyf", type);
    };
    for (int d = 0; d < 3; ++d) {
        FileScan::DiskCollectInfo disk;
        disk.name = "disk" + std::to_string(d);
        disk.preferred = d == 0;
        for (int v = 0; v < 2; ++v) {
            FileScan::VolumeCollectInfo volume;
            volume.path = "/mnt/" + disk.name + "/v" + std::to_string(v);
            for (int c = 0; c < 25; ++c)
                volume.collects.push_back(next(c % 5 == 4 ? FileScan::COLLECT_FILE_TYPE_FILE_EXTENT
                                                          : FileScan::COLLECT_FILE_TYPE_REGULAR));
            disk.volumes.push_back(volume);
        }
        info.disks.push_back(disk);
    }
    FileScan::ComponentCollectInfo pooled{"pooled", true, {}};
    for (int c = 0; c < 10; ++c) pooled.collects.push_back(next(FileScan::COLLECT_FILE_TYPE_SECONDARY));
    info.components.push_back(pooled);
    info.components.push_back({"unpooled", false, {next(FileScan::COLLECT_FILE_TYPE_REGULAR)}});
    return info;
}

// Runs reader threads against `m` until nobody gets a collect; answers how often each id was
// handed out. Readers of three kinds: with the last collect's name, without it, and file-extent
// readers that fall back to the general call when the assigner has no file-extent collect left.
// One more thread reads counts and names meanwhile.
std::map<int32_t, int> RunReaders(CollectInfoManager& m) {
    std::mutex mutex;
    std::map<int32_t, int> handed;
    std::atomic<bool> done{false};
    auto reader = [&](int kind) {
        std::string last;
        std::vector<int32_t> mine;
        CollectFileInfo out;
        for (;;) {
            bool got = false;
            if (kind == 2) got = m.GetNextCollectOfTypeToProcess(out, kInPool, FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT);
            if (!got) got = m.GetNextCollectToProcess(out, kInPool, kind == 0 ? last : std::string());
            if (!got) break;
            EXPECT_EQ(out.GetCollectState(), CollectFileInfo::CSTATE_IN_PROGRESS);
            EXPECT_NE(out.GetCollectStartOffset(), kFinished) << out.GetCollectName();
            mine.push_back(out.GetCollectId());
            std::this_thread::yield();
            EXPECT_TRUE(m.MarkCollectDone(out.GetCollectId()));
            last = out.GetCollectName();
        }
        std::lock_guard<std::mutex> lock(mutex);
        for (int32_t id : mine) ++handed[id];
    };
    std::thread observer([&] {
        std::vector<std::string> names;
        while (!done.load()) {
            EXPECT_LE(m.GetInProcessingCollectCount(), 6u);
            EXPECT_LE(m.GetUnfinishedInThreadPoolCollectCount(), m.GetInThreadPoolCollectCount());
            names.clear();
            m.GetAllInThreadPoolCollectNames(names);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> readers;
    for (int i = 0; i < 6; ++i) readers.emplace_back(reader, i % 3);
    for (auto& t : readers) t.join();
    done = true;
    observer.join();
    return handed;
}

TEST(CollectInfoManagerThreads, EveryCollectGoesToExactlyOneReader) {
    FileScan::CollectInfo info = Description();
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, "", names));
    ASSERT_EQ(names.size(), 160u);  // the unpooled component is not registered

    std::map<int32_t, int> handed = RunReaders(m);
    ASSERT_EQ(handed.size(), names.size());
    for (const auto& [id, times] : handed) EXPECT_EQ(times, 1) << "id " << id;
    EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), 0u);
    EXPECT_EQ(m.GetUnassignedCollectCount(), 0u);
}

TEST(CollectInfoManagerThreads, ARestartedJobReadsOnlyWhatWasNotFinished) {
    FileScan::CollectInfo info = Description();
    CollectInfoManager m(kFinished, 0);
    std::vector<std::string> names;
    ASSERT_TRUE(m.PopulateFromCollectInfo(info, "", names));
    // What the earlier attempt finished: every third collect, and all of one volume.
    std::set<int32_t> finished;
    for (int32_t id = 0; id < static_cast<int32_t>(names.size()); ++id)
        if (id % 3 == 0 || names[id].find("NumColTot3") != std::string::npos || (id >= 25 && id < 50))
            finished.insert(id);
    for (int32_t id : finished) ASSERT_TRUE(m.SetCollectFileStartIndexById(id, kFinished));
    EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), names.size() - finished.size());

    std::map<int32_t, int> handed = RunReaders(m);
    for (const auto& [id, times] : handed) {
        EXPECT_EQ(times, 1) << "id " << id;
        EXPECT_EQ(finished.count(id), 0u) << "finished id " << id << " handed out again";
    }
    EXPECT_EQ(handed.size() + finished.size(), names.size());
    EXPECT_EQ(m.GetUnfinishedInThreadPoolCollectCount(), 0u);
}

}  // namespace
