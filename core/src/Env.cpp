#include "core/Env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>

#include "core/Path.h"

bool FXFileStat::IsDirectory() const { return S_ISDIR(mode); }
bool FXFileStat::IsRegular() const { return S_ISREG(mode); }
bool FXFileStat::IsSymlink() const { return S_ISLNK(mode); }

namespace {

CKoError PathError(const FXCodeLocation& here, int err, const char* what, const std::string& path) {
    return FXEnvPathError(here, err, what, path);
}

int64_t ToNs(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

void FromStat(const struct stat& s, FXFileStat& out) {
    out.size = static_cast<uint64_t>(s.st_size);
    out.mode = s.st_mode;
    out.device = s.st_dev;
    out.inode = s.st_ino;
    out.links = s.st_nlink;
    out.uid = s.st_uid;
    out.gid = s.st_gid;
    out.atimeNs = ToNs(s.st_atim);
    out.mtimeNs = ToNs(s.st_mtim);
    out.ctimeNs = ToNs(s.st_ctim);
}

// Opens without following a link (unless asked) and without blocking on a FIFO, then checks
// what was opened; the descriptor is left blocking.
CKoError OpenChecked(const std::string& path, int flags, const FXOpenOptions& options, const char* what, int& fd) {
    int f = flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (options.followLinks ? 0 : O_NOFOLLOW);
    int rc;
    do {
        rc = ::open(path.c_str(), f, options.mode);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int err = errno;
        if (err == ELOOP && !options.followLinks)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "%s refused: a symbolic link, FileName=[%s]", what, path.c_str());
        return PathError(ZY_HERE, err, what, path);
    }
    struct stat st;
    if (::fstat(rc, &st) != 0) {
        int err = errno;
        ::close(rc);
        return PathError(ZY_HERE, err, "fstat", path);
    }
    if (options.requireRegular && !S_ISREG(st.st_mode)) {
        ::close(rc);
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "%s refused: not a regular file, FileName=[%s]",
                                       what, path.c_str());
    }
    int fl = ::fcntl(rc, F_GETFL);
    if (fl >= 0) ::fcntl(rc, F_SETFL, fl & ~O_NONBLOCK);
    fd = rc;
    return CKoError::Success();
}

CKoError PRead(int fd, const std::string& path, uint64_t offset, char* buffer, size_t n, size_t& got) {
    got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, buffer + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return PathError(ZY_HERE, errno, "read", path);
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return CKoError::Success();
}

CKoError WriteAll(int fd, const std::string& path, const char* p, size_t n, const uint64_t* offset) {
    uint64_t at = offset ? *offset : 0;
    while (n > 0) {
        ssize_t w = offset ? ::pwrite(fd, p, n, static_cast<off_t>(at)) : ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return PathError(ZY_HERE, errno, "write", path);
        }
        if (w == 0) return PathError(ZY_HERE, EIO, "write (no progress)", path);
        p += w;
        n -= static_cast<size_t>(w);
        at += static_cast<uint64_t>(w);
    }
    return CKoError::Success();
}

CKoError SyncFd(int fd, const std::string& path) {
    if (::fdatasync(fd) != 0) return PathError(ZY_HERE, errno, "fdatasync", path);
    return CKoError::Success();
}

CKoError CloseFd(int& fd, const std::string& path) {
    if (fd < 0) return CKoError::Success();
    int f = fd;
    fd = -1;
    // close(2) must not be retried on EINTR: the descriptor is gone either way.
    if (::close(f) != 0 && errno != EINTR) return PathError(ZY_HERE, errno, "close", path);
    return CKoError::Success();
}

