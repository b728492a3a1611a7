// Owning file handles and file helpers.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

// Owns a stdio stream; closes it when it goes.
class FXFileHandle {
public:
    FXFileHandle() = default;
    explicit FXFileHandle(FILE* f) : m_file(f) {}
    ~FXFileHandle() { Reset(); }
    FXFileHandle(FXFileHandle&& o) noexcept : m_file(o.Release()) {}
    FXFileHandle& operator=(FXFileHandle&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    FXFileHandle(const FXFileHandle&) = delete;
    FXFileHandle& operator=(const FXFileHandle&) = delete;

    FILE* Get() const { return m_file; }
    bool IsOpen() const { return m_file != nullptr; }
    FILE* Release() {
        FILE* f = m_file;
        m_file = nullptr;
        return f;
    }
    void Reset(FILE* f = nullptr) {
        if (m_file) std::fclose(m_file);
        m_file = f;
    }
    // Closes and reports what fclose reports (a failed final flush shows here).
    CKoError Close();

private:
    FILE* m_file = nullptr;
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

// An open enumeration of ZYFindFirstFile/ZYFindNextFile.
class FXFindHandle {
public:
    FXFindHandle() = default;
    ~FXFindHandle();
    FXFindHandle(const FXFindHandle&) = delete;
    FXFindHandle& operator=(const FXFindHandle&) = delete;

private:
    friend class FXFile;
    void* m_dir = nullptr;  // DIR*
    std::string m_folder;
    std::string m_pattern;
};

class FXFile {
public:
    // fopen into an owning handle; modes as for fopen ("rb", "wb", "ab+", "w", "a+", ...).
    static CKoError zyfopen(const std::string& path, const char* mode, FXFileHandle& out);

    // open(2) into an owning descriptor.
    static CKoError ZYCreateFile(const std::string& path, int flags, mode_t mode, FXFd& out);
    // Reads up to `size` bytes; `read` is 0 only at the end of the file.
    static CKoError ZYReadFile(const FXFd& fd, void* buffer, size_t size, size_t& read);
    // Writes all `size` bytes (retrying short writes).
    static CKoError ZYWriteFile(const FXFd& fd, const void* buffer, size_t size);

    // Renames; without `replace` an existing target fails with Win32 code 183. Across file systems
    // the file is copied and the source removed.
    static CKoError ZYMoveFileEx(const std::string& from, const std::string& to, bool replace);
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

    // mkdir -p; an existing folder is success.
    static CKoError CreateFoldersIteratively(const std::string& path, mode_t mode = 0755);

    // A network path: two leading delimiters ("//server/share" or "\\server\share") then a name.
    static bool IsVolumeUnc(std::string_view path);

    // Makes a file written under a temporary name durable and moves it over `finalPath` in one
    // step: a reader sees the old file or the new one, never a mix.
    static CKoError ReplaceFile(const std::string& tempPath, const std::string& finalPath);
    // Writes `content` to "<path>.tmp" and replaces `path` with it.
    static CKoError WriteFileAtomically(const std::string& path, std::string_view content);
    static CKoError ReadWholeFile(const std::string& path, std::string& content);
};
