#include <gtest/gtest.h>

#include <set>

#include "core/LogWriter.h"
#include "scan/collect/CollectFileThreadAssigner.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "support/TestSupport.h"

namespace {

using FileScan::COLLECT_FILE_TYPE_FILE_EXTENT;
using FileScan::COLLECT_FILE_TYPE_REGULAR;

// A disk with one volume per entry of `volumes`; each volume holds `count` regular collects named
// "<disk>/<volume>/<n>".
FileScan::DiskCollectInfo Disk(const std::string& name, bool preferred, const std::vector<std::string>& volumes,
                               int count) {
    FileScan::DiskCollectInfo disk;
    disk.name = name;
    disk.preferred = preferred;
    for (const std::string& v : volumes) {
        FileScan::VolumeCollectInfo volume;
        volume.path = v;
        for (int i = 1; i <= count; ++i)
            volume.collects.push_back({name + v + "/" + std::to_string(i), COLLECT_FILE_TYPE_REGULAR});
        disk.volumes.push_back(volume);
    }
    return disk;
}

// The disk (first path component) each handed-out collect came from.
std::string DiskOf(const Collect& c) { return c.GetPath().substr(0, c.GetPath().find('/')); }

std::string Take(CCollectFileThreadAssigner& a) {
    Collect c;
    return a.GetACollect(c) ? c.GetPath() : std::string("<none>");
}

std::string TakeAfter(CCollectFileThreadAssigner& a, const std::string& last) {
    Collect c;
    return a.GetACollect(last, c) ? c.GetPath() : std::string("<none>");
}

std::vector<std::string> DumpLines(CCollectFileThreadAssigner& a) {
    CStringLineWriter writer;
    a.Dump(writer);
    return writer.Lines();
}

bool DumpHas(CCollectFileThreadAssigner& a, const std::string& text) {
    for (const std::string& line : DumpLines(a))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(CollectFileThreadAssigner, TwoDisksAlternateAndEveryCollectComesOnce) {
    FileScan::CollectInfo info;
    info.disks.push_back(Disk("A", false, {"/v"}, 3));
    info.disks.push_back(Disk("B", false, {"/w"}, 3));
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, "", out));
    ASSERT_EQ(out.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(out[i].GetCollectFileIndex(), i);
        EXPECT_TRUE(out[i].IsYetToBeProcessed());
    }
    EXPECT_EQ(out[0].GetGroupName(), "/v");

    std::vector<std::string> disks;
    std::set<std::string> seen;
    Collect c;
    while (a.GetACollect(c)) {
        EXPECT_TRUE(c.IsBeingProcessed());
        EXPECT_TRUE(seen.insert(c.GetPath()).second) << c.GetPath();
        disks.push_back(DiskOf(c));
    }
    ASSERT_EQ(disks.size(), 6u);
    for (size_t i = 1; i < disks.size(); ++i) EXPECT_NE(disks[i], disks[i - 1]) << "turn " << i;
}

TEST(CollectFileThreadAssigner, FlaggedDiskGetsOneExtraTurnThenTheyAlternate) {
    FileScan::CollectInfo info;
    info.disks.push_back(Disk("P", true, {"/p"}, 5));
    info.disks.push_back(Disk("U", false, {"/u"}, 5));
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, "", out));

    std::vector<std::string> disks;
    Collect c;
    for (int i = 0; i < 7 && a.GetACollect(c); ++i) disks.push_back(DiskOf(c));
    ASSERT_EQ(disks.size(), 7u);
    // Both at 100 first: one turn each. Then P (base 2) is at 1 and U (base 1) at 0.
    EXPECT_EQ(std::set<std::string>(disks.begin(), disks.begin() + 2), (std::set<std::string>{"P", "U"}));
    EXPECT_EQ(disks[2], "P");
    // Level again: each pair of turns serves both.
    EXPECT_EQ(std::set<std::string>(disks.begin() + 3, disks.begin() + 5), (std::set<std::string>{"P", "U"}));
    EXPECT_EQ(std::set<std::string>(disks.begin() + 5, disks.begin() + 7), (std::set<std::string>{"P", "U"}));
}

