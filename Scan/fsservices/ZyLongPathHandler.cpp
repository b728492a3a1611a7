// Operations on paths longer than one system call accepts, by stepping the working directory.
#include "scan/fsservices/ZyLongPathHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/ZyThread.h"

ZyLongPathHandler* ZyLongPathHandler::s_instance = nullptr;
long ZyLongPathHandler::s_threadId = 0;
bool ZyLongPathHandler::s_isArchiveIndex = false;

namespace {

void StripTrailingSlash(std::string& path) {
    if (path.size() > 1 && path.back() == '/') path.pop_back();
}

// True when `ancestor` is `path` or one of its folders ("/a" for "/a/b", never for "/ab").
bool IsSameOrAncestor(const std::string& ancestor, const std::string& path) {
    if (path.compare(0, ancestor.size(), ancestor) != 0) return false;
    return path.size() == ancestor.size() || ancestor == "/" || path[ancestor.size()] == '/';
}

}  // namespace

ZyLongPathHandler* ZyLongPathHandler::GetHandler() {
    if (s_isArchiveIndex) return nullptr;
    const long self = zythread_get_main_thread_pid();
    if (!s_instance) {
        s_instance = new ZyLongPathHandler();
        s_threadId = self;
    }
    return s_threadId == self ? s_instance : nullptr;
}

void ZyLongPathHandler::ReleaseHandler() {
    delete s_instance;
    s_instance = nullptr;
}

bool ZyLongPathHandler::getIsArchiveIndex() { return s_isArchiveIndex; }
void ZyLongPathHandler::setIsArchiveIndex(bool isArchiveIndex) { s_isArchiveIndex = isArchiveIndex; }

ZyLongPathHandler::ZyLongPathHandler() : m_threadId(zythread_get_main_thread_pid()) {
    if (!::getcwd(m_workingDirectory, 1023)) m_workingDirectory[0] = '\0';
}

ZyLongPathHandler::~ZyLongPathHandler() {
    // The oldest step's descriptor is where the process was before the first move; it works
    // even where the saved name would be too long or gone.
    if (!m_stack.empty()) {
        if (::fchdir(m_stack.front().fd) != 0 && m_workingDirectory[0]) (void)::chdir(m_workingDirectory);
    }
    for (WorkingPath& w : m_stack) ::close(w.fd);
}

std::vector<int> ZyLongPathHandler::StepDescriptors() const {
    std::vector<int> fds;
    for (const WorkingPath& w : m_stack) fds.push_back(w.fd);
    return fds;
}

bool ZyLongPathHandler::SameThread() const { return zythread_get_main_thread_pid() == m_threadId; }

// ---------------------------------------------------------------------------------------------
// Moving

void ZyLongPathHandler::ClimbOne() {
    WorkingPath& top = m_stack.back();
    (void)::fchdir(top.fd);
    ::close(top.fd);
    m_currentLongPath.resize(top.previousLen);
    m_stack.pop_back();
}

void ZyLongPathHandler::ClimbAll() {
    while (!m_stack.empty()) ClimbOne();
    m_currentLongPath.clear();
}

int ZyLongPathHandler::JumpToDir(const std::string& path) {
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    std::string prefix = path;
    // Try the whole path, and shorter prefixes while the system says it is too long.
    while (::chdir(prefix.c_str()) != 0) {
        const int err = errno;
        const size_t cut = prefix.rfind('/');
        if (err != ENAMETOOLONG || cut == std::string::npos || cut == 0) {
            ::close(fd);
            errno = err;
            return err == ENAMETOOLONG ? -1 : err;
        }
        prefix.resize(cut);
    }
    const size_t previous = m_currentLongPath.size();
    if (prefix[0] != '/' && (m_currentLongPath.empty() || m_currentLongPath.back() != '/')) m_currentLongPath += '/';
    m_currentLongPath += prefix;
    m_stack.push_back({fd, prefix, previous});
    if (prefix.size() < path.size()) return JumpToDir(path.substr(prefix.size() + 1));
    return 0;
}

int ZyLongPathHandler::chdir_long(const std::string& pathIn) {
    if (pathIn.empty()) return -1;
    std::string path = pathIn;
    StripTrailingSlash(path);
    if (path[0] != '/') {
        // Relative paths would depend on where the last operation left the process.
        errno = EINVAL;
        return -1;
    }
    if (path == m_currentLongPath) return 0;
    if (m_currentLongPath.empty()) return JumpToDir(path);
    // Climb back to the deepest recorded place that is the target or one of its folders; only
    // whole components count ("/a/b" is not below "/a/bc").
    while (!m_stack.empty() && !IsSameOrAncestor(m_currentLongPath, path)) ClimbOne();
    if (m_stack.empty()) {
        m_currentLongPath.clear();
        return JumpToDir(path);
    }
    if (path == m_currentLongPath) return 0;
    const size_t skip = m_currentLongPath == "/" ? 1 : m_currentLongPath.size() + 1;
    return JumpToDir(path.substr(skip));
}

bool ZyLongPathHandler::Reach(const std::string& pathIn, std::string& name) {
    if (!SameThread()) {
        errno = EPERM;
        return false;
    }
    std::string path = pathIn;
    StripTrailingSlash(path);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        // No folder part ("a") or only the root's ("/a"): refused, as the folder part is empty.
        errno = EINVAL;
        return false;
    }
    const int rc = chdir_long(path.substr(0, slash));
    if (rc != 0) {
        if (rc > 0) errno = rc;
        return false;
    }
    name = path.substr(slash + 1);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The wrapped calls

