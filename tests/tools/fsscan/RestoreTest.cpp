#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "FsScanTestSupport.h"
#include "core/File.h"
#include "core/PathWalker.h"
#include "scan/Unix/ZyFsACL.h"
#include "scan/job/BackupMetadataStore.h"
#include "scan/job/RestoreJob.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::Shell;
using testsupport::WriteFile;

namespace {

bool AsRoot() { return ::geteuid() == 0; }

// Flags the file system sets on its own; they say nothing about what was restored.
constexpr unsigned kFsManagedFlags = FS_EXTENT_FL | FS_INLINE_DATA_FL | 0x10000000 /* FS_HUGE_FILE */ | FS_INDEX_FL;

std::vector<std::string> Names(int dirfd) {
    std::vector<std::string> names;
    EXPECT_TRUE(FXPathWalker::ListFolder(dirfd, names).IsSuccess());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Xattrs(int fd) {
    char list[65536];
    ssize_t n = ::flistxattr(fd, list, sizeof list);
    if (n < 0) return "xattrs unreadable";
    std::set<std::string> names;
    for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(std::strlen(list + i)) + 1) names.insert(list + i);
    std::string out;
    for (const std::string& name : names) {
        char value[65536];
        ssize_t v = ::fgetxattr(fd, name.c_str(), value, sizeof value);
        out += " " + name + "=" + (v >= 0 ? std::string(value, static_cast<size_t>(v)) : "?");
    }
    return out;
}

// Everything a restore must give back, per item below `dirfd`, reached by descriptor so that
// paths of any length work: type, mode, owner, times (folders' to the second: their times pass
// through the timestamp files), bytes, link targets, holes, extended attributes, inode flags.
void Describe(int dirfd, const std::string& relative, std::map<std::string, std::string>& out) {
    for (const std::string& name : Names(dirfd)) {
        const std::string path = relative + "/" + name;
        struct stat st;
        ASSERT_EQ(::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0) << path;
        std::string d = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
        if (S_ISDIR(st.st_mode))
            d += " m" + std::to_string(st.st_mtim.tv_sec);
        else
            d += " m" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        const std::string atime = " a" + std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_atim.tv_nsec);
        if (S_ISLNK(st.st_mode)) {
            char target[8192];
            ssize_t n = ::readlinkat(dirfd, name.c_str(), target, sizeof target);
            d += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        }
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            // Looking must not move the access times it compares.
            FXFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME));
            if (!fd.IsOpen()) fd.Reset(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            ASSERT_TRUE(fd.IsOpen()) << path;
            d += Xattrs(fd.Get());
            unsigned flags = 0;
            if (::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) == 0) d += " flags=" + std::to_string(flags & ~kFsManagedFlags);
            // The backup cannot put back the access time of a file it may not change.
            if (S_ISREG(st.st_mode) && !(flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) d += atime;
            if (S_ISREG(st.st_mode)) {
                std::string bytes(static_cast<size_t>(st.st_size), '\0');
                ssize_t got = ::pread(fd.Get(), bytes.data(), bytes.size(), 0);
                d += " size=" + std::to_string(got) + " holes=" + std::to_string(st.st_blocks * 512 < st.st_size) +
                     " hash=" + std::to_string(std::hash<std::string>()(bytes));
            } else {
                Describe(fd.Get(), path, out);
            }
        }
        out[path] = d;
    }
}

std::map<std::string, std::string> DescribeTree(const std::string& root) {
    FXFd fd;
    EXPECT_TRUE(FXPathWalker::OpenByDescent(root, fd).IsSuccess()) << root;
    std::map<std::string, std::string> out;
    if (fd.IsOpen()) Describe(fd.Get(), "", out);
    return out;
}

// Clears immutable and append-only flags below `dirfd` so the tree can be removed.
void ClearFlags(int dirfd) {
    for (const std::string& name : Names(dirfd)) {
        FXFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd.IsOpen()) continue;
        unsigned flags = 0;
        if (::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
            flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
            ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags);
        }
        struct stat st;
        if (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode)) {
            ::fchmod(fd.Get(), 0700);
            ClearFlags(fd.Get());
        }
    }
}

