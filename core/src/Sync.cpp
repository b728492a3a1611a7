#include "core/Sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

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
    CKoError e = FXFile::CreateFoldersIteratively(folder, 01777);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create lock folder, Name=[%s]", m_name.c_str());
    // Shared by every user, whatever the creator's umask; only the owner can change it.
    ::chmod(folder.c_str(), 01777);
    std::string path = FXPath::Join(folder, SafeFileName(m_name) + ".lock");
    // flock needs no write access, so any user can take a lock file another user created.
    e = FXFile::ZYCreateFile(path, O_RDONLY | O_CREAT, 0666, m_fd);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open lock file, Name=[%s]", m_name.c_str());
    ::fchmod(m_fd.Get(), 0666);

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