class PosixSequentialFile : public FXSequentialFile {
public:
    PosixSequentialFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixSequentialFile() override { CloseFd(m_fd, m_path).IgnoreError(); }
    CKoError Read(char* buffer, size_t n, size_t& got) override {
        for (;;) {
            ssize_t r = ::read(m_fd, buffer, n);
            if (r >= 0) {
                got = static_cast<size_t>(r);
                return CKoError::Success();
            }
            if (errno != EINTR) return PathError(ZY_HERE, errno, "read", m_path);
        }
    }
    CKoError Skip(uint64_t n) override {
        if (::lseek(m_fd, static_cast<off_t>(n), SEEK_CUR) < 0) return PathError(ZY_HERE, errno, "lseek", m_path);
        return CKoError::Success();
    }

private:
    std::string m_path;
    int m_fd;
};

class PosixRandomAccessFile : public FXRandomAccessFile {
public:
    PosixRandomAccessFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixRandomAccessFile() override { CloseFd(m_fd, m_path).IgnoreError(); }
    CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
        return PRead(m_fd, m_path, offset, buffer, n, got);
    }
    CKoError Size(uint64_t& size) const override {
        struct stat st;
        if (::fstat(m_fd, &st) != 0) return PathError(ZY_HERE, errno, "fstat", m_path);
        size = static_cast<uint64_t>(st.st_size);
        return CKoError::Success();
    }

private:
    std::string m_path;
    int m_fd;
};

class PosixWritableFile : public FXWritableFile {
public:
    PosixWritableFile(std::string path, int fd, uint64_t size) : m_path(std::move(path)), m_fd(fd), m_size(size) {}
    ~PosixWritableFile() override { CloseFd(m_fd, m_path).IgnoreError(); }
    CKoError Append(std::string_view data) override {
        if (m_fd < 0) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File closed, FileName=[%s]", m_path.c_str());
        CKoError e = WriteAll(m_fd, m_path, data.data(), data.size(), nullptr);
        if (e.IsError()) {
            // A short write may have landed in part: learn the real size for a later Truncate.
            struct stat st;
            if (::fstat(m_fd, &st) == 0) m_size = static_cast<uint64_t>(st.st_size);
            return e;
        }
        m_size += data.size();
        return CKoError::Success();
    }
    CKoError Sync() override { return SyncFd(m_fd, m_path); }
    CKoError Close() override { return CloseFd(m_fd, m_path); }
    CKoError Truncate(uint64_t size) override {
        if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) return PathError(ZY_HERE, errno, "ftruncate", m_path);
        // O_APPEND writes go to the new end; others need the offset moved.
        if (::lseek(m_fd, static_cast<off_t>(size), SEEK_SET) < 0) return PathError(ZY_HERE, errno, "lseek", m_path);
        m_size = size;
        return CKoError::Success();
    }
    uint64_t Size() const override { return m_size; }

private:
    std::string m_path;
    int m_fd;
    uint64_t m_size;
};

class PosixRandomRWFile : public FXRandomRWFile {
public:
    PosixRandomRWFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixRandomRWFile() override { CloseFd(m_fd, m_path).IgnoreError(); }
    CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
        return PRead(m_fd, m_path, offset, buffer, n, got);
    }
    CKoError Write(uint64_t offset, std::string_view data) override {
        return WriteAll(m_fd, m_path, data.data(), data.size(), &offset);
    }
    CKoError Truncate(uint64_t size) override {
        if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) return PathError(ZY_HERE, errno, "ftruncate", m_path);
        return CKoError::Success();
    }
    CKoError Size(uint64_t& size) const override {
        struct stat st;
        if (::fstat(m_fd, &st) != 0) return PathError(ZY_HERE, errno, "fstat", m_path);
        size = static_cast<uint64_t>(st.st_size);
        return CKoError::Success();
    }
    CKoError Sync() override { return SyncFd(m_fd, m_path); }
    CKoError Close() override { return CloseFd(m_fd, m_path); }

private:
    std::string m_path;
    int m_fd;
};

class PosixFileLock : public FXFileLock {
public:
    explicit PosixFileLock(int fd) : m_fd(fd) {}
    ~PosixFileLock() override { ::close(m_fd); }  // closing releases the flock

private:
    int m_fd;
};