TEST(CollectFileThreadAssigner, LastCollectKeepsTheReaderInItsFamily) {
    FileScan::CollectInfo info;
    info.disks.push_back(Disk("D", false, {"/v1", "/v2"}, 2));
    info.disks.push_back(Disk("E", false, {"/w"}, 2));
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, "", out));

    // The rest of the volume, then the disk's other volume, before the other disk.
    EXPECT_EQ(TakeAfter(a, "D/v1/1"), "D/v1/2");
    EXPECT_EQ(TakeAfter(a, "d/V1/2"), "D/v2/1");  // paths match without regard to case
    EXPECT_EQ(TakeAfter(a, "D/v2/1"), "D/v2/2");
    // Priorities do not move on this path.
    EXPECT_TRUE(DumpHas(a, "Group [D], Priority [100]"));
    EXPECT_TRUE(DumpHas(a, "Collect [D/v1/1], Index [0], Type [0], State [Processed]"));

    testsupport::ScopedLogCapture log(1);
    EXPECT_EQ(DiskOf(Collect(TakeAfter(a, "D/v2/2"), 0, Collect::STATE_NOT_PROCESSED, COLLECT_FILE_TYPE_REGULAR)),
              "E");
    EXPECT_TRUE(log.Log().Contains("No unprocessed collect remaining in the family of [/v2] to which [D/v2/2] "
                                   "belongs. Will check other groups in order of their current priority to find "
                                   "any unprocessed collects."));
    // An unknown last collect falls back to the priority order too.
    EXPECT_EQ(TakeAfter(a, "/nowhere"), "E/w/2");
    EXPECT_EQ(TakeAfter(a, "E/w/2"), "<none>");
    EXPECT_TRUE(a.MarkCollectAsProcessed("E/W/1"));
    EXPECT_FALSE(a.MarkCollectAsProcessed("/nowhere"));
}

TEST(CollectFileThreadAssigner, UnflaggedComponentsAreLeftOutAndLogged) {
    FileScan::CollectInfo info;
    info.components.push_back({"Skipped", false, {{"s1", COLLECT_FILE_TYPE_REGULAR}}});
    info.components.push_back({"Pooled", true, {{"p1", COLLECT_FILE_TYPE_REGULAR}, {"p2", COLLECT_FILE_TYPE_REGULAR}}});
    info.disks.push_back(Disk("D", false, {"/v"}, 1));

    testsupport::ScopedLogCapture log(1);
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, "", out));
    EXPECT_TRUE(log.Log().Contains("Ignoring collect files of component [Skipped] for backup via thread pool"));
    // Disks first, then the pooled component, numbered on.
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].GetPath(), "D/v/1");
    EXPECT_EQ(out[2].GetPath(), "p2");
    EXPECT_EQ(out[2].GetCollectFileIndex(), 2);
    EXPECT_EQ(out[2].GetGroupName(), "Pooled");

    std::set<std::string> handed;
    Collect c;
    while (a.GetACollect(c)) handed.insert(c.GetPath());
    EXPECT_EQ(handed, (std::set<std::string>{"D/v/1", "p1", "p2"}));
    // A component's own collects are its family.
    FileScan::CollectInfo again = info;
    ASSERT_TRUE(a.PopulateFrom(again, "", out));
    EXPECT_EQ(TakeAfter(a, "p1"), "p2");
}

TEST(CollectFileThreadAssigner, FileExtentCollectsOnlyThroughTheirOwnCall) {
    FileScan::CollectInfo info;
    FileScan::DiskCollectInfo disk;
    disk.name = "D";
    disk.volumes.push_back({"/v", {{"x1", COLLECT_FILE_TYPE_FILE_EXTENT},
                                   {"r1", COLLECT_FILE_TYPE_REGULAR},
                                   {"x2", COLLECT_FILE_TYPE_FILE_EXTENT},
                                   {"r2", FileScan::COLLECT_FILE_TYPE_SECONDARY}}});
    info.disks.push_back(disk);
    info.components.push_back({"C", true, {{"x3", COLLECT_FILE_TYPE_FILE_EXTENT}}});
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, "", out));

    std::set<std::string> regular;
    Collect c;
    while (a.GetACollect(c)) regular.insert(c.GetPath());
    EXPECT_EQ(regular, (std::set<std::string>{"r1", "r2"}));
    EXPECT_EQ(TakeAfter(a, "r1"), "<none>");  // the family search skips them too

    std::set<std::string> extents;
    std::string group;
    while (a.GetAFileExtentEligibleCollect(c, group)) {
        extents.insert(c.GetPath());
        // The supplier is the top-level group.
        EXPECT_EQ(group, c.GetPath() == "x3" ? "C" : "D");
        EXPECT_TRUE(c.IsFileExtentEligible());
    }
    EXPECT_EQ(extents, (std::set<std::string>{"x1", "x2", "x3"}));
}

