#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/Env.h"
#include "core/StringUtil.h"
#include "scan/fsservices/RestoreTimestampHandler.h"
#include "scan/fsservices/ZyLongPathHandler.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

CTimestampData Record(const std::string& path, int64_t mtime, int64_t atime = -1) {
    CTimestampData d(path, true);
    d.SetModifiedTime(mtime);
    if (atime >= 0) d.SetAccessTime(atime);
    return d;
}

struct stat LStat(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

TEST(TimestampData, RecordsRoundTripInTheirTextForm) {
    CTimestampData d("/a/b", true);
    d.SetModifiedTime(123);
    std::string text;
    ASSERT_TRUE(d.Serialize(text).IsSuccess());
    EXPECT_EQ(text, "<PATH>/a/b|<MTIME>123");
    CTimestampData back;
    ASSERT_TRUE(back.DeSerialize(text).IsSuccess());
    EXPECT_EQ(back.GetFileName(), "/a/b");
    EXPECT_TRUE(back.HasModifiedTime());
    EXPECT_EQ(back.GetModifiedTime(), 123);
    EXPECT_FALSE(back.HasAccessTime());
    EXPECT_FALSE(back.HasCreationTime());

    d.SetReportingFileName("/orig/b");
    d.SetCreationTime(-5);
    d.SetAccessTime(9);
    ASSERT_TRUE(d.Serialize(text).IsSuccess());
    EXPECT_EQ(text, "<PATH>/a/b|<REPPATH>/orig/b|<CTIME>-5|<MTIME>123|<ATIME>9");

    // Names that a plain record could not carry come back whole.
    const char* const names[] = {"/x|y", "/x|", "/x|<MTIME>5", "/line\nbreak", "/per%cent\r", "/|<PATH>|"};
    for (const char* name : names) {
        for (const char* rep : {"", "/rep|bar", "/rep\nline", "/rep%41"}) {
            CTimestampData in(name, false);
            in.SetReportingFileName(rep);
            in.SetAccessTime(1);
            ASSERT_TRUE(in.Serialize(text).IsSuccess());
            EXPECT_EQ(text.find('\n'), std::string::npos);
            CTimestampData out;
            ASSERT_TRUE(out.DeSerialize(text).IsSuccess()) << text;
            EXPECT_EQ(out.GetFileName(), name);
            EXPECT_EQ(out.GetReportingFileName(), rep);
            EXPECT_EQ(out.GetAccessTime(), 1);
            EXPECT_FALSE(out.HasModifiedTime());
        }
    }

    CKoError e = back.DeSerialize("");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 87));
    EXPECT_EQ(e.GetMessage(), "Input is empty");
    for (const char* bad : {"<MTIME>5", "/a|<MTIME>5", "<PATH>/a|<MTIME>", "<PATH>/a|<MTIME>1x", "<PATH>/a|<MTIME>+",
                            "<PATH>/a|<MTIME>1|<MTIME>2", "<PATHX>/a%4", "<PATHX>/a%zz", "<PATH>",
                            "<PATH>/a|<ATIME>99999999999999999999"}) {
        EXPECT_TRUE(FXErrorUtil::IsWin32(back.DeSerialize(bad), 13)) << bad;
    }
    EXPECT_EQ(back.GetFileName(), "/a/b");  // a failed parse leaves the record alone
}

class TimestampHandlerTest : public ::testing::Test {
protected:
    ScopedTempDir results, target;
    std::shared_ptr<ZYStoreResults> store = std::make_shared<ZYStoreResults>(results.Path());
    std::shared_ptr<ZYCountingJobControlClient> control = std::make_shared<ZYCountingJobControlClient>();
    std::unique_ptr<CRestoreTimestampHandler> handler =
        std::make_unique<CRestoreTimestampHandler>(ApplicationId("client=c"), 42, control, store);

