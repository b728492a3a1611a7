// Locks: in-process critical sections and mutexes, and the named inter-process mutex.
#pragma once

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
// on a file in the lock folder, so the system releases it when its holder dies.
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
