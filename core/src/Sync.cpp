#include "core/Sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/Env.h"
#include "core/Path.h"

namespace {
constexpr long kWaitTimeout = ZyWin32::WAIT_TIMEOUT;

std::string SafeFileName(const std::string& name) {
    std::string out;
    for (char c : name) out.push_back((c == '/' || c == '\\' || c == 0) ? '_' : c);
    return out.empty() ? std::string("_") : out;
}
}  // namespace

std::string ZyNamedMutex::LockFolder() {
    const char* env = std::getenv("SCAN_LOCK_DIR");
    return (env && *env) ? std::string(env) : std::string("/tmp/scan-locks");
}

ZyNamedMutex::ZyNamedMutex(std::string name) : m_name(std::move(name)) {}

ZyNamedMutex::~ZyNamedMutex() {
    if (m_locked) unlock().IgnoreError();
}

CKoError ZyNamedMutex::lock(long timeoutMs) {
    if (m_locked)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Mutex already held, Name=[%s]",
                                       m_name.c_str());
    std::string folder = LockFolder();
    // Made private, then opened to everyone through its descriptor; an existing folder is used as
    // it is (changing it through its name could follow a link planted there).
    bool made = ::mkdir(folder.c_str(), 0700) == 0;
    if (!made && errno == ENOENT) {
        std::string parent, leaf;
        if (FXPath::SplitParentPath(folder, parent, leaf).IsSuccess() && FXFile::CreateFoldersIteratively(parent, 0755).IsSuccess())
            made = ::mkdir(folder.c_str(), 0700) == 0;
    }
    FXFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.IsOpen())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open lock folder, Folder=[%s], Name=[%s]", folder.c_str(),
                                       m_name.c_str());
    if (made) ::fchmod(dir.Get(), 01777);
    std::string file = SafeFileName(m_name) + ".lock";
    if (file.size() > 255) file = file.substr(file.size() - 255);
    // flock needs no write access, so any user can take a lock file another user created.
    int fd = ::openat(dir.Get(), file.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open lock file, Folder=[%s], Name=[%s]", folder.c_str(),
                                       m_name.c_str());
    m_fd.Reset(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_fd.Reset();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Lock file is not a regular file, Name=[%s]",
                                       m_name.c_str());
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(m_fd.Get(), timeoutMs < 0 ? LOCK_EX : (LOCK_EX | LOCK_NB)) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            int err = errno;
            m_fd.Reset();
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "flock failed, Name=[%s]", m_name.c_str());
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_fd.Reset();
            return FXErrorUtil::ErrorWin32(ZY_HERE, kWaitTimeout, "Timed out waiting for mutex, Name=[%s], TimeoutMs=[%ld]",
                                           m_name.c_str(), timeoutMs);
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(50)) pause *= 2;
    }
    m_locked = true;
    return CKoError::Success();
}

CKoError ZyNamedMutex::unlock() {
    if (!m_locked)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Mutex not held, Name=[%s]", m_name.c_str());
    m_locked = false;
    ::flock(m_fd.Get(), LOCK_UN);
    m_fd.Reset();
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

FXFolderLock::FXFolderLock() = default;
FXFolderLock::~FXFolderLock() = default;

CKoError FXFolderLock::LockFileName(const std::string& folder, std::string& name) {
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(folder, st, true);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot examine the folder to lock, Folder=[%s]", folder.c_str());
    if (!st.IsDirectory())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PATH_NOT_FOUND, "Not a folder, Folder=[%s]", folder.c_str());
    name = ".fsscan-" + std::to_string(static_cast<unsigned long long>(st.device)) + "-" +
           std::to_string(static_cast<unsigned long long>(st.inode)) + ".lock";
    return CKoError::Success();
}

CKoError FXFolderLock::Lock(const std::string& folder) {
    if (m_lock)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Lock already held, Folder=[%s]",
                                       folder.c_str());
    std::string name;
    CKoError e = LockFileName(folder, name);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = FXEnv::Current()->LockFile(FXPath::Join(folder, name), m_lock);
    if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

void FXFolderLock::Unlock() { m_lock.reset(); }
