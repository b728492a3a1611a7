#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/Path.h"
#include "scan/Unix/SystemFilterEnumerator.h"
#include "scan/Unix/SystemFilterSources.h"
#include "support/TestSupport.h"

namespace {

bool Has(const RawFileNameFilterSet& set, const std::string& s) { return set.count(s) != 0; }

class SystemFilters : public ::testing::Test {
protected:
    void SetUp() override {
        settings.Set("Agent", "ClientName", "host1");
        testsupport::WriteFile(Mounts(), "");
    }
    std::string Mounts() const { return dir / "mounts"; }
    std::string Real(const std::string& path) const {
        std::string real;
        EXPECT_TRUE(FXPath::MakeRealPath(path, real).IsSuccess());
        return real;
    }
    CSystemFilterEnumerator Run(bool laptop = false, uint32_t level = 1, CBuiltInFilterManagerPtr manager = nullptr) {
        CSystemFilterEnumerator e("Instance001", "host1", level, jr, 0, true, laptop, false, false);
        e.SetMountTable(Mounts());
        EXPECT_TRUE(e.Process(manager).IsSuccess());
        return e;
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
    std::string jr = "/opt/zy/jr";
};

TEST_F(SystemFilters, WithoutConfigurationThePseudoFileSystemsStillGo) {
    CSystemFilterEnumerator e = Run();
    for (const char* f : {"/proc", "/sys", "/dev/shm", "/selinux", "/cgroup", "/orrerytmp"})
        EXPECT_TRUE(Has(e.GetFilters(), f)) << f;
    // Product-folder filtering is off: the job's own bookkeeping files are taken back.
    EXPECT_TRUE(Has(e.GetFilterExceptions(), "/opt/zy/jr/NumColTot*.tmp"));
    EXPECT_TRUE(Has(e.GetFilterExceptions(), "/opt/zy/jr/cjfile.tmp"));
    EXPECT_TRUE(Has(e.GetFilterExceptions(), "/opt/zy/jr/Failures.zyf"));
    EXPECT_TRUE(Has(Run(false, 2).GetFilterExceptions(), "/opt/zy/jr/NumColInc*.tmp"));
    ASSERT_EQ(e.GetSourceResults().size(), 9u);
    // No job-results folder is configured, so no client runs jobs here: the snapshot source has
    // nothing to add, and no source fails (a scan would print their errors on every run).
    for (const auto& r : e.GetSourceResults()) EXPECT_TRUE(r.succeeded) << r.name;
    for (const std::string& f : e.GetFilters()) EXPECT_EQ(f.find("DDB_SNAPSHOTS"), std::string::npos) << f;
}

TEST_F(SystemFilters, ConfiguredFoldersMountsAndProductFolders) {
    settings.Set("FileSystemAgent", "FilesNotToBackup", "/data/tmp/,/var/cache");
    settings.Set("Agent", "ProductionMount.SnapVolumeMounts", "/snapmnt");
    testsupport::WriteFile(Mounts(),
                           "/dev/vda / ext4 rw 0 0\ntank /tank zfs rw 0 0\n/dev/vdb /mnt/data xfs rw 0 0\n");
    settings.Set("Agent:Instance001", "HomeDir", dir.Path() + "/");
    settings.Set("Agent:Instance001", "JobControlDir", "/opt/zy/jc");
    settings.Set("Agent:Instance001", "LogDir", "/var/log/zy");
    settings.Set("Agent:Instance001", "MagneticMountPaths", "/lib1, /lib2");
    settings.Set("Agent:Instance001", "MovedMagneticMountPaths", "/moved1");
    settings.Set("Agent", "CLDBRoot", "/cldb");
    settings.Set("Agent", "SIDBFolders", "/sidb1,/sidb2");
    settings.Set("Agent", "JobResultsDir", dir.Path());

    CSystemFilterEnumerator e = Run();
    const auto& f = e.GetFilters();
    for (const std::string& s : std::vector<std::string>{"/data/tmp", "/var/cache", "/snapmnt", "/.cxfs_restore", "/.cxfs_locks", "/.snapshot", "/.snapshots", "/tank/.cxfs_locks",
                                 "/tank/.DATACLASS_*", "/tank/.DATACLASS_*/**", "/tank/.snapshot", "/tank/.zfs/snapshot",
                                 "/mnt/data/.snapshots", Real(dir.Path()) + "/certificates", "/opt/zy/jc", "/lib1",
                                 "/lib2", "/moved1", "/cldb", "/sidb1", "/sidb2",
                                 Real(dir.Path()) + "/*/*/DDB_SNAPSHOTS/**"})
        EXPECT_TRUE(Has(f, s)) << s;
    // No ".DATACLASS_" at "/", no ".zfs" but on ZFS, and names joined below the mount point.
    EXPECT_FALSE(Has(f, "/.DATACLASS_*"));
    EXPECT_FALSE(Has(f, "/mnt/data/.zfs/snapshot"));
    EXPECT_FALSE(Has(f, "/mnt/data.snapshot"));
    // Log folders: taken back on servers, left out on laptops.
    EXPECT_TRUE(Has(e.GetFilterExceptions(), "/var/log/zy"));
    EXPECT_FALSE(Has(f, "/var/log/zy"));
    CSystemFilterEnumerator laptop = Run(true);
    EXPECT_TRUE(Has(laptop.GetFilters(), "/var/log/zy"));
    EXPECT_FALSE(Has(laptop.GetFilterExceptions(), "/var/log/zy"));
    // A laptop backup filters the product's folders.
    EXPECT_TRUE(Has(laptop.GetFilters(), dir.Path()));  // home and job results

    settings.Set("FileSystemAgent", "nDoNotFilterSnapshots", "1");
    settings.Set("Agent:Instance001", "DisableMountPathFiltering", "1");
    CSystemFilterEnumerator quiet = Run();
    EXPECT_FALSE(Has(quiet.GetFilters(), "/tank/.snapshot"));
    EXPECT_FALSE(Has(quiet.GetFilters(), "/tank/.zfs/snapshot"));
    EXPECT_TRUE(Has(quiet.GetFilters(), "/tank/.cxfs_restore"));
    EXPECT_FALSE(Has(quiet.GetFilters(), "/lib1"));
}

TEST_F(SystemFilters, OnlyTheNamedSourceCanBeIgnoredAndFailingSourcesAreLeftOut) {
    settings.Set("Agent", "SIDBFolders", "/sidb1");
    auto manager = std::make_shared<CBuiltInFilterManager>();
    ASSERT_TRUE(manager->ProcessFilterOption("- singleinstancedatabasefiles ").IsSuccess());
    ASSERT_TRUE(manager->ProcessFilterOption("-FilesNotToBackup").IsSuccess());
    CSystemFilterEnumerator e = Run(false, 1, manager);
    EXPECT_FALSE(Has(e.GetFilters(), "/sidb1"));
    EXPECT_TRUE(Has(e.GetFilters(), "/proc"));  // a source without a name is never ignored

    // An instance that is not installed: its sources fail, the others still count.
    CSystemFilterEnumerator other("NoSuchInstance", "host1", 1, jr, 0, false, false, false, false);
    other.SetMountTable(Mounts());
    testsupport::ScopedLogCapture log(0);
    ASSERT_TRUE(other.Process(nullptr).IsSuccess());
    EXPECT_TRUE(Has(other.GetFilters(), "/proc"));
    EXPECT_FALSE(Has(other.GetFilters(), "/orrerytmp"));
    EXPECT_TRUE(log.Log().Contains("Process(OrreryFolders) failed"));
    EXPECT_TRUE(log.Log().Contains("Process(OrreryMagneticMountPaths) failed"));
}

TEST_F(SystemFilters, ApplicationDataFilesByTheirPhysicalPaths) {
    const std::string folder = dir / "db", file = dir / "db.log";
    ASSERT_EQ(testsupport::Shell("mkdir -p '" + folder + "' && touch '" + file + "' && ln -s '" + folder + "' '" +
                                 dir.Path() + "/link'"),
              0);
    settings.Set("FileSystemAgent", "nFilterApplicationFiles", "1");
    settings.Set("Agent", "ClientId", "5");
    settings.Set("Agent", "DatabasePaths", dir.Path() + "/link," + file + "," + dir.Path() + "/missing");
    settings.Set("Db2Agent", "sDB2_ARCHIVE_PATH", "\t" + folder + "\r\n");

    EXPECT_TRUE(Run().GetSourceResults()[7].filters.empty());  // no database agent installed
    settings.Set("Agent", "InstalledPackages", "17, 358");
    CSystemFilterEnumerator e = Run();
    const auto& app = e.GetSourceResults()[7];
    EXPECT_EQ(app.name, "ApplicationSpecificFiles");
    EXPECT_EQ(app.filters, (RawFileNameFilterSet{Real(folder), Real(file)}));
}

TEST_F(SystemFilters, EffectiveFiltersNameTheirSourceAndMatchPathsWithWildcardBytesLiterally) {
    jr = dir.Path() + "/jr[1]";
    settings.Set("Agent:Instance001", "LogDir", "/var/log/zy");
    CSystemFilterEnumerator e = Run();
    CEffectiveFilters effective;
    ASSERT_TRUE(effective.Add("*.tmp", EFilterRuleKind::Filter, EFilterSyntax::Subclient, "user").IsSuccess());
    e.AppendTo(effective);
    std::shared_ptr<const CFilterMatcher> matcher;
    ASSERT_TRUE(effective.Compile(matcher).IsSuccess());

    SFilterVerdict v = matcher->Match("/proc/1/status", false);
    EXPECT_FALSE(v.included);
    ASSERT_TRUE(effective.EntryOf(v));
    EXPECT_EQ(effective.EntryOf(v)->source, "system:FilesNotToBackup");
    // "jr[1]" is a folder's name, not a set: the exception holds for it and nothing else.
    v = matcher->Match(jr + "/NumColTot3.tmp", false);
    EXPECT_TRUE(v.included);
    EXPECT_EQ(effective.EntryOf(v)->source, "system:OrreryFolders");
    EXPECT_FALSE(matcher->Match(dir.Path() + "/jr1/NumColTot3.tmp", false).included);
    EXPECT_TRUE(matcher->Match("/var/log/zy", true).included);

    std::vector<std::string> lines;
    effective.Describe(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].substr(0, 16), "filter     *.tmp");
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) {
                               return l.rfind("exception  /var/log/zy", 0) == 0 &&
                                      l.find("system:OrreryFolders") != std::string::npos;
                           }),
              lines.end());
}

}  // namespace