class PosixEnv : public FXEnv {
public:
    CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                               const FXOpenOptions& options) override {
        int fd = -1;
        CKoError e = OpenChecked(path, O_RDONLY, options, "open", fd);
        if (e.IsError()) return e;
        out = std::make_unique<PosixSequentialFile>(path, fd);
        return CKoError::Success();
    }
    CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                 const FXOpenOptions& options) override {
        int fd = -1;
        CKoError e = OpenChecked(path, O_RDONLY, options, "open", fd);
        if (e.IsError()) return e;
        out = std::make_unique<PosixRandomAccessFile>(path, fd);
        return CKoError::Success();
    }
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options) override {
        int flags = O_WRONLY | O_CREAT;
        if (mode == EWriteMode::Truncate) flags |= O_TRUNC;
        if (mode == EWriteMode::Append) flags |= O_APPEND;
        FXOpenOptions o = options;
        if (mode == EWriteMode::Exclusive) {
            flags |= O_EXCL;
            o.followLinks = false;  // O_EXCL never follows a link; say so in the flags too
        }
        // Checking the type after O_TRUNC would be too late for a device: refuse what is there first.
        if (o.requireRegular && mode == EWriteMode::Truncate) {
            struct stat st;
            if ((o.followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0 && !S_ISREG(st.st_mode) &&
                !(S_ISLNK(st.st_mode) && !o.followLinks))
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                               "create refused: not a regular file, FileName=[%s]", path.c_str());
        }
        int fd = -1;
        CKoError e = OpenChecked(path, flags, o, "create", fd);
        if (e.IsError()) return e;
        uint64_t size = 0;
        struct stat st;
        if (::fstat(fd, &st) == 0) size = static_cast<uint64_t>(st.st_size);
        out = std::make_unique<PosixWritableFile>(path, fd, size);
        return CKoError::Success();
    }
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options) override {
        int fd = -1;
        CKoError e = OpenChecked(path, O_RDWR | (create ? O_CREAT : 0), options, "open", fd);
        if (e.IsError()) return e;
        out = std::make_unique<PosixRandomRWFile>(path, fd);
        return CKoError::Success();
    }
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0) {
            int err = errno;
            if (err == ENOENT) return PathError(ZY_HERE, err, "rename", from);
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "rename failed, From=[%s], To=[%s]", from.c_str(), to.c_str());
        }
        return CKoError::Success();
    }
    CKoError RemoveFile(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) return PathError(ZY_HERE, errno, "unlink", path);
        return CKoError::Success();
    }
    CKoError CreateDir(const std::string& path, mode_t mode) override {
        if (::mkdir(path.c_str(), mode) != 0) return PathError(ZY_HERE, errno, "mkdir", path);
        return CKoError::Success();
    }
    CKoError RemoveDir(const std::string& path) override {
        if (::rmdir(path.c_str()) != 0) return PathError(ZY_HERE, errno, "rmdir", path);
        return CKoError::Success();
    }
    CKoError SyncDir(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return PathError(ZY_HERE, errno, "open folder", path);
        int rc = ::fsync(fd);
        int err = errno;
        ::close(fd);
        // Some file systems cannot sync a folder; their renames are as durable as they get.
        if (rc != 0 && err != EINVAL && err != ENOTSUP) return PathError(ZY_HERE, err, "fsync folder", path);
        return CKoError::Success();
    }
    CKoError GetChildren(const std::string& folder, std::vector<std::string>& names) override {
        names.clear();
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return PathError(ZY_HERE, errno, "open folder", folder);
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            int err = errno;
            ::close(fd);
            return PathError(ZY_HERE, err, "fdopendir", folder);
        }
        for (;;) {
            errno = 0;
            struct dirent* entry = ::readdir(dir);
            if (!entry) {
                int err = errno;
                ::closedir(dir);
                if (err != 0) return PathError(ZY_HERE, err, "readdir", folder);
                return CKoError::Success();
            }
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            names.emplace_back(n);
        }
    }
    CKoError Stat(const std::string& path, FXFileStat& out, bool followLinks) override {
        struct stat st;
        if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
            return PathError(ZY_HERE, errno, "stat", path);
        FromStat(st, out);
        return CKoError::Success();
    }
    CKoError LockFile(const std::string& path, std::unique_ptr<FXFileLock>& out) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
        if (fd < 0) return PathError(ZY_HERE, errno, "open lock file", path);
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Lock file is not a regular file, FileName=[%s]",
                                           path.c_str());
        }
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
            int err = errno;
            if (err == EINTR) continue;
            ::close(fd);
            if (err == EWOULDBLOCK)
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_LOCK_VIOLATION, "Locked by another holder, FileName=[%s]",
                                               path.c_str());
            return PathError(ZY_HERE, err, "flock", path);
        }
        out = std::make_unique<PosixFileLock>(fd);
        return CKoError::Success();
    }
    int64_t NowMicros() override {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

std::atomic<FXEnv*> g_currentEnv{nullptr};

}  // namespace