    std::vector<std::string> ResultFiles() {
        std::vector<std::string> names;
        EXPECT_TRUE(FXEnv::Current()->GetChildren(results.Path(), names).IsSuccess());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(TimestampHandlerTest, FolderTimesAreAppliedAfterTheFolderIsFilled) {
    for (const char* f : {"a", "a/b", "c"}) ASSERT_EQ(::mkdir((target / f).c_str(), 0755), 0);
    ASSERT_TRUE(handler->Add(Record(target / "a", 1000000, 2000000)).IsSuccess());
    ASSERT_TRUE(handler->Add(Record(target / "a/b", 1100000)).IsSuccess());
    ASSERT_TRUE(handler->Add(Record(target / "c", 1200000)).IsSuccess());
    CTimestampData gone = Record(target / "gone", 5);
    gone.SetReportingFileName("/orig/gone");
    ASSERT_TRUE(handler->Add(gone).IsSuccess());
    ASSERT_TRUE(handler->Add(Record(target / "c/file/x", 5)).IsSuccess());
    ASSERT_TRUE(handler->Close().IsSuccess());
    EXPECT_EQ(ResultFiles(), std::vector<std::string>{handler->FolderTimestampFile()});
    EXPECT_EQ(ReadFile(results / handler->FolderTimestampFile()).substr(0, 6 + target.Path().size() + 3),
              "<PATH>" + target / "a|");
    // The restore writes into the folders, which moves their times.
    WriteFile(target / "a/b/file", "x");
    WriteFile(target / "a/file", "x");
    WriteFile(target / "c/file", "x");
    const struct stat before = LStat(target / "a/b");
    WriteFile(results / "restore.out", "existing line\n");

    ASSERT_TRUE(handler->Apply().IsSuccess());
    EXPECT_EQ(LStat(target / "a").st_mtime, 1000000);
    EXPECT_EQ(LStat(target / "a").st_atime, 2000000);
    EXPECT_EQ(LStat(target / "a/b").st_mtime, 1100000);
    EXPECT_EQ(LStat(target / "a/b").st_atim.tv_sec, before.st_atim.tv_sec);  // no access time: left alone
    EXPECT_EQ(LStat(target / "c").st_mtime, 1200000);
    EXPECT_EQ(handler->GetAppliedCount(), 3);
    EXPECT_EQ(handler->GetFailedCount(), 2);
    // Failures are in restore.out, after what was there; the temporary files are gone.
    const std::string out = ReadFile(results / "restore.out");
    const std::string notDir = target / "c/file/x";
    EXPECT_EQ(out.substr(0, 41), "existing line\n/orig/gone   [DATA]  ->  2\n");
    EXPECT_EQ(out.substr(41, notDir.size() + 17), notDir + "   [DATA]    [ " + notDir.substr(0, 2));
    EXPECT_NE(out.find("Cannot apply timestamp for [" + notDir + "]"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 12), " ]   ->  20\n");
    EXPECT_EQ(ResultFiles(), std::vector<std::string>{"restore.out"});
}

TEST_F(TimestampHandlerTest, TasksLongPathsAndDistributedSections) {
    CKoError e = handler->Apply(-1);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 87));
    EXPECT_EQ(e.GetMessage(), "Invalid task id");
    e = handler->Apply(7);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 2));
    EXPECT_NE(e.GetMessage().find("Failed to find the file ["), std::string::npos);
    EXPECT_TRUE(ResultFiles().empty());

    // A folder whose path is longer than 1023 bytes: through the long-path handler.
    std::string deep = target.Path();
    while (deep.size() < 1500) deep += "/" + std::string(100, 'd');
    ZyLongPathHandler* lp = ZyLongPathHandler::GetHandler();
    ASSERT_NE(lp, nullptr);
    ASSERT_EQ(lp->CreateDirsIteratively_Long(deep, nullptr), 1);
    ASSERT_TRUE(handler->AddLongpath(Record(deep, 777), 3).IsSuccess());
    ASSERT_TRUE(handler->AddLongpath(Record(deep + "/missing", 1), 4).IsSuccess());
    ASSERT_TRUE(handler->Add(Record(target.Path(), 888), 3).IsSuccess());
    ASSERT_TRUE(handler->Add(Record(target / "nothing", 1), 3).IsSuccess());

    store = std::make_shared<ZYStoreResults>(results.Path(), true);
    handler = std::make_unique<CRestoreTimestampHandler>(ApplicationId(), 42, control, store);
    const std::string mine = FXString::Format("BeginDistributedRestore pid:%d", static_cast<int>(::getpid()));
    WriteFile(results / "restore.out", mine + "\nmy line\nBeginDistributedRestore pid:1\nother line\n");
    ASSERT_TRUE(handler->Apply(3).IsSuccess());
    EXPECT_EQ(LStat(target.Path()).st_mtime, 888);
    EXPECT_EQ(ReadFile(results / "restore.out"),
              mine + "\nmy line\n" + target / "nothing" + "   [DATA]  ->  2\nBeginDistributedRestore pid:1\nother line\n");

    ASSERT_TRUE(handler->ApplyLongpath().IsSuccess());
    struct stat st;
    ASSERT_EQ(lp->stat_long(deep, &st), 0);
    EXPECT_EQ(st.st_mtime, 777);
    EXPECT_EQ(handler->GetFailedCount(), 2);
    EXPECT_EQ(ResultFiles(), std::vector<std::string>{"restore.out"});
    ZyLongPathHandler::ReleaseHandler();
}

