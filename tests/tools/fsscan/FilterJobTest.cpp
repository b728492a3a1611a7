// Jobs with filters, exceptions, system filters and subclient files, run through fsscan as a user
// runs them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "FsScanTestSupport.h"
#include "scan/job/JobState.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::List;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

// The settings file fsscan reads, for the life of the object.
class ScopedSettingsFile {
public:
    ScopedSettingsFile(const std::string& path, const std::string& text) {
        WriteFile(path, text);
        ::setenv("SCAN_SETTINGS_FILE", path.c_str(), 1);
    }
    ~ScopedSettingsFile() { ::unsetenv("SCAN_SETTINGS_FILE"); }
};

class FilterJob : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir / "data";
        results = dir / "jr";
        for (const char* folder : {"", "/cache", "/cache/keep", "/src", "/src/sub"})
            ASSERT_EQ(::mkdir((root + folder).c_str(), 0755), 0);
        for (const char* file : {"/a.txt", "/b.tmp", "/cache/x", "/cache/keep/k", "/cache/keep/k.tmp", "/src/main.c",
                                 "/src/sub/deep.c"})
            WriteFile(root + file, file);
    }

    RunResult Scan(std::vector<std::string> extra, const char* level = "incremental") {
        std::vector<std::string> args{"scan", "--results", results, "--level", level};
        args.insert(args.end(), extra.begin(), extra.end());
        RunResult r = Fsscan(args);
        // Each job is the baseline of the next, as if its backup had succeeded.
        if (r.exitCode == 0 || r.exitCode == 1) fsscantest::MarkBackedUp(results);
        return r;
    }
    RunResult Quick(std::vector<std::string> extra, const char* level = "incremental") {
        extra.insert(extra.begin(), {"--content", root, "--no-system-filters"});
        return Scan(extra, level);
    }
    // The next job takes nothing for changed by its times: as if the files were written long
    // before the last scan began.
    void ForgetTimes() {
        CScanJobState state;
        ASSERT_TRUE(state.Load(results).IsSuccess());
        state.lastScan.startTimeMicros = 4000000000000000;
        ASSERT_TRUE(state.Save(results).IsSuccess());
    }
    std::set<std::string> Items(std::initializer_list<const char*> names, const char* sign = "+ ") const {
        std::set<std::string> out;
        for (const char* name : names) out.insert(sign + root + name);
        return out;
    }
    // What a collect lists above the content root.
    std::set<std::string> Above() const {
        std::set<std::string> out;
        for (size_t slash = root.find('/', 1); slash != std::string::npos; slash = root.find('/', slash + 1))
            out.insert("+ " + root.substr(0, slash) + "/");
        return out;
    }
    static std::set<std::string> Join(std::set<std::string> a, const std::set<std::string>& b) {
        a.insert(b.begin(), b.end());
        return a;
    }

    ScopedTempDir dir;
    std::string root, results;
};

