// Owning file handles and file helpers. Job files are read and written through the file-system
// seam (core/Env.h), so that tests can fail any operation: the streams of zyfopen, the helpers
// below (ZYCreateFile, ZYReadFile and ZYWriteFile aside, which are plain descriptors for what is
// not a job file: locks, pipes, scanned content).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

class FXDurableReplace;

// The seam file behind a stream of FXFile::zyfopen: what stdio cannot do or say. Owned by the
// stream; valid until it is closed.
class FXStreamFile {
public:
    virtual ~FXStreamFile() = default;
    // The seam's error behind the stream's last failed read, write, seek or close (stdio keeps
    // only an errno).
    virtual const CKoError& LastError() const = 0;
    // The file's size (bytes still in the stream's buffer not included).
    virtual CKoError Size(uint64_t& size) = 0;
    // Reads at `offset` whatever the stream's mode and position.
    virtual CKoError ReadAt(uint64_t offset, char* buffer, size_t n, size_t& got) = 0;
    // Cuts the file back to `size`; later writes go at the new end. Drop or flush the stream's
    // buffer first (__fpurge, fflush).
    virtual CKoError Truncate(uint64_t size) = 0;
    virtual CKoError Sync() = 0;
    // Closes the file and reports what closing reports; the stream's fclose then only frees it.
    virtual CKoError Close() = 0;
};

// Owns a stdio stream; closes it when it goes.
class FXFileHandle {
public:
    FXFileHandle() = default;
    explicit FXFileHandle(FILE* f, FXStreamFile* seam = nullptr) : m_file(f), m_seam(f ? seam : nullptr) {}
    ~FXFileHandle() { Reset(); }
    FXFileHandle(FXFileHandle&& o) noexcept : m_file(o.m_file), m_seam(o.m_seam) { o.m_file = nullptr, o.m_seam = nullptr; }
    FXFileHandle& operator=(FXFileHandle&& o) noexcept {
        if (this != &o) {
            FXStreamFile* seam = o.m_seam;
            Reset(o.Release(), seam);
        }
        return *this;
    }
    FXFileHandle(const FXFileHandle&) = delete;
    FXFileHandle& operator=(const FXFileHandle&) = delete;

    FILE* Get() const { return m_file; }
    bool IsOpen() const { return m_file != nullptr; }
    // The seam file of a stream zyfopen made; null for other streams.
    FXStreamFile* Seam() const { return m_seam; }
    FILE* Release() {
        FILE* f = m_file;
        m_file = nullptr;
        m_seam = nullptr;
        return f;
    }
    void Reset(FILE* f = nullptr, FXStreamFile* seam = nullptr) {
        if (m_file) std::fclose(m_file);
        m_file = f;
        m_seam = f ? seam : nullptr;
    }
    // Flushes and closes; reports the first failure (a failed final flush shows here), with the
    // seam's error where there is one.
    CKoError Close();

private:
    FILE* m_file = nullptr;
    FXStreamFile* m_seam = nullptr;
};

// Owns a file descriptor.
class FXFd {
public:
    FXFd() = default;
    explicit FXFd(int fd) : m_fd(fd) {}
    ~FXFd() { Reset(); }
    FXFd(FXFd&& o) noexcept : m_fd(o.Release()) {}
    FXFd& operator=(FXFd&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    FXFd(const FXFd&) = delete;
    FXFd& operator=(const FXFd&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);
    CKoError Close();

private:
    int m_fd = -1;
};

// One entry of a directory enumeration.
struct FXFindData {
    std::string name;      // the entry's name
    std::string fullPath;  // folder + "/" + name
    bool isDirectory = false;
};

// An open enumeration of ZYFindFirstFile/ZYFindNextFile: the folder's names as listed when it
// began.
class FXFindHandle {
public:
    FXFindHandle() = default;
    FXFindHandle(const FXFindHandle&) = delete;
    FXFindHandle& operator=(const FXFindHandle&) = delete;

private:
    friend class FXFile;
    bool m_open = false;
    std::vector<std::string> m_names;
    size_t m_next = 0;
    std::string m_folder;
    std::string m_pattern;
};

class FXFile {
public:
    // A stdio stream over a file of the seam, into an owning handle. Modes "r", "w", "a", each
    // with "+" and "b" ("rb", "wb", "ab+", "a+", ...): reads and seeks anywhere where the mode
    // reads, writes at the position ("w", "r+") or at the end ("a"). A stream that writes never
    // follows a symbolic link in the last component; none opens anything but a regular file.
    static CKoError zyfopen(const std::string& path, const char* mode, FXFileHandle& out);
    // A write-only stream into an opened durable replacement: what is written goes through
    // replace.Append, whose first failure Commit reports. Close the stream, then Commit.
    static CKoError OpenReplaceStream(FXDurableReplace& replace, FXFileHandle& out);

    // open(2) into an owning descriptor.
    static CKoError ZYCreateFile(const std::string& path, int flags, mode_t mode, FXFd& out);
    // Reads up to `size` bytes; `read` is 0 only at the end of the file.
    static CKoError ZYReadFile(const FXFd& fd, void* buffer, size_t size, size_t& read);
    // Writes all `size` bytes (retrying short writes).
    static CKoError ZYWriteFile(const FXFd& fd, const void* buffer, size_t size);

    // Renames; without `replace` an existing target fails with Win32 code 183. Across file systems
    // the file is copied and the source removed.
    static CKoError ZYMoveFileEx(const std::string& from, const std::string& to, bool replace);
    // The copy is written beside the target and replaces it durably when complete: a failure
    // leaves the target as it was. With `failIfExists` an existing target is Win32 code 183.
    static CKoError ZYCopyFile(const std::string& from, const std::string& to, bool failIfExists);
    // A missing file is Win32 code 2.
    static CKoError RemoveFile(const std::string& path);
    static bool DoesFileExist(const std::string& path);

    // Names (not paths) of the entries of `folder` that match the shell pattern, sorted.
    static CKoError GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                     std::vector<std::string>& names);
    static CKoError DeleteMatchingFiles(const std::string& folder, const std::string& pattern);

    // `pattern` is a folder and a shell pattern ("/jr/Collect*.zyf"). The end is Win32 code 18.
    static CKoError ZYFindFirstFile(const std::string& pattern, FXFindHandle& handle, FXFindData& data);
    static CKoError ZYFindNextFile(FXFindHandle& handle, FXFindData& data);

    // mkdir -p; an existing folder is success. Each folder made is made durable in its parent.
    static CKoError CreateFoldersIteratively(const std::string& path, mode_t mode = 0755);

    // A network path: two leading delimiters ("//server/share" or "\\server\share") then a name.
    static bool IsVolumeUnc(std::string_view path);

    // FXDurableReplace::Install: makes a file written under a temporary name durable and moves
    // it over `finalPath` in one step; a reader sees the old file or the new one, never a mix.
    static CKoError ReplaceFile(const std::string& tempPath, const std::string& finalPath);
    // FXDurableReplace::WriteWhole.
    static CKoError WriteFileAtomically(const std::string& path, std::string_view content);
    static CKoError ReadWholeFile(const std::string& path, std::string& content);
};
