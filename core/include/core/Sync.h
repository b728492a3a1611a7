// Locks: in-process critical sections and mutexes, and the named inter-process mutex.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/File.h"
#include "core/KoError.h"

// A re-entrant lock, as the owners of shared objects expect: a public operation that calls
// another public operation of the same object on the same thread does not deadlock.
class FXCriticalSection {
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }

    class Scoped {
    public:
        explicit Scoped(FXCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
        ~Scoped() { m_cs.Unlock(); }
        Scoped(const Scoped&) = delete;
        Scoped& operator=(const Scoped&) = delete;

    private:
        FXCriticalSection& m_cs;
    };

private:
    std::recursive_mutex m_mutex;
};

// A plain, non-re-entrant mutex.
class FXMutex {
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }
    std::mutex& Native() { return m_mutex; }

    class Scoped {
    public:
        explicit Scoped(FXMutex& m) : m_m(m) { m_m.Lock(); }
        ~Scoped() { m_m.Unlock(); }
        Scoped(const Scoped&) = delete;
        Scoped& operator=(const Scoped&) = delete;

    private:
        FXMutex& m_m;
    };

private:
    std::mutex m_mutex;
};

// A lock shared by every process of the machine that uses the same name. It is an advisory lock
// on a file in the lock folder, so the system releases it when its holder dies. The folder is
// shared by every user (sticky, like /tmp), so nothing in it is trusted: it is opened without
// following a link and never has its mode changed once it exists, and lock files are opened
// without following links, never block on a FIFO, must be regular files and are never chmod'ed.
class ZyNamedMutex {
public:
    explicit ZyNamedMutex(std::string name);
    ~ZyNamedMutex();
    ZyNamedMutex(const ZyNamedMutex&) = delete;
    ZyNamedMutex& operator=(const ZyNamedMutex&) = delete;

    // Waits at most timeoutMs (negative: for ever); a time-out is Win32 code 258 (wait timeout).
    CKoError lock(long timeoutMs = -1);
    CKoError unlock();
    bool IsLocked() const { return m_locked; }
    const std::string& GetName() const { return m_name; }

    // The folder of the lock files: $SCAN_LOCK_DIR, else /tmp/scan-locks.
    static std::string LockFolder();

private:
    std::string m_name;
    FXFd m_fd;
    bool m_locked = false;
};

class FXFileLock;

// One job at a time per folder: an exclusive lock on a file inside the folder itself (which the
// job owns already, so no shared lock folder is involved), opened without following links, mode
// 0600, and named by the folder's device and inode, so that every path to the folder (an alias
// through a bind mount or a link, a path too long for one call) meets the same lock. The system
// releases it when its holder dies.
class FXFolderLock {
public:
    FXFolderLock();
    ~FXFolderLock();
    FXFolderLock(const FXFolderLock&) = delete;
    FXFolderLock& operator=(const FXFolderLock&) = delete;

    // Takes the lock without waiting: a lock another holder has is Win32 33 (lock violation).
    CKoError Lock(const std::string& folder);
    void Unlock();
    bool IsLocked() const { return m_lock != nullptr; }
    // The lock file's name inside `folder`.
    static CKoError LockFileName(const std::string& folder, std::string& name);

private:
    std::unique_ptr<FXFileLock> m_lock;
};
