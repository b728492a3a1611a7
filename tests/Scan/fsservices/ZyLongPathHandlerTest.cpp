#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "scan/fsservices/ZyLongPathHandler.h"
#include "support/TestSupport.h"

using testsupport::ScopedTempDir;

namespace {

// Releases the handler at the end of each test, whatever happened.
struct HandlerScope {
    ZyLongPathHandler* h = ZyLongPathHandler::GetHandler();
    ~HandlerScope() { ZyLongPathHandler::ReleaseHandler(); }
};

// A path of about `bytes` bytes below `base`, in components of 200 bytes.
std::string LongPath(const std::string& base, size_t bytes, char letter) {
    std::string path = base;
    for (int i = 0; path.size() < bytes; ++i) path += "/" + std::string(190, letter) + std::to_string(1000000000 + i);
    return path;
}

// Stats an item by descending with openat, independently of the handler.
bool StatByDescent(const std::string& path, struct stat& st, bool follow = false) {
    int dir = ::open("/", O_RDONLY | O_DIRECTORY);
    size_t pos = 1;
    while (dir >= 0) {
        const size_t next = path.find('/', pos);
        const std::string name = path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        if (next == std::string::npos) {
            const bool ok = ::fstatat(dir, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
            ::close(dir);
            return ok;
        }
        const int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        ::close(dir);
        dir = sub;
        pos = next + 1;
    }
    return false;
}

std::string Cwd() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

TEST(ZyLongPathHandler, EveryOperationOnPathsOfTensOfThousandsOfBytes) {
    ScopedTempDir dir;
    const std::string before = Cwd();
    {
        HandlerScope scope;
        ZyLongPathHandler* h = scope.h;
        ASSERT_NE(h, nullptr);
        const std::string folder = LongPath(dir.Path(), 30000, 'a');
        ASSERT_GT(folder.size(), 30000u);
        // The system alone cannot.
        EXPECT_EQ(::mkdir(folder.c_str(), 0700), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);

        std::map<std::string, bool> created;
        ASSERT_EQ(h->CreateDirsIteratively_Long(folder, &created), 1);
        EXPECT_EQ(created.size(), (folder.size() - dir.Path().size()) / 201);
        EXPECT_TRUE(created.count(folder));
        struct stat st;
        ASSERT_TRUE(StatByDescent(folder, st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(h->CreateDirsIteratively_Long(folder, nullptr), 1);  // all there already

        const std::string file = folder + "/file.txt";
        int fd = h->openRestoreFile_long(file, nullptr, true);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(::write(fd, "hello world", 11), 11);
        ::close(fd);
        ASSERT_EQ(h->stat_long(file, &st), 0);
        EXPECT_EQ(st.st_size, 11);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(h->truncate_long(file, 5), 0);
        ASSERT_EQ(h->chmod_long(file, 0640), 0);
        ASSERT_EQ(h->chown_long(file, ::getuid(), ::getgid()), 0);
        struct utimbuf times = {1000000000, 1200000000};
        ASSERT_EQ(h->utime_long(file, &times), 0);
        ASSERT_TRUE(StatByDescent(file, st));
        EXPECT_EQ(st.st_size, 5);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_atime, 1000000000);
        EXPECT_EQ(st.st_mtime, 1200000000);

        FILE* f = h->fopen_long(file, "rb");
        ASSERT_NE(f, nullptr);
        char text[16] = {};
        EXPECT_EQ(std::fread(text, 1, sizeof text, f), 5u);
        std::fclose(f);
        EXPECT_STREQ(text, "hello");

        fd = h->open_long(folder + "/new", O_WRONLY | O_CREAT | O_EXCL, 0604);
        ASSERT_GE(fd, 0);
        ::close(fd);
        fd = h->creat_long(folder + "/created", 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
        fd = h->open_long(folder + "/new", O_RDONLY);
        ASSERT_GE(fd, 0);
        ::close(fd);

        // A link, read and changed as itself.
        ASSERT_EQ(h->chdir_long(folder), 0);
        ASSERT_EQ(::symlink("file.txt", "link"), 0);
        char target[64] = {};
        EXPECT_EQ(h->readlink_long(folder + "/link", target, sizeof target), 8);
        EXPECT_STREQ(target, "file.txt");
        ASSERT_EQ(h->lstat_long(folder + "/link", &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(h->stat_long(folder + "/link", &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(h->lchown_long(folder + "/link", ::getuid(), ::getgid()), 0);
        struct timespec ts[2] = {{5, 0}, {7, 0}};
        ASSERT_EQ(h->utimensat_long(folder + "/link", ts, AT_SYMLINK_NOFOLLOW), 0);
        ASSERT_TRUE(StatByDescent(folder + "/link", st));
        EXPECT_EQ(st.st_mtime, 7);
        ASSERT_TRUE(StatByDescent(file, st));
        EXPECT_EQ(st.st_mtime, 1200000000);  // the target kept its own

        struct statfs fs;
        EXPECT_EQ(h->statfs_long(file, &fs), 0);
        DIR* d = h->opendir_long(folder + "/");  // a trailing "/" names the folder itself
        ASSERT_NE(d, nullptr);
        int entries = 0;
        while (dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
        ::closedir(d);
        EXPECT_EQ(entries, 4);

        // Failures answer the call's failure value with errno set.
        EXPECT_EQ(h->stat_long(folder + "/missing", &st), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(h->stat_long(folder + "/missing/deeper/x", &st), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(h->fopen_long(folder + "/missing/x", "r"), nullptr);
        EXPECT_EQ(h->stat_long("/onlyroot", &st), -1);  // the folder part is empty
        EXPECT_EQ(h->stat_long("relative", &st), -1);
        EXPECT_EQ(h->chdir_long(""), -1);
        // A component longer than any name cannot be reached.
        EXPECT_NE(h->chdir_long(dir.Path() + "/" + std::string(300, 'x')), 0);
    }
    // Releasing the handler brings the process back.
    EXPECT_EQ(Cwd(), before);
}

TEST(ZyLongPathHandler, MovesClimbOnlyToTheCommonFolder) {
    ScopedTempDir dir;
    HandlerScope scope;
    ZyLongPathHandler* h = scope.h;
    const std::string common = LongPath(dir.Path(), 12000, 'c');
    const std::string left = LongPath(common + "/left", common.size() + 9000, 'l');
    const std::string right = LongPath(common + "/right", common.size() + 9000, 'r');
    ASSERT_EQ(h->CreateDirsIteratively_Long(left, nullptr), 1);
    ASSERT_EQ(h->CreateDirsIteratively_Long(right, nullptr), 1);

    ASSERT_EQ(h->chdir_long(common), 0);
    EXPECT_EQ(h->CurrentLongPath(), common);
    const std::vector<int> commonSteps = h->StepDescriptors();
    ASSERT_EQ(h->chdir_long(left), 0);
    EXPECT_EQ(h->CurrentLongPath(), left);
    ASSERT_EQ(h->chdir_long(right), 0);
    EXPECT_EQ(h->CurrentLongPath(), right);
    // The steps up to the common folder were kept, not climbed and redone.
    const std::vector<int> now = h->StepDescriptors();
    ASSERT_GT(now.size(), commonSteps.size());
    EXPECT_TRUE(std::equal(commonSteps.begin(), commonSteps.end(), now.begin()));
    struct stat here, there;
    ASSERT_EQ(::stat(".", &here), 0);
    ASSERT_TRUE(StatByDescent(right, there));
    EXPECT_EQ(here.st_ino, there.st_ino);

    // A sibling whose name extends the current folder's is not below it.
    const std::string sibling = right + "x";
    ASSERT_EQ(h->CreateDirsIteratively_Long(sibling, nullptr), 1);
    ASSERT_EQ(h->chdir_long(sibling), 0);
    ASSERT_EQ(::stat(".", &here), 0);
    ASSERT_TRUE(StatByDescent(sibling, there));
    EXPECT_EQ(here.st_ino, there.st_ino);
    // Up to an ancestor and back down.
    ASSERT_EQ(h->chdir_long(common), 0);
    ASSERT_EQ(::stat(".", &here), 0);
    ASSERT_TRUE(StatByDescent(common, there));
    EXPECT_EQ(here.st_ino, there.st_ino);
    // Somewhere else entirely.
    ASSERT_EQ(h->chdir_long("/"), 0);
    ASSERT_EQ(::stat(".", &here), 0);
    ASSERT_EQ(::stat("/", &there), 0);
    EXPECT_EQ(here.st_ino, there.st_ino);
    ASSERT_EQ(h->chdir_long(left), 0);
    EXPECT_EQ(h->CurrentLongPath(), left);
}

TEST(ZyLongPathHandler, RestoreFilesCreateTheirFoldersAndRecordThem) {
    ScopedTempDir dir;
    HandlerScope scope;
    ZyLongPathHandler* h = scope.h;
    const std::string folder = LongPath(dir.Path() + "/r", 9000, 'd');
    std::map<std::string, bool> created;
    const int fd = h->openRestoreFile_long(folder + "/f", &created, false);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ::close(fd);
    EXPECT_TRUE(created.count(dir.Path() + "/r"));
    EXPECT_TRUE(created.count(folder));
    // A file where a folder should be stops the creation.
    testsupport::WriteFile(dir / "plain", "x");
    EXPECT_EQ(h->CreateDirsIteratively_Long(dir / "plain/sub", nullptr), 0);
    EXPECT_EQ(h->openRestoreFile_long(dir / "plain/sub/f", nullptr, false), -1);
}

TEST(ZyLongPathHandler, OtherThreadsAndArchiveIndexGetNoHandler) {
    ScopedTempDir dir;
    HandlerScope scope;
    ASSERT_NE(scope.h, nullptr);
    ZyLongPathHandler* fromThread = scope.h;
    int rc = 0, err = 0;
    std::thread([&] {
        fromThread = ZyLongPathHandler::GetHandler();
        struct stat st;
        rc = scope.h->stat_long(dir.Path() + "/x", &st);
        err = errno;
    }).join();
    EXPECT_EQ(fromThread, nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EPERM);
    EXPECT_EQ(ZyLongPathHandler::GetHandler(), scope.h);

    ZyLongPathHandler::setIsArchiveIndex(true);
    EXPECT_EQ(ZyLongPathHandler::GetHandler(), nullptr);
    ZyLongPathHandler::setIsArchiveIndex(false);
    EXPECT_TRUE(!ZyLongPathHandler::getIsArchiveIndex());
}

}  // namespace
