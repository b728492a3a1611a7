// The file-system seam. Every read, write, rename, sync and listing of the library's job files
// goes through an FXEnv, so that a test can fail any one operation, or drop what was not synced
// as a crash would, without root and without a special file system. FXEnv::Default() is POSIX;
// FXEnv::Current() is what the library uses, and FXScopedEnv installs another one for a scope.
//
// Errors follow the library's families: a missing file or folder is Win32 2 (ERROR_FILE_NOT_FOUND),
// an existing target where none may be is Win32 183 (ERROR_ALREADY_EXISTS), a held lock is Win32
// 33 (ERROR_LOCK_VIOLATION); anything else is the errno the system gave, with the path named.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

struct FXFileStat {
    uint64_t size = 0;
    mode_t mode = 0;  // type and permission bits, as st_mode
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    int64_t atimeNs = 0, mtimeNs = 0, ctimeNs = 0;  // nanoseconds since the epoch

    bool IsDirectory() const;
    bool IsRegular() const;
    bool IsSymlink() const;
};

// How a file is opened. The defaults suit job files: a symbolic link in the last component is
// refused (O_NOFOLLOW), opening never blocks on a FIFO or device (O_NONBLOCK), and a reader
// refuses anything but a regular file.
struct FXOpenOptions {
    mode_t mode = 0644;          // for files that are created
    bool followLinks = false;    // false: O_NOFOLLOW on the last component
    bool requireRegular = true;  // refuse FIFOs, devices and folders (Win32 13)
    // Construction helpers, so call sites read as what they mean.
    static FXOpenOptions Any() {
        FXOpenOptions o;
        o.followLinks = true;
        o.requireRegular = false;
        return o;
    }
};

// Reads a file from its start, in order.
class FXSequentialFile {
public:
    virtual ~FXSequentialFile() = default;
    // Up to `n` bytes; `got` is 0 only at the end of the file.
    virtual CKoError Read(char* buffer, size_t n, size_t& got) = 0;
    virtual CKoError Skip(uint64_t n) = 0;
};

// Reads a file at any offset; shared by threads (Read is const and positional).
class FXRandomAccessFile {
public:
    virtual ~FXRandomAccessFile() = default;
    // Up to `n` bytes at `offset`; `got` < n only at the end of the file.
    virtual CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const = 0;
    virtual CKoError Size(uint64_t& size) const = 0;
};

// Writes a file by appending. Nothing is durable before Sync; Close reports what closing reports.
// A file that is not closed is closed silently when it goes.
class FXWritableFile {
public:
    virtual ~FXWritableFile() = default;
    virtual CKoError Append(std::string_view data) = 0;
    virtual CKoError Sync() = 0;
    virtual CKoError Close() = 0;
    // Cuts the file back to `size` bytes (a writer drops a torn last record this way); later
    // appends go at the new end.
    virtual CKoError Truncate(uint64_t size) = 0;
    // The file's size as this handle has written it.
    virtual uint64_t Size() const = 0;
};

// Reads and writes a file at any offset.
class FXRandomRWFile {
public:
    virtual ~FXRandomRWFile() = default;
    virtual CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const = 0;
    virtual CKoError Write(uint64_t offset, std::string_view data) = 0;
    virtual CKoError Truncate(uint64_t size) = 0;
    virtual CKoError Size(uint64_t& size) const = 0;
    virtual CKoError Sync() = 0;
    virtual CKoError Close() = 0;
};

// An exclusive advisory lock on a file, held until the object goes (or the process dies).
class FXFileLock {
public:
    virtual ~FXFileLock() = default;
};

enum class EWriteMode {
    Truncate,   // create or empty
    Append,     // create or keep, writes at the end
    Exclusive,  // create; an existing name (a file, or a link planted there) is Win32 183
};

class FXEnv {
public:
    virtual ~FXEnv() = default;

    // The POSIX environment; it lives for the whole process.
    static FXEnv* Default();
    // What the library uses now: Default() unless a FXScopedEnv installed another.
    static FXEnv* Current();

    virtual CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                                       const FXOpenOptions& options = FXOpenOptions()) = 0;
    virtual CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                         const FXOpenOptions& options = FXOpenOptions()) = 0;
    virtual CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                                     const FXOpenOptions& options = FXOpenOptions()) = 0;
    // `create`: a missing file is created empty; otherwise it is Win32 2.
    virtual CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                                     const FXOpenOptions& options = FXOpenOptions()) = 0;

    // rename(2): replaces `to` when it exists.
    virtual CKoError RenameFile(const std::string& from, const std::string& to) = 0;
    // A missing file is Win32 2.
    virtual CKoError RemoveFile(const std::string& path) = 0;
    // An existing name is Win32 183.
    virtual CKoError CreateDir(const std::string& path, mode_t mode = 0755) = 0;
    virtual CKoError RemoveDir(const std::string& path) = 0;
    // Makes the folder's entries (creations, renames, removals) durable.
    virtual CKoError SyncDir(const std::string& path) = 0;
    // Names of the folder's entries without "." and "..", in no particular order.
    virtual CKoError GetChildren(const std::string& folder, std::vector<std::string>& names) = 0;
    virtual CKoError Stat(const std::string& path, FXFileStat& st, bool followLinks = false) = 0;
    // Takes an exclusive lock on `path` (created 0600 when missing, never through a link) without
    // waiting: a lock another holder has is Win32 33.
    virtual CKoError LockFile(const std::string& path, std::unique_ptr<FXFileLock>& out) = 0;

    // Wall-clock time in microseconds since the epoch; tests install a clock of their own.
    virtual int64_t NowMicros() = 0;
};

