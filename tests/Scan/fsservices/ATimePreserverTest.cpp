#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent/VolumeInfo.h"
#include "core/Env.h"
#include "core/File.h"
#include "scan/fsservices/ATimePreserver.h"
#include "scan/fsservices/FSMetaFileWriter.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

int64_t Nanos(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

struct stat Stat(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class ATimePreserverTest : public ::testing::Test {
protected:
    ScopedTempDir jr, data;
    std::string guid;
    void SetUp() override { ASSERT_TRUE(ZyVolumeInfo::GetObjectGuid(data.Path(), guid).IsSuccess()); }

    // Reads a file as a backup reader does and puts its access time back.
    bool BackUp(CFSMetaFileWriter& writer, const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        struct stat before;
        ::fstat(fd, &before);
        char buffer[64];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        bool recorded = false;
        EXPECT_TRUE(writer.PreserveAccessTime(fd, before, &recorded).IsSuccess());
        ::close(fd);
        EXPECT_EQ(Nanos(Stat(path).st_atim), Nanos(before.st_atim));
        return recorded;
    }

    void WriteMeta(const std::string& relative, const std::string& lines) {
        const std::string path = jr.Path() + "/" + relative;
        ASSERT_TRUE(FXFile::CreateFoldersIteratively(path.substr(0, path.rfind('/'))).IsSuccess());
        WriteFile(path, lines);
    }
};

TEST_F(ATimePreserverTest, ABackupThatPutsAccessTimesBackIsNotTakenForAChange) {
    for (const char* f : {"a", "b", "c"}) WriteFile(data / f, std::string("content of ") + f);
    // Access times well in the past, so reading would move them.
    const struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    for (const char* f : {"a", "b", "c"}) ::utimensat(AT_FDCWD, (data / f).c_str(), old, 0);
    {
        CFSMetaFileWriter writer;
        ASSERT_TRUE(writer.Open(jr.Path(), guid, "stream1").IsSuccess());
        for (const char* f : {"a", "b", "c"}) EXPECT_TRUE(BackUp(writer, data / f));
        ASSERT_TRUE(writer.Close().IsSuccess());
        EXPECT_EQ(writer.Path(), jr.Path() + "/2/FSMetaFiles/" + guid + "_stream1.zyf");
    }
    // A file outside an "FSMetaFiles" folder is not one, and is left alone.
    WriteMeta("2/other/" + guid + "_x.zyf", std::to_string(Stat(data / "a").st_ino) + "\t1\n");
    CATimePreserver preserver;
    preserver.SetJobResultsDirectory(jr.Path());
    ASSERT_TRUE(preserver.FindAndApplyCTimeMetaFiles().IsSuccess());
    EXPECT_TRUE(Exists(preserver.GetCTimeDBPaths(guid, 1) + "/" + ZyScanDBImports::DatabaseFileName()));
    EXPECT_FALSE(Exists(preserver.GetCTimeDBPaths(guid, 0)));
    EXPECT_FALSE(Exists(jr.Path() + "/2/FSMetaFiles/" + guid + "_stream1.zyf"));
    EXPECT_TRUE(Exists(jr.Path() + "/2/other/" + guid + "_x.zyf"));
    EXPECT_FALSE(Exists(jr.Path() + "/" + guid + "_SourceFile.zyf"));
    EXPECT_FALSE(Exists(jr.Path() + "/" + guid + "_DestFile.zyf"));
    EXPECT_FALSE(Exists(jr.Path() + "/ATimePreserver.tmp"));

    // A real change after the backup: b's content, c's mode.
    WriteFile(data / "b", "changed");
    ::chmod((data / "c").c_str(), 0600);
    CATimePreserver scan;
    scan.SetJobResultsDirectory(jr.Path());
    ASSERT_TRUE(scan.OpenSourceVolumeCTimeDB(data.Path()).IsSuccess());
    ASSERT_TRUE(scan.IsSourceDBOpen());
    auto selected = [&](const char* f) {
        const struct stat st = Stat(data / f);
        return scan.IsSelected(st.st_ino, Nanos(st.st_ctim));
    };
    EXPECT_FALSE(selected("a"));
    EXPECT_TRUE(selected("b"));
    EXPECT_TRUE(selected("c"));
    EXPECT_TRUE(scan.IsSelected(999999999, 1));  // never recorded
    ASSERT_TRUE(scan.CloseSourceVolumeCTimeDB(data.Path()).IsSuccess());
    EXPECT_TRUE(scan.IsSelected(Stat(data / "a").st_ino, Nanos(Stat(data / "a").st_ctim)));  // closed: all qualify
}

TEST_F(ATimePreserverTest, LargerCtimeWinsWhateverTheOrderAndNoDatabaseSelectsAll) {
    CATimePreserver scan;
    scan.SetJobResultsDirectory(jr.Path());
    testsupport::ScopedLogCapture log(3);
    ASSERT_TRUE(scan.OpenSourceVolumeCTimeDB(data.Path()).IsSuccess());
    EXPECT_FALSE(scan.IsSourceDBOpen());
    EXPECT_TRUE(log.Log().Contains("Doesn't exist : So This evaluator will always return true"));
    EXPECT_TRUE(scan.IsSelected(1, 1));

    WriteMeta("2/FSMetaFiles/" + guid + "_1.zyf", "7\t500\n8\t100\n\n7\t300\n");
    WriteMeta("2/job/FSMetaFiles/" + guid + "_2.zyf", "7\t400\n8\t900");  // no final line feed
    CATimePreserver fold;
    fold.SetJobResultsDirectory(jr.Path());
    ASSERT_TRUE(fold.FindAndApplyCTimeMetaFiles().IsSuccess());
    // A later pass with older times does not move them back.
    WriteMeta("2/FSMetaFiles/" + guid + "_3.zyf", "7\t200\n9\t50\n");
    ASSERT_TRUE(fold.FindAndApplyCTimeMetaFiles().IsSuccess());

    ASSERT_TRUE(scan.OpenSourceVolumeCTimeDB(data.Path()).IsSuccess());
    EXPECT_FALSE(scan.IsSelected(7, 500));
    EXPECT_TRUE(scan.IsSelected(7, 400));
    EXPECT_FALSE(scan.IsSelected(8, 900));
    EXPECT_FALSE(scan.IsSelected(9, 50));
}

TEST_F(ATimePreserverTest, AFailedGuidKeepsItsDatabaseAndItsFiles) {
    const std::string other = "0000aaaa0000bbbb-0000000000000001";
    WriteMeta("2/FSMetaFiles/" + guid + "_1.zyf", "1\t10\n2\t20\n");
    WriteMeta("2/FSMetaFiles/" + other + "_1.zyf", "5\t50\n");
    auto imports = std::make_shared<ZyMemoryScanDBImports>();
    {
        CATimePreserver fold(imports);
        fold.SetJobResultsDirectory(jr.Path());
        ASSERT_TRUE(fold.FindAndApplyCTimeMetaFiles().IsSuccess());
    }
    WriteMeta("2/FSMetaFiles/" + guid + "_2.zyf", "1\t11\n3\t30\n");
    imports->FailOnFileId(3);
    CATimePreserver fold(imports);
    fold.SetJobResultsDirectory(jr.Path());
    CKoError e = fold.FindAndApplyCTimeMetaFiles();
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Apply Files to Database Failed"), std::string::npos);
    EXPECT_NE(e.AsString().find("Cannot apply FSMetaFiles to the Database for " + guid), std::string::npos);
    EXPECT_EQ(imports->GetStore().databases[fold.GetCTimeDBPaths(guid, 1)],
              (std::map<uint64_t, int64_t>{{1, 10}, {2, 20}}));
    EXPECT_TRUE(Exists(jr.Path() + "/2/FSMetaFiles/" + guid + "_2.zyf"));

    // A damaged line stops the volume the same way, with the real database.
    ScopedTempDir jr2;
    ASSERT_TRUE(FXFile::CreateFoldersIteratively(jr2.Path() + "/2/FSMetaFiles").IsSuccess());
    WriteFile(jr2.Path() + "/2/FSMetaFiles/" + guid + "_1.zyf", "1\t10\n");
    CATimePreserver real;
    real.SetJobResultsDirectory(jr2.Path());
    ASSERT_TRUE(real.FindAndApplyCTimeMetaFiles().IsSuccess());
    for (const char* bad : {"1\tx\n", "1 10\n", "-1\t5\n", "99999999999999999999999\t1\n", "1\t10\t3\n"}) {
        WriteFile(jr2.Path() + "/2/FSMetaFiles/" + guid + "_bad.zyf", std::string("2\t20\n") + bad);
        EXPECT_TRUE(real.FindAndApplyCTimeMetaFiles().IsError()) << bad;
        EXPECT_TRUE(Exists(jr2.Path() + "/2/FSMetaFiles/" + guid + "_bad.zyf"));
    }
    CATimePreserver scan;
    scan.SetJobResultsDirectory(jr2.Path());
    ASSERT_TRUE(scan.OpenSourceVolumeCTimeDB(data.Path()).IsSuccess());
    EXPECT_FALSE(scan.IsSelected(1, 10));
    EXPECT_TRUE(scan.IsSelected(2, 20));  // the damaged pass left nothing behind
}

TEST_F(ATimePreserverTest, PathsJobResultsAndChangesDuringTheRead) {
    CATimePreserver p;
    p.SetJobResultsDirectory("/jr");
    EXPECT_EQ(p.GetCTimeDBPaths("G", 0), "/jr/FSMetaDB/G_TemporaryDB");
    EXPECT_EQ(p.GetCTimeDBPaths("G", 1), "/jr/FSMetaDB/G_CurrentDB");
    EXPECT_EQ(p.GetCTimeDBPaths("G", 2), "");

    testsupport::ScopedSettings settings;
    CATimePreserver fromPlatform;
    CKoError e = fromPlatform.GetJobResultsDirectory();
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1627));
    settings.Set("Agent", "JobResultsDir", jr.Path());
    ASSERT_TRUE(fromPlatform.GetJobResultsDirectory().IsSuccess());
    EXPECT_EQ(fromPlatform.JobResultsDirectory(), jr.Path());

    // A file written between the open and the end of the read is not recorded.
    WriteFile(data / "f", "x");
    CFSMetaFileWriter writer;
    ASSERT_TRUE(writer.Open(jr.Path(), guid, "s").IsSuccess());
    const int fd = ::open((data / "f").c_str(), O_RDWR);
    struct stat before;
    ::fstat(fd, &before);
    ASSERT_EQ(::pwrite(fd, "yy", 2, 0), 2);
    bool recorded = true;
    ASSERT_TRUE(writer.PreserveAccessTime(fd, before, &recorded).IsSuccess());
    EXPECT_FALSE(recorded);
    ::close(fd);
    ASSERT_TRUE(writer.Close().IsSuccess());
    EXPECT_EQ(ReadFile(writer.Path()), "");
    EXPECT_TRUE(writer.Open(jr.Path(), "bad_guid", "s").IsError());
}

}  // namespace