// The library's families for the errnos callers tell apart; the rest stay errnos.
CKoError FXEnvPathError(const FXCodeLocation& here, int err, const char* what, const std::string& path) {
    if (err == ENOENT)
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_FILE_NOT_FOUND, "%s: not found, FileName=[%s]", what,
                                       path.c_str());
    if (err == EEXIST)
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_ALREADY_EXISTS, "%s: already exists, FileName=[%s]", what,
                                       path.c_str());
    return FXErrorUtil::ErrorErrNo(here, err, "%s failed, FileName=[%s]", what, path.c_str());
}

int FXEnvErrno(const CKoError& error) {
    if (error.IsSuccess()) return 0;
    if (error.GetFamily() == EErrorFamily::ErrNo && error.GetErrorCode() > 0) return static_cast<int>(error.GetErrorCode());
    if (error.GetFamily() == EErrorFamily::Win32) {
        switch (error.GetErrorCode()) {
            case ZyWin32::ERROR_FILE_NOT_FOUND:
            case ZyWin32::ERROR_PATH_NOT_FOUND: return ENOENT;
            case ZyWin32::ERROR_ALREADY_EXISTS: return EEXIST;
            case ZyWin32::ERROR_LOCK_VIOLATION: return EWOULDBLOCK;
            case ZyWin32::ERROR_ACCESS_DENIED: return EACCES;
            case ZyWin32::ERROR_INVALID_HANDLE: return EBADF;
            case ZyWin32::ERROR_INVALID_DATA:
            case ZyWin32::ERROR_INVALID_PARAMETER: return EINVAL;
            case ZyWin32::ERROR_OUTOFMEMORY: return ENOMEM;
            default: break;
        }
    }
    return EIO;
}

FXEnv* FXEnv::Default() {
    static PosixEnv* env = new PosixEnv();  // never destroyed: used until the very end of the process
    return env;
}

FXEnv* FXEnv::Current() {
    FXEnv* env = g_currentEnv.load(std::memory_order_acquire);
    return env ? env : Default();
}

FXScopedEnv::FXScopedEnv(FXEnv* env) : m_previous(g_currentEnv.exchange(env, std::memory_order_acq_rel)) {}

FXScopedEnv::~FXScopedEnv() { g_currentEnv.store(m_previous, std::memory_order_release); }

CKoError FXSyncParentDir(const std::string& path) {
    std::string folder, name;
    if (FXPath::SplitParentPath(path, folder, name).IsError() || folder.empty()) folder = ".";
    return FXEnv::Current()->SyncDir(folder);
}

// ---------------------------------------------------------------------------------------------

FXDurableReplace::FXDurableReplace(std::string finalPath, mode_t mode)
    : m_finalPath(std::move(finalPath)), m_tempPath(m_finalPath + ".tmp"), m_mode(mode) {}

FXDurableReplace::~FXDurableReplace() {
    if (m_open) Abandon();
}