// Installs `env` as FXEnv::Current() for the life of the object, and puts the previous one back.
// Meant for tests and tools; installing is not synchronised with operations in flight.
class FXScopedEnv {
public:
    explicit FXScopedEnv(FXEnv* env);
    ~FXScopedEnv();
    FXScopedEnv(const FXScopedEnv&) = delete;
    FXScopedEnv& operator=(const FXScopedEnv&) = delete;

private:
    FXEnv* m_previous;
};

// Forwards every operation to another environment; a wrapper overrides only what it changes.
class FXEnvWrapper : public FXEnv {
public:
    explicit FXEnvWrapper(FXEnv* target) : m_target(target) {}
    FXEnv* Target() const { return m_target; }

    CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                               const FXOpenOptions& options = FXOpenOptions()) override {
        return m_target->NewSequentialFile(path, out, options);
    }
    CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                 const FXOpenOptions& options = FXOpenOptions()) override {
        return m_target->NewRandomAccessFile(path, out, options);
    }
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        return m_target->NewWritableFile(path, mode, out, options);
    }
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        return m_target->NewRandomRWFile(path, create, out, options);
    }
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        return m_target->RenameFile(from, to);
    }
    CKoError RemoveFile(const std::string& path) override { return m_target->RemoveFile(path); }
    CKoError CreateDir(const std::string& path, mode_t mode = 0755) override { return m_target->CreateDir(path, mode); }
    CKoError RemoveDir(const std::string& path) override { return m_target->RemoveDir(path); }
    CKoError SyncDir(const std::string& path) override { return m_target->SyncDir(path); }
    CKoError GetChildren(const std::string& folder, std::vector<std::string>& names) override {
        return m_target->GetChildren(folder, names);
    }
    CKoError Stat(const std::string& path, FXFileStat& st, bool followLinks = false) override {
        return m_target->Stat(path, st, followLinks);
    }
    CKoError LockFile(const std::string& path, std::unique_ptr<FXFileLock>& out) override {
        return m_target->LockFile(path, out);
    }
    int64_t NowMicros() override { return m_target->NowMicros(); }

private:
    FXEnv* m_target;
};

// The one way to replace a file durably: the new content is written under a temporary name
// beside the target (created exclusively, never through a link), synced, renamed over the
// target, and the folder is synced. A crash at any moment leaves the old file or the new one.
// The first error is kept and reported by Commit; a replacement that is not committed removes
// its temporary file when it goes, on every failure path.
class FXDurableReplace {
public:
    explicit FXDurableReplace(std::string finalPath, mode_t mode = 0644);
    ~FXDurableReplace();
    FXDurableReplace(const FXDurableReplace&) = delete;
    FXDurableReplace& operator=(const FXDurableReplace&) = delete;

    // Creates the temporary file ("<final>.tmp"; a leftover of a crashed run is removed first).
    CKoError Open();
    // Appends; after the first failure nothing more is written and the failure is kept.
    CKoError Append(std::string_view data);
    // Syncs, closes, renames over the final path and syncs the folder. Reports the first error
    // of any step, Append's included. On an error before the rename the target is untouched and
    // the temporary gone; when only the folder sync fails, the target is the new file already,
    // but a crash may still bring the old one back: the caller must allow for either.
    CKoError Commit();
    // Drops the replacement: the temporary file goes, the target is untouched.
    void Abandon();

    const std::string& FinalPath() const { return m_finalPath; }
    const std::string& TempPath() const { return m_tempPath; }
    // The temporary file, for writers that write through it directly (null before Open).
    FXWritableFile* File() { return m_file.get(); }

    // Replaces `path` with `content` in one call.
    static CKoError WriteWhole(const std::string& path, std::string_view content, mode_t mode = 0644);
    // The second half for a file that a writer of its own finished under `writtenPath` (closed,
    // not necessarily synced): syncs it, renames it over `finalPath` and syncs the folder. The
    // written file is the caller's to remove when this fails before the rename.
    static CKoError Install(const std::string& writtenPath, const std::string& finalPath);

private:
    std::string m_finalPath;
    std::string m_tempPath;
    mode_t m_mode;
    std::unique_ptr<FXWritableFile> m_file;
    CKoError m_firstError;
    bool m_open = false;
};

// Makes a rename or a creation in `folder` durable; the folder of a path is its parent.
CKoError FXSyncParentDir(const std::string& path);
// Makes the data of a file that a writer of its own finished (closed) durable.
CKoError FXSyncFile(const std::string& path);

// The error an environment gives when the system refuses `what` on `path` with errno `err`: the
// families above for a missing or existing name, otherwise the errno. Wrappers that make faults
// of their own build them with it, so callers meet what a real failure would give them.
CKoError FXEnvPathError(const FXCodeLocation& here, int err, const char* what, const std::string& path);
// The errno behind an environment's error (for stdio streams and messages that carry an errno):
// an errno error gives its own, the families above theirs, anything else EIO.
int FXEnvErrno(const CKoError& error);

// Reads the whole of a (regular) file through FXEnv::Current(). A file larger than `maxBytes` is
// Win32 14 (out of memory) before anything is allocated for it, so a stray huge file cannot
// exhaust memory; other errors are the environment's (a missing file is Win32 2).
CKoError FXReadFileToString(const std::string& path, std::string& out, uint64_t maxBytes = 64ull << 20);