TEST(CollectFileThreadAssigner, ReInitialisedFinishedGroupsStartANewRoundInOrderOfPreference) {
    testsupport::ScopedTempDir dir;
    CRestartMapFileHandler map;
    ASSERT_TRUE(map.Init(dir.Path(), true, true).IsSuccess());
    FileScan::CollectInfo info;
    info.disks.push_back(Disk("P", true, {"/p"}, 3));
    info.disks.push_back(Disk("U", false, {"/u"}, 1));
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, map, "", out));
    Collect c;
    while (a.GetACollect(c)) ASSERT_TRUE(a.MarkCollectAsProcessed(c.GetPath()));
    // P was served three times (100 -> 1 -> 0 -> -1), U once (100 -> 0).
    EXPECT_TRUE(DumpHas(a, "Group [P], Priority [-1], BasePriority [2], Preferred [1]"));
    EXPECT_TRUE(DumpHas(a, "Group [U], Priority [0], BasePriority [1], Preferred [0]"));

    a.ReInitPriorityOfGrpsIfAllCollectsAreProcessed();
    EXPECT_TRUE(DumpHas(a, "Group [P], Priority [2]"));
    EXPECT_TRUE(DumpHas(a, "Group [U], Priority [1]"));
    Collect late("U-late", -1, Collect::STATE_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    ASSERT_TRUE(a.AddCollect(map, "/u", late).IsSuccess());
    Collect early("P-late", -1, Collect::STATE_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    ASSERT_TRUE(a.AddCollect(map, "P", early).IsSuccess());
    EXPECT_EQ(Take(a), "P-late");
    EXPECT_EQ(Take(a), "U-late");
}

TEST(CollectFileThreadAssigner, RestartMapGivesTheIndexes) {
    testsupport::ScopedTempDir dir;
    CRestartMapFileHandler map;
    ASSERT_TRUE(map.Init(dir.Path(), false, true).IsSuccess());
    unsigned id = 0;
    ASSERT_TRUE(map.AddEntryIfNotExist(CRestartMapFileEntry("D/v/2", 77), id).IsSuccess());

    FileScan::CollectInfo info;
    info.disks.push_back(Disk("D", false, {"/v"}, 2));
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(info, map, "", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].GetCollectFileIndex(), 1);  // new in the map
    EXPECT_EQ(out[1].GetCollectFileIndex(), 0);  // already there

    Collect c("D/v/3", -1, Collect::STATE_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    CKoError e = a.AddCollect(map, "/nowhere", c);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1168)) << e.AsString();
    ASSERT_TRUE(a.AddCollect(map, "/v", c).IsSuccess());
    EXPECT_EQ(c.GetCollectFileIndex(), 2);
    EXPECT_TRUE(c.IsYetToBeProcessed());
    EXPECT_EQ(c.GetGroupName(), "/v");
    // A collect the tree holds is not added twice.
    Collect again("d/V/3", -1, Collect::STATE_NOT_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    ASSERT_TRUE(a.AddCollect(map, "D", again).IsSuccess());
    EXPECT_EQ(again.GetCollectFileIndex(), 2);
    std::set<std::string> handed;
    Collect got;
    while (a.GetACollect(got)) handed.insert(got.GetPath());
    EXPECT_EQ(handed, (std::set<std::string>{"D/v/1", "D/v/2", "D/v/3"}));

    // Newly added collects of a later description: only those, groups created as needed.
    FileScan::CollectInfo later = info;
    later.disks[0].volumes[0].collects.push_back({"D/v/4", COLLECT_FILE_TYPE_REGULAR});
    later.disks.push_back(Disk("F", false, {"/f"}, 1));
    out.clear();
    ASSERT_TRUE(a.PopulateNewlyAddedFrom(later, map, "", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].GetPath(), "D/v/4");
    EXPECT_EQ(out[0].GetCollectFileIndex(), 3);
    EXPECT_EQ(out[1].GetPath(), "F/f/1");
    EXPECT_EQ(out[1].GetCollectFileIndex(), 4);
    handed.clear();
    while (a.GetACollect(got)) handed.insert(got.GetPath());
    EXPECT_EQ(handed, (std::set<std::string>{"D/v/4", "F/f/1"}));
}

TEST(CollectFileThreadAssigner, PreparedGroupsKeepTheirIndexes) {
    std::map<std::string, std::vector<Collect>> groups;
    groups["b"].emplace_back("b1", 7, Collect::STATE_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    groups["a"].emplace_back("a1", 3, Collect::STATE_BEING_PROCESSED, COLLECT_FILE_TYPE_REGULAR);
    CCollectFileThreadAssigner a;
    std::vector<Collect> out;
    ASSERT_TRUE(a.PopulateFrom(groups, out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].GetPath(), "a1");
    EXPECT_EQ(out[0].GetCollectFileIndex(), 3);
    EXPECT_TRUE(out[1].IsYetToBeProcessed());
    std::set<int> indexes;
    Collect c;
    while (a.GetACollect(c)) indexes.insert(c.GetCollectFileIndex());
    EXPECT_EQ(indexes, (std::set<int>{3, 7}));
}

}  // namespace