TEST_F(FilterJob, FiltersLeaveOutExceptionsTakeBackAndFilteredFoldersAreNotWalked) {
    // An unreadable folder is a scan error (exit 1) unless a filter keeps the walk out of it.
    ASSERT_EQ(::mkdir((root + "/locked").c_str(), 0), 0);
    RunResult r = Fsscan({"scan", "--content", root, "--results", results, "--level", "full", "--no-system-filters",
                          "--filter", "*.tmp", "--filter", root + "/cache", "--exception", root + "/cache/keep",
                          "--filter", "locked/", "--filter", "sub"},
                         true);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("cannot scan"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("filters: 5 rules, 6 items left out"), std::string::npos) << r.out;
    // The filtered folder above the exception is written for what it holds, not for itself:
    // cache/x stays out. Below the exception "*.tmp" still applies.
    EXPECT_EQ(List(results),
              Join(Above(), Items({"/", "/a.txt", "/cache/", "/cache/keep/", "/cache/keep/k", "/src/", "/src/main.c"})));

    // A pattern with "/" matches a whole path only; a relative one at the end of a path.
    r = Quick({"--filter", "/a.txt", "--filter", "src/main.c"}, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::set<std::string> listed = List(results);
    EXPECT_EQ(listed.count("+ " + root + "/a.txt"), 1u);
    EXPECT_EQ(listed.count("+ " + root + "/src/main.c"), 0u);
}

// A filter added between jobs reports what it leaves out as deleted; one removed collects what it
// left out, also when nothing about those items changed and also when files are judged by their
// times alone.
TEST_F(FilterJob, FilterChangesBetweenJobsDeleteAndCollect) {
    for (bool foldersOnly : {false, true}) {
        SCOPED_TRACE(foldersOnly ? "folders only" : "files too");
        std::vector<std::string> mode;
        if (foldersOnly) mode.push_back("--folders-only");
        auto with = [&](std::vector<std::string> v) {
            v.insert(v.end(), mode.begin(), mode.end());
            return v;
        };
        ASSERT_EQ(testsupport::Shell("rm -rf '" + results + "'"), 0);
        ASSERT_EQ(Quick(with({}), "full").exitCode, 0);

        ForgetTimes();
        RunResult r = Quick(with({"--filter", "*.tmp", "--filter", root + "/src", "--filter", root + "/cache"}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("the filters changed since the previous scan"), std::string::npos) << r.out;
        std::set<std::string> deleted = Items({"/src/", "/cache/"}, "- ");
        if (!foldersOnly) deleted.insert("- " + root + "/b.tmp");  // files are not tracked otherwise
        EXPECT_EQ(List(results), deleted);

        // An exception added below a filtered folder takes its items back.
        ForgetTimes();
        r = Quick(with({"--filter", "*.tmp", "--filter", root + "/src", "--filter", root + "/cache", "--exception",
                        root + "/cache/keep"}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(List(results), Join(Above(), Items({"/", "/cache/", "/cache/keep/", "/cache/keep/k"})));

        // Filters removed: everything they left out comes back, nothing is listed deleted.
        ForgetTimes();
        r = Quick(with({}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("items no longer left out"), std::string::npos) << r.out;
        EXPECT_EQ(List(results), Join(Above(), Items({"/", "/b.tmp", "/cache/", "/cache/x", "/cache/keep/",
                                                      "/cache/keep/k.tmp", "/src/", "/src/main.c", "/src/sub/",
                                                      "/src/sub/deep.c"})));

        // The same filters again: nothing to do.
        ForgetTimes();
        r = Quick(with({}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(List(results).empty());
    }
}

// Recorded filters that no longer read as they were written: nothing tells what they left out, so
// the job collects everything.
TEST_F(FilterJob, UnreadablePreviousFiltersMakeAFullJob) {
    ASSERT_EQ(Quick({"--filter", "src/sub"}, "full").exitCode, 0);
    const std::string path = results + "/JobState.xml";
    const std::string xml = ReadFile(path);
    ASSERT_NE(xml.find("fq src/sub"), std::string::npos) << xml;
    WriteFile(path, std::regex_replace(xml, std::regex("fq src/sub"), "fs src/sub"));
    RunResult r = Quick({"--filter", "src/sub"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("running a full scan: The previous job's filter [src/sub] cannot be read back"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("(full)"), std::string::npos) << r.out;
    EXPECT_EQ(List(results).count("+ " + root + "/src/main.c"), 1u);
}

TEST_F(FilterJob, SubclientFileGivesContentFiltersExceptionsAndReaders) {
    const std::string file = dir / "shares.subclient";
    WriteFile(file, "# shares\nid = 17\ncontent = " + root + "\nfilter = " + root + "/cache\nfilter = *.tmp\n" +
                        "exception = " + root + "/cache/keep\nreaders = 3\n");
    RunResult r = Scan({"--subclient", file}, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("3 data readers (Number of Data Readers configured in subclient: 3)"), std::string::npos)
        << r.out;
    EXPECT_EQ(List(results), Join(Above(), Items({"/", "/a.txt", "/cache/", "/cache/keep/", "/cache/keep/k", "/src/",
                                                  "/src/main.c", "/src/sub/", "/src/sub/deep.c"})));
    EXPECT_EQ(::access((results + "/BackupContent.xml").c_str(), F_OK), 0);

    r = Fsscan({"filters", "--subclient", file, "--results", results});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const std::string& expected : std::vector<std::string>{"content    " + root + "\n", "readers    3  Number of Data Readers configured in subclient: 3\n",
          "origin     server\n"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    for (const std::string& pattern : std::vector<std::string>{"^filter +" + root + "/cache +user$", "^filter +\\*\\.tmp +user$",
                                       "^exception +" + root + "/cache/keep +user$",
                                       "^filter +/proc +system:FilesNotToBackup$"})
        EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern, std::regex::multiline))) << pattern << "\n" << r.out;
    r = Fsscan({"filters", "--subclient", file, "--no-system-filters", "--filter", "core"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("/proc"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^filter +core +command line$", std::regex::multiline))) << r.out;

    // Automatic readers say why.
    r = Fsscan({"filters", "--content", root, "--no-system-filters"});
    EXPECT_NE(r.out.find("readers    4  Optimal number of Data Readers: 4"), std::string::npos) << r.out;
}

TEST_F(FilterJob, SystemFiltersApplyUnlessTurnedOff) {
    ScopedSettingsFile settings(dir / "settings.conf", "[FileSystemAgent]\nFilesNotToBackup=" + root + "/src/,/nowhere\n");
    RunResult r = Scan({"--content", root}, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(List(results).count("+ " + root + "/src/"), 0u);
    r = Scan({"--content", root, "--no-system-filters"}, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(List(results).count("+ " + root + "/src/sub/deep.c"), 1u);
}

TEST_F(FilterJob, BadSubclientFilesFailNamingFileAndLineAndKeepThePreviousJob) {
    ASSERT_EQ(Quick({}, "full").exitCode, 0);
    const std::string state = ReadFile(results + "/JobState.xml");
    const std::string file = dir / "bad.subclient";
    struct Case {
        std::string text;  // empty: no file
        std::string says;
    } cases[] = {
        {"", "not found|No such file|cannot find"},
        {"# nothing but a comment\n\n", "empty|no setting"},
        {"id = 3\ncontent = " + root + "\ncolour = red\n", "line 3.*colour"},
        {"content = data/relative\n", "line 1.*absolute"},
        {"id = 3\ncontent = " + root + "/missing\n", "line 2"},
        {"content = " + root + "\nfilter = /srv/[abc\n", "line 2"},
        {"content = " + root + "\nreaders = 0\n", "line 2"},
        {"content = " + root + "\njust words\n", "line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ::unlink(file.c_str());
        if (!c.text.empty()) WriteFile(file, c.text);
        for (const char* command : {"scan", "filters"}) {
            RunResult r = Fsscan({command, "--subclient", file, "--results", results});
            EXPECT_EQ(r.exitCode, 2) << r.out;
            EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
            EXPECT_TRUE(std::regex_search(r.err, std::regex(c.says, std::regex::icase))) << r.err;
        }
        EXPECT_EQ(ReadFile(results + "/JobState.xml"), state);
    }
    // Bad command-line patterns and combinations are usage errors too.
    EXPECT_EQ(Quick({"--filter", ""}).exitCode, 2);
    EXPECT_EQ(Scan({"--subclient", file, "--content", root}).exitCode, 2);
    EXPECT_EQ(ReadFile(results + "/JobState.xml"), state);
}

TEST_F(FilterJob, UnreachableServerRunsOnTheLocalCopyAndSaysSo) {
    const std::string file = dir / "shares.subclient";
    WriteFile(file, "content = " + root + "\nfilter = " + root + "/src\n");
    {
        // Without a copy there is nothing to run on.
        ScopedSettingsFile offline(dir / "settings.conf", "[Agent]\nHubServeOffline=1\n");
        RunResult r = Scan({"--subclient", file, "--no-system-filters"}, "full");
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("cannot be reached"), std::string::npos) << r.err;
    }
    ASSERT_EQ(Scan({"--subclient", file, "--no-system-filters"}, "full").exitCode, 0);
    // The operator's later edit is not seen while the server is away: the copy is used.
    WriteFile(file, "content = " + root + "\n");
    ScopedSettingsFile offline(dir / "settings.conf", "[Agent]\nHubServeOffline=1\n");
    RunResult r = Scan({"--subclient", file, "--no-system-filters"}, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("the job uses the local copy " + results + "/BackupContent.xml"), std::string::npos) << r.err;
    EXPECT_EQ(List(results).count("+ " + root + "/src/"), 0u);
    EXPECT_EQ(List(results).count("+ " + root + "/a.txt"), 1u);
}

}  // namespace