// A job-results folder, a source tree, a backup and a target in one temporary folder, removed
// by descriptor at the end (the tree holds paths longer than PATH_MAX and immutable files).
struct RestoreFixture {
    ScopedTempDir dir;
    std::string src = dir / "src", results = dir / "results", dest = dir / "dest", target = dir / "target";
    RestoreFixture() {
        ::mkdir(src.c_str(), 0755);
        ::mkdir(results.c_str(), 0700);
    }
    ~RestoreFixture() {
        FXFd fd;
        if (FXPathWalker::OpenByDescent(dir.Path(), fd).IsSuccess()) {
            ClearFlags(fd.Get());
            for (const char* name : {"src", "dest", "target", "results", "outside"})
                FXPathWalker::RemoveTreeAt(fd.Get(), name).IgnoreError();
        }
    }
    RunResult Scan(const char* level) { return Fsscan({"scan", "--results", results, "--content", src, "--level", level}); }
    RunResult Backup(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"backup", "--results", results, "--dest", dest, "--streams", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Fsscan(args);
    }
    RunResult Restore(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"restore", "--results", results, "--from", dest, "--to", target};
        args.insert(args.end(), extra.begin(), extra.end());
        return Fsscan(args);
    }
    void ExpectRestored() {
        auto source = DescribeTree(src), restored = DescribeTree(target + src);
        EXPECT_EQ(source.size(), restored.size());
        for (const auto& [path, what] : source) {
            auto it = restored.find(path);
            if (it == restored.end())
                ADD_FAILURE() << "not restored: " << path.substr(0, 200);
            else
                EXPECT_EQ(it->second, what) << path.substr(0, 200);
        }
        for (const auto& [path, what] : restored)
            if (!source.count(path)) ADD_FAILURE() << "restored but not in the source: " << path.substr(0, 200);
    }
};

void SetTimes(const std::string& path, time_t atime, time_t mtime, long ns = 123456789) {
    struct timespec t[2] = {{atime, ns}, {mtime, ns}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void SetFlags(const std::string& path, unsigned add) {
    FXFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW));
    unsigned flags = 0;
    ASSERT_EQ(::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags), 0);
    flags |= add;
    ASSERT_EQ(::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags), 0) << path;
}

// A folder chain below `parent` whose full path passes `length` bytes, with a file at its end.
std::string MakeLongPath(const std::string& parent, size_t length) {
    FXFd fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY));
    std::string path = parent;
    const std::string component(240, 'L');
    for (int i = 0; path.size() < length; ++i) {
        std::string name = component + std::to_string(i);
        EXPECT_EQ(::mkdirat(fd.Get(), name.c_str(), 0750), 0);
        fd.Reset(::openat(fd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY));
        path += "/" + name;
    }
    FXFd file(::openat(fd.Get(), "deep-file", O_WRONLY | O_CREAT, 0640));
    EXPECT_EQ(::write(file.Get(), "deep", 4), 4);
    EXPECT_EQ(::fsetxattr(file.Get(), "user.deep", "yes", 3, 0), 0);
    return path + "/deep-file";
}