CKoError FXDurableReplace::Open() {
    FXEnv* env = FXEnv::Current();
    if (m_open) Abandon();
    m_firstError = CKoError::Success();
    // A temporary name left by a crashed run (or planted as a link) is removed, never followed.
    CKoError e = env->RemoveFile(m_tempPath);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        return e.Push(ZY_HERE, "Cannot remove a leftover temporary file, FileName=[%s]", m_tempPath.c_str());
    FXOpenOptions options;
    options.mode = m_mode;
    e = env->NewWritableFile(m_tempPath, EWriteMode::Exclusive, m_file, options);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create temporary file, FileName=[%s]", m_finalPath.c_str());
    m_open = true;
    return CKoError::Success();
}

CKoError FXDurableReplace::Append(std::string_view data) {
    if (m_firstError.IsError()) return m_firstError;
    if (!m_open)
        m_firstError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Replacement not open, FileName=[%s]",
                                               m_finalPath.c_str());
    else
        m_firstError = m_file->Append(data);
    return m_firstError;
}

CKoError FXDurableReplace::Commit() {
    CKoError e = m_firstError;
    if (e.IsSuccess() && !m_open)
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Replacement not open, FileName=[%s]",
                                    m_finalPath.c_str());
    if (e.IsSuccess()) e = m_file->Sync();
    if (e.IsSuccess()) e = m_file->Close();
    if (e.IsSuccess()) e = FXEnv::Current()->RenameFile(m_tempPath, m_finalPath);
    if (e.IsError()) {
        if (m_open) Abandon();
        return e.Push(ZY_HERE, "Failed to replace file, FileName=[%s]", m_finalPath.c_str());
    }
    m_open = false;
    m_file.reset();
    // The rename is done; without the folder sync a crash could still bring the old file back.
    e = FXSyncParentDir(m_finalPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Replaced file not yet durable, FileName=[%s]", m_finalPath.c_str());
    return CKoError::Success();
}

void FXDurableReplace::Abandon() {
    if (!m_open) return;
    m_open = false;
    m_file.reset();  // closes
    FXEnv::Current()->RemoveFile(m_tempPath).IgnoreError();
}

CKoError FXDurableReplace::WriteWhole(const std::string& path, std::string_view content, mode_t mode) {
    FXDurableReplace replace(path, mode);
    CKoError e = replace.Open();
    if (e.IsSuccess()) e = replace.Append(content);
    if (e.IsSuccess()) e = replace.Commit();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FXSyncFile(const std::string& path) {
    std::unique_ptr<FXRandomRWFile> file;
    CKoError e = FXEnv::Current()->NewRandomRWFile(path, false, file);
    if (e.IsSuccess()) e = file->Sync();
    if (e.IsSuccess()) e = file->Close();
    return e;
}

CKoError FXDurableReplace::Install(const std::string& writtenPath, const std::string& finalPath) {
    CKoError e = FXSyncFile(writtenPath);
    if (e.IsSuccess()) e = FXEnv::Current()->RenameFile(writtenPath, finalPath);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to replace file, FileName=[%s], From=[%s]", finalPath.c_str(), writtenPath.c_str());
    e = FXSyncParentDir(finalPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Replaced file not yet durable, FileName=[%s]", finalPath.c_str());
    return CKoError::Success();
}

CKoError FXReadFileToString(const std::string& path, std::string& out, uint64_t maxBytes) {
    out.clear();
    std::unique_ptr<FXRandomAccessFile> file;
    CKoError e = FXEnv::Current()->NewRandomAccessFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE);
    uint64_t size = 0;
    e = file->Size(size);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    if (size > maxBytes)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                       "File too large to read whole, FileName=[%s], Size=[%llu], Limit=[%llu]",
                                       path.c_str(), static_cast<unsigned long long>(size),
                                       static_cast<unsigned long long>(maxBytes));
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "FileName=[%s]", path.c_str());
    }
    size_t got = 0;
    e = file->Read(0, out.data(), out.size(), got);
    if (e.IsError()) {
        out.clear();
        return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    }
    out.resize(got);  // a file that shrank since Size reads as what is there
    return CKoError::Success();
}