TEST_F(TimestampHandlerTest, AStoppedJobStopsAndKeepsItsFile) {
    for (int i = 0; i < 120; ++i) ASSERT_TRUE(handler->Add(Record(target / std::to_string(i), 5)).IsSuccess());
    control = std::make_shared<ZYCountingJobControlClient>(2);
    handler = std::make_unique<CRestoreTimestampHandler>(ApplicationId(), 42, control, store);
    CKoError e = handler->Apply();
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 995));
    EXPECT_EQ(control->Asked(), 2);  // the 1st and the 51st line
    EXPECT_EQ(handler->GetFailedCount(), 50);
    const std::vector<std::string> files = ResultFiles();
    EXPECT_TRUE(std::find(files.begin(), files.end(), handler->FolderTimestampFile()) != files.end());

    // No job-results folder at all.
    CRestoreTimestampHandler orphan(ApplicationId(), 1, control, std::make_shared<ZYStoreResults>());
    e = orphan.Add(Record("/x/y", 1));
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
    EXPECT_EQ(e.GetMessage(), "Cannot find the job results directory");
}

TEST_F(TimestampHandlerTest, ARootKeepsEveryRecordInsideTheTarget) {
    ScopedTempDir outside;
    ASSERT_EQ(::mkdir((target / "in").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(outside.Path().c_str(), (target / "swapped").c_str()), 0);
    ASSERT_EQ(::symlink("in", (target / "link").c_str()), 0);
    WriteFile(outside / "victim", "x");
    const time_t victim = LStat(outside / "victim").st_mtime;
    const time_t outsideTime = LStat(outside.Path()).st_mtime;
    ASSERT_TRUE(handler->SetTargetRoot(target.Path() + "/").IsSuccess());

    EXPECT_TRUE(handler->Apply(Record(target / "in", 1000)).IsSuccess());
    EXPECT_TRUE(handler->Apply(Record(target.Path(), 2000)).IsSuccess());
    EXPECT_EQ(LStat(target / "in").st_mtime, 1000);
    EXPECT_EQ(LStat(target.Path()).st_mtime, 2000);
    // A link gets its own times; what it points to keeps its.
    EXPECT_TRUE(handler->Apply(Record(target / "link", 3000)).IsSuccess());
    EXPECT_EQ(LStat(target / "link").st_mtime, 3000);
    EXPECT_EQ(LStat(target / "in").st_mtime, 1000);
    for (const std::string& bad : {target / "swapped/victim", target / "in/../../x", outside / "victim",
                                   target.Path() + "x/y", target / "./in"}) {
        EXPECT_TRUE(handler->Apply(Record(bad, 1)).IsError()) << bad;
    }
    EXPECT_EQ(LStat(outside / "victim").st_mtime, victim);
    EXPECT_EQ(LStat(outside.Path()).st_mtime, outsideTime);
}

// Fails the creation of files, as a full or read-only job-results folder would.
class NoNewFiles : public FXEnvWrapper {
public:
    NoNewFiles() : FXEnvWrapper(FXEnv::Default()) {}
    CKoError NewWritableFile(const std::string& path, EWriteMode, std::unique_ptr<FXWritableFile>&,
                             const FXOpenOptions&) override {
        return FXErrorUtil::ErrorErrNo(ZY_HERE, 28, "open %s", path.c_str());
    }
};

TEST_F(TimestampHandlerTest, FilesThatCannotBeWrittenAreReported) {
    NoNewFiles env;
    FXScopedEnv scoped(&env);
    CKoError e = handler->Add(Record(target / "a", 1));
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 28));
    EXPECT_NE(e.AsString().find("Cannot open file to add timestamp data"), std::string::npos);
}

}  // namespace