int ZyLongPathHandler::open_long(const std::string& path, int flags) {
    std::string name;
    return Reach(path, name) ? ::open(name.c_str(), flags) : -1;
}

int ZyLongPathHandler::open_long(const std::string& path, int flags, mode_t mode) {
    std::string name;
    return Reach(path, name) ? ::open(name.c_str(), flags, mode) : -1;
}

int ZyLongPathHandler::creat_long(const std::string& path, mode_t mode) {
    std::string name;
    return Reach(path, name) ? ::creat(name.c_str(), mode) : -1;
}

int ZyLongPathHandler::stat_long(const std::string& path, struct stat* st) {
    std::string name;
    return Reach(path, name) ? ::stat(name.c_str(), st) : -1;
}

int ZyLongPathHandler::lstat_long(const std::string& path, struct stat* st) {
    std::string name;
    return Reach(path, name) ? ::lstat(name.c_str(), st) : -1;
}

int ZyLongPathHandler::truncate_long(const std::string& path, off_t length) {
    std::string name;
    return Reach(path, name) ? ::truncate(name.c_str(), length) : -1;
}

FILE* ZyLongPathHandler::fopen_long(const std::string& path, const char* mode) {
    std::string name;
    return Reach(path, name) ? std::fopen(name.c_str(), mode) : nullptr;
}

int ZyLongPathHandler::chmod_long(const std::string& path, mode_t mode) {
    std::string name;
    return Reach(path, name) ? ::chmod(name.c_str(), mode) : -1;
}

int ZyLongPathHandler::chown_long(const std::string& path, uid_t uid, gid_t gid) {
    std::string name;
    return Reach(path, name) ? ::chown(name.c_str(), uid, gid) : -1;
}

int ZyLongPathHandler::lchown_long(const std::string& path, uid_t uid, gid_t gid) {
    std::string name;
    return Reach(path, name) ? ::lchown(name.c_str(), uid, gid) : -1;
}

int ZyLongPathHandler::utime_long(const std::string& path, const struct utimbuf* times) {
    std::string name;
    return Reach(path, name) ? ::utime(name.c_str(), times) : -1;
}

int ZyLongPathHandler::utimensat_long(const std::string& path, const struct timespec times[2], int flags) {
    std::string name;
    return Reach(path, name) ? ::utimensat(AT_FDCWD, name.c_str(), times, flags) : -1;
}

ssize_t ZyLongPathHandler::readlink_long(const std::string& path, char* buffer, size_t size) {
    std::string name;
    return Reach(path, name) ? ::readlink(name.c_str(), buffer, size) : -1;
}

int ZyLongPathHandler::statfs_long(const std::string& path, struct statfs* st) {
    std::string name;
    return Reach(path, name) ? ::statfs(name.c_str(), st) : -1;
}

DIR* ZyLongPathHandler::opendir_long(const std::string& path) {
    std::string name;
    return Reach(path, name) ? ::opendir(name.c_str()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Restores

int ZyLongPathHandler::openRestoreFile_long(const std::string& pathIn, std::map<std::string, bool>* createdDirs,
                                            bool truncate) {
    if (!SameThread()) {
        errno = EPERM;
        return -1;
    }
    std::string path = pathIn;
    StripTrailingSlash(path);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        errno = EINVAL;
        return -1;
    }
    const std::string folder = path.substr(0, slash);
    const int flags = O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0) | O_CLOEXEC;
    int rc = chdir_long(folder);
    if (rc != 0) {
        if (rc > 0) errno = rc;
        if (errno != ENOENT) return -1;
        // Missing folders are made, and recorded when the caller keeps a list; then try again.
        if (!CreateDirsIteratively_Long(folder, createdDirs)) return -1;
        rc = chdir_long(folder);
        if (rc != 0) {
            if (rc > 0) errno = rc;
            return -1;
        }
    }
    return ::open(path.c_str() + slash + 1, flags, 0600);
}

int ZyLongPathHandler::CreateDirsIteratively_Long(const std::string& pathIn, std::map<std::string, bool>* createdDirs) {
    if (pathIn.empty() || !SameThread()) return 0;
    std::string path = pathIn;
    StripTrailingSlash(path);
    // Backwards: the longest prefix that can be made or already is a folder.
    size_t end = path.size();
    for (;;) {
        const std::string prefix = path.substr(0, end);
        if (::mkdir(prefix.c_str(), 0700) == 0) {
            if (createdDirs) (*createdDirs)[prefix] = true;
            break;
        }
        const int err = errno;
        if (err == EEXIST) {
            struct stat st;
            if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return 0;
            }
            break;
        }
        if (err != ENOENT && err != ENAMETOOLONG) return 0;
        const size_t cut = path.rfind('/', end - 1);
        if (cut == std::string::npos || cut == 0) return 0;
        end = cut;
    }
    if (end == path.size()) return 1;
    // Forwards from there, one component at a time, relative to the folder reached.
    const int start = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) return 0;
    int ok = ::chdir(path.substr(0, end).c_str()) == 0;
    while (ok && end < path.size()) {
        const size_t next = path.find('/', end + 1);
        const size_t stop = next == std::string::npos ? path.size() : next;
        const std::string component = path.substr(end + 1, stop - end - 1);
        if (!component.empty()) {
            if (::mkdir(component.c_str(), 0700) == 0) {
                if (createdDirs) (*createdDirs)[path.substr(0, stop)] = true;
            } else if (errno != EEXIST) {
                ok = 0;
                break;
            }
            ok = ::chdir(component.c_str()) == 0;
        }
        end = stop;
    }
    const int err = errno;
    (void)::fchdir(start);
    ::close(start);
    errno = err;
    return ok;
}