TEST(RestoreTest, GivesBackEveryItemWithItsMetadata) {
    RestoreFixture f;
    const std::string& s = f.src;
    // ACLs, access and default, on folders and files; attributes; names hard to escape.
    ASSERT_EQ(::mkdir((s + "/acl").c_str(), 0750), 0);
    ASSERT_EQ(Shell("setfacl -m u:65534:rx,g:65534:r " + s + "/acl && setfacl -d -m u:65534:rwx " + s + "/acl"), 0);
    WriteFile(s + "/acl/inherited", "inherits the default ACL");
    WriteFile(s + "/acl/plain", "mode only");
    ASSERT_EQ(::chmod((s + "/acl/plain").c_str(), 0604), 0);
    ASSERT_EQ(Shell("setfacl -b " + s + "/acl/plain"), 0);
    WriteFile(s + "/attrs", "attributes");
    ASSERT_EQ(::setxattr((s + "/attrs").c_str(), "user.one", "1", 1, 0), 0);
    ASSERT_EQ(::setxattr((s + "/attrs").c_str(), "user.binary", "a\0b\n", 4, 0), 0);
    ASSERT_EQ(::setxattr((s + "/attrs").c_str(), "user.empty", "", 0, 0), 0);
    for (const std::string name : {"bar|<PATH>x", "line\nbreak", "%41%", " lead", "back\\slash", "-dash", "\xff\xfe", "a..b"})
        WriteFile(s + "/" + name, "named " + name);
    ASSERT_EQ(::mkdir((s + "/..dots").c_str(), 0700), 0);
    // Links of every sort: kept as links, never followed.
    ASSERT_EQ(::symlink("../attrs", (s + "/acl/relative").c_str()), 0);
    ASSERT_EQ(::symlink("/etc/passwd", (s + "/absolute").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (s + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("..", (s + "/up").c_str()), 0);
    ASSERT_EQ(::mkfifo((s + "/fifo").c_str(), 0620), 0);
    // A sparse file: holes at the start and the end.
    {
        FXFd fd(::open((s + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::pwrite(fd.Get(), "data", 4, 8 << 20), 4);
        ASSERT_EQ(::ftruncate(fd.Get(), 16 << 20), 0);
    }
    const std::string deep = MakeLongPath(s, 10000);
    ASSERT_GT(deep.size(), 10000u);
    // A folder nobody may write to, and times with nanoseconds everywhere.
    ASSERT_EQ(::mkdir((s + "/readonly").c_str(), 0755), 0);
    WriteFile(s + "/readonly/inside", "inside");
    ASSERT_EQ(::chmod((s + "/readonly").c_str(), 0555), 0);
    for (const char* name : {"/attrs", "/acl/plain", "/sparse", "/readonly/inside", "/readonly", "/acl"})
        SetTimes(s + name, 1000000000, 1200000000);
    SetTimes(s + "/absolute", 1000000000, 1100000000);
    if (AsRoot()) {
        WriteFile(s + "/owned", "by someone else");
        ASSERT_EQ(::chown((s + "/owned").c_str(), 1234, 5678), 0);
        ASSERT_EQ(::lchown((s + "/dangling").c_str(), 4321, 8765), 0);
        ASSERT_EQ(::setxattr((s + "/attrs").c_str(), "trusted.secret", "t", 1, 0), 0);
        WriteFile(s + "/immutable", "cannot change");
        WriteFile(s + "/appendonly", "append only");
        ASSERT_EQ(::mkdir((s + "/frozen").c_str(), 0755), 0);
        WriteFile(s + "/frozen/kept", "in a frozen folder");
        SetTimes(s + "/frozen", 1000000000, 1300000000);
        SetFlags(s + "/immutable", FS_IMMUTABLE_FL);
        SetFlags(s + "/appendonly", FS_APPEND_FL);
        SetFlags(s + "/frozen", FS_IMMUTABLE_FL);
    } else {
        std::fprintf(stderr, "not root: owners, trusted attributes and immutable files are not tested\n");
    }

    RunResult r = f.Scan("full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Access times are put back so the source keeps the ones the restore must give back.
    r = f.Backup({"--preserve-atime"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = f.Restore();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    f.ExpectRestored();

    // Again over the restored tree: nothing is replaced without --overwrite, every item says so.
    r = f.Restore();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not replaced"), std::string::npos) << r.err;
    EXPECT_NE(ReadFile(f.results + "/Restore/restore.out").find("/attrs"), std::string::npos);
    f.ExpectRestored();
}

TEST(RestoreTest, PreserveAtimeKeepsReadFilesOutOfTheNextIncremental) {
    RestoreFixture f;
    for (int i = 0; i < 5; ++i) {
        WriteFile(f.src + "/file" + std::to_string(i), "content " + std::to_string(i));
        SetTimes(f.src + "/file" + std::to_string(i), 1000000000, 1100000000);
    }
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    struct stat before, st;
    ASSERT_EQ(::stat((f.src + "/file0").c_str(), &before), 0);
    RunResult r = f.Backup({"--preserve-atime"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("5 access times put back"), std::string::npos) << r.out;
    ASSERT_EQ(::stat((f.src + "/file0").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << "the access time is put back";
    EXPECT_NE(st.st_ctim.tv_nsec + st.st_ctim.tv_sec * 1000000000ll, before.st_ctim.tv_nsec + before.st_ctim.tv_sec * 1000000000ll)
        << "putting it back moved the change time, which the next scan would take for a change";

    ASSERT_EQ(f.Scan("incremental").exitCode, 0);
    for (const std::string& line : fsscantest::List(f.results))
        EXPECT_EQ(line.back(), '/') << "a file whose access time was put back is collected: " << line;

    // Real changes after the backup are collected: new content, a new mode.
    ASSERT_EQ(f.Backup({"--preserve-atime"}).exitCode, 0);
    WriteFile(f.src + "/file1", "changed");
    ASSERT_EQ(::chmod((f.src + "/file2").c_str(), 0600), 0);
    ASSERT_EQ(f.Scan("incremental").exitCode, 0);
    std::set<std::string> files;
    for (const std::string& line : fsscantest::List(f.results))
        if (line.back() != '/') files.insert(line);
    EXPECT_EQ(files, (std::set<std::string>{"+ " + f.src + "/file1", "+ " + f.src + "/file2"}));
}

// Restores in-process, so that a test can act while the restore runs.
SRestoreJobSummary RestoreInProcess(RestoreFixture& f, SRestoreJobOptions options, CKoError* error = nullptr) {
    options.resultsDir = f.results;
    options.from = f.dest;
    options.to = f.target;
    CRestoreJob job(options);
    CKoError e = job.Run();
    if (error)
        *error = e;
    else
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    return job.Summary();
}

std::string Reasons(const SRestoreJobSummary& s) {
    std::string out;
    for (const SRestoreFailure& f : s.failures) out += f.path + ": " + f.reason + "\n";
    return out;
}

TEST(RestoreTest, DamagedMetadataFailsOnlyItsItem) {
    RestoreFixture f;
    const std::vector<std::string> names = {"truncated", "overflow", "unknown-type", "bad-entry", "element-size", "good"};
    for (const std::string& n : names) WriteFile(f.src + "/" + n, n);
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    ASSERT_EQ(f.Backup().exitCode, 0);

    auto header = [](uint16_t type, uint16_t count, uint32_t elementSize) {
        std::string h(16, '\0');
        h[0] = char(type >> 8), h[1] = char(type);
        h[4] = char(count >> 8), h[5] = char(count);
        for (int i = 0; i < 4; ++i) h[8 + i] = char(elementSize >> (24 - 8 * i));
        return h;
    };
    const std::map<std::string, std::string> damaged = {
        {"truncated", header(ZyACL::RECORD_XATTR, 1, 64) + std::string(8, 'x')},
        {"overflow", header(ZyACL::RECORD_XATTR, 0xFFFF, 0xFFFFFFFF)},
        {"unknown-type", header(200, 1, 8) + std::string(8, '\0')},
        {"bad-entry", header(ZyACL::RECORD_XATTR, 1, 8) + std::string("\0\0\0\x40zzzz", 8)},
        {"element-size", header(ZyACL::RECORD_INODE_FLAGS, 1, 4) + std::string(8, '\0')},
    };
    {
        CBackupMetadataStore store;
        ASSERT_TRUE(store.Open(f.results, true).IsSuccess());
        for (const auto& [name, buffer] : damaged) {
            SItemMetadata meta;
            bool found = false;
            ASSERT_TRUE(store.Get(f.src + "/" + name, meta, found).IsSuccess());
            ASSERT_TRUE(found) << name;
            meta.security = buffer;
            ASSERT_TRUE(store.Put(f.src + "/" + name, meta).IsSuccess());
        }
        ASSERT_TRUE(store.Close().IsSuccess());
    }
    SRestoreJobSummary s = RestoreInProcess(f, {});
    EXPECT_EQ(s.failed, damaged.size()) << Reasons(s);
    for (const auto& [name, buffer] : damaged) {
        EXPECT_NE(Reasons(s).find(f.src + "/" + name + ": cannot restore its security metadata"), std::string::npos)
            << name << "\n" << Reasons(s);
        EXPECT_EQ(ReadFile(f.target + f.src + "/" + name), name) << "the content is restored all the same";
    }
    EXPECT_EQ(ReadFile(f.target + f.src + "/good"), "good");
}

TEST(RestoreTest, NothingIsWrittenOutsideTheTarget) {
    RestoreFixture f;
    const std::string outside = f.dir / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((f.src + "/d").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((f.src + "/d/e").c_str(), 0755), 0);
    WriteFile(f.src + "/d/e/file", "inside");
    WriteFile(f.src + "/d/f", "inside");
    ASSERT_EQ(::symlink(outside.c_str(), (f.src + "/link-out").c_str()), 0);
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    ASSERT_EQ(f.Backup().exitCode, 0);
    auto outsideIsEmpty = [&] {
        FXFd fd(::open(outside.c_str(), O_RDONLY | O_DIRECTORY));
        return Names(fd.Get()).empty();
    };

    // A link planted in the target where a folder of the backup goes: kept and never followed
    // without --overwrite; replaced (not followed) with it.
    ASSERT_EQ(FXFile::CreateFoldersIteratively(f.target + f.src).IsSuccess(), true);
    ASSERT_EQ(::symlink(outside.c_str(), (f.target + f.src + "/d").c_str()), 0);
    SRestoreJobSummary s = RestoreInProcess(f, {});
    EXPECT_EQ(s.failed, 1u) << Reasons(s);
    EXPECT_TRUE(outsideIsEmpty());
    SRestoreJobOptions overwrite;
    overwrite.overwrite = true;
    s = RestoreInProcess(f, overwrite);
    EXPECT_EQ(s.failed, 0u) << Reasons(s);
    EXPECT_TRUE(outsideIsEmpty());
    EXPECT_EQ(ReadFile(f.target + f.src + "/d/e/file"), "inside");

    // A folder swapped for a link to outside while the restore writes into it.
    testsupport::RemoveTree(f.target);
    SRestoreJobOptions swapping;
    swapping.onFolder = [&](const std::string& path) {
        if (path != f.src + "/d") return;
        const std::string d = f.target + f.src + "/d";
        ASSERT_EQ(::rename(d.c_str(), (d + ".moved").c_str()), 0);
        ASSERT_EQ(::symlink(outside.c_str(), d.c_str()), 0);
    };
    s = RestoreInProcess(f, swapping);
    EXPECT_TRUE(outsideIsEmpty());
    EXPECT_EQ(ReadFile(f.target + f.src + "/d.moved/e/file"), "inside") << "written into the folder it made, not the link";

    // A link in the backup that leads out is restored as that link; nothing is read through it.
    struct stat st;
    ASSERT_EQ(::lstat((f.target + f.src + "/link-out").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // Paths given to restore must be clean.
    CKoError e;
    SRestoreJobOptions dotted;
    dotted.paths = {f.src + "/../.."};
    RestoreInProcess(f, dotted, &e);
    EXPECT_TRUE(e.IsError());
    RunResult r = f.Restore({"--path", "relative/path"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(outsideIsEmpty());
}

TEST(RestoreTest, PathRestoresOnlyWhatLiesBelowIt) {
    RestoreFixture f;
    ASSERT_EQ(::mkdir((f.src + "/a").c_str(), 0750), 0);
    ASSERT_EQ(::mkdir((f.src + "/a/b").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((f.src + "/ab").c_str(), 0755), 0);
    WriteFile(f.src + "/a/b/file", "wanted");
    WriteFile(f.src + "/a/other", "not wanted");
    WriteFile(f.src + "/ab/file", "not wanted");
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    ASSERT_EQ(f.Backup().exitCode, 0);
    RunResult r = f.Restore({"--path", f.src + "/a/b", "--path", f.src + "/missing"});
    EXPECT_EQ(r.exitCode, 1) << "a path not in the backup is listed";
    EXPECT_NE(r.err.find(f.src + "/missing: not in the backup"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(f.target + f.src + "/a/b/file"), "wanted");
    struct stat st;
    EXPECT_NE(::stat((f.target + f.src + "/a/other").c_str(), &st), 0);
    EXPECT_NE(::stat((f.target + f.src + "/ab").c_str(), &st), 0);
    ASSERT_EQ(::stat((f.target + f.src + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u) << "an ancestor the restore made gets its own metadata";
}

TEST(RestoreTest, ItemsKeepTheirOwnAclsInAFolderWithADefaultAcl) {
    RestoreFixture f;
    WriteFile(f.src + "/plain", "no ACL of its own");
    ASSERT_EQ(::mkdir((f.src + "/folder").c_str(), 0755), 0);
    WriteFile(f.src + "/own", "an ACL of its own");
    ASSERT_EQ(Shell("setfacl -m u:65534:r " + f.src + "/own"), 0);
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    ASSERT_EQ(f.Backup().exitCode, 0);
    // The target folder exists (it is merged into) and hands a default ACL to what is made in it.
    ASSERT_TRUE(FXFile::CreateFoldersIteratively(f.target + f.src).IsSuccess());
    ASSERT_EQ(Shell("setfacl -d -m u:65534:rwx " + f.target + f.src), 0);
    RunResult r = f.Restore();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    char buffer[256];
    for (const char* name : {"/plain", "/folder"})
        EXPECT_LT(::getxattr((f.target + f.src + name).c_str(), "system.posix_acl_access", buffer, sizeof buffer), 0) << name;
    EXPECT_LT(::getxattr((f.target + f.src + "/folder").c_str(), "system.posix_acl_default", buffer, sizeof buffer), 0);
    const ssize_t n = ::getxattr((f.target + f.src + "/own").c_str(), "system.posix_acl_access", buffer, sizeof buffer);
    const ssize_t want = ::getxattr((f.src + "/own").c_str(), "system.posix_acl_access", buffer, sizeof buffer);
    EXPECT_EQ(n, want);
}

TEST(RestoreTest, AFullTargetFailsTheItemsThatDoNotFitAndLeavesNoTemporaries) {
    RestoreFixture f;
    for (int i = 0; i < 6; ++i) WriteFile(f.src + "/big" + std::to_string(i), std::string(200 * 1024, char('a' + i)));
    WriteFile(f.src + "/small", "fits");
    ASSERT_EQ(f.Scan("full").exitCode, 0);
    ASSERT_EQ(f.Backup().exitCode, 0);
    testsupport::TinyTmpfs tiny(512 * 1024);
    if (!tiny.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    RunResult r = Fsscan({"restore", "--results", f.results, "--from", f.dest, "--to", tiny.Path()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("No space left"), std::string::npos) << r.err;
    // What fits is there whole; what does not is not there at all, not even in part.
    FXFd fd;
    ASSERT_TRUE(FXPathWalker::OpenByDescent(tiny.Path() + f.src, fd).IsSuccess());
    int whole = 0;
    for (const std::string& name : Names(fd.Get())) {
        EXPECT_EQ(name.find(".fsscan-"), std::string::npos) << "a temporary was left: " << name;
        if (name == "small") continue;
        EXPECT_EQ(ReadFile(tiny.Path() + f.src + "/" + name).size(), 200u * 1024) << name;
        ++whole;
    }
    EXPECT_GT(whole, 0);
    EXPECT_LT(whole, 6);
}

}  // namespace
