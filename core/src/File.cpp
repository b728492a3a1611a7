#include "core/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cerrno>

#include "core/Path.h"

CKoError FXFileHandle::Close() {
    if (!m_file) return CKoError::Success();
    FILE* f = Release();
    if (std::fclose(f) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fclose failed");
    return CKoError::Success();
}

void FXFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

CKoError FXFd::Close() {
    if (m_fd < 0) return CKoError::Success();
    int fd = Release();
    if (::close(fd) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "close failed");
    return CKoError::Success();
}

FXFindHandle::~FXFindHandle() {
    if (m_dir) ::closedir(static_cast<DIR*>(m_dir));
}

CKoError FXFile::zyfopen(const std::string& path, const char* mode, FXFileHandle& out) {
    FILE* f = std::fopen(path.c_str(), mode);
    if (!f) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopen failed, FileName=[%s], Mode=[%s]", path.c_str(), mode);
    out.Reset(f);
    return CKoError::Success();
}

CKoError FXFile::ZYCreateFile(const std::string& path, int flags, mode_t mode, FXFd& out) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "open failed, FileName=[%s]", path.c_str());
    out.Reset(fd);
    return CKoError::Success();
}

CKoError FXFile::ZYReadFile(const FXFd& fd, void* buffer, size_t size, size_t& read) {
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer, size);
        if (n >= 0) {
            read = static_cast<size_t>(n);
            return CKoError::Success();
        }
        if (errno != EINTR) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "read failed");
    }
}

CKoError FXFile::ZYWriteFile(const FXFd& fd, const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::write(fd.Get(), p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "write failed");
        }
        if (n == 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "write made no progress");
        p += n;
        size -= static_cast<size_t>(n);
    }
    return CKoError::Success();
}

CKoError FXFile::ZYCopyFile(const std::string& from, const std::string& to, bool failIfExists) {
    FXFd in;
    CKoError e = ZYCreateFile(from, O_RDONLY, 0, in);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open copy source, FileName=[%s]", from.c_str());
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fstat failed, FileName=[%s]", from.c_str());
    FXFd out;
    int flags = O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : O_TRUNC);
    e = ZYCreateFile(to, flags, st.st_mode & 07777, out);
    if (e.IsError()) {
        if (FXErrorUtil::IsErrNo(e, EEXIST))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS, "Target exists, FileName=[%s]", to.c_str());
        return e.Push(ZY_HERE, "Cannot create copy target, FileName=[%s]", to.c_str());
    }
    std::vector<char> buffer(1 << 16);
    for (;;) {
        size_t n = 0;
        e = ZYReadFile(in, buffer.data(), buffer.size(), n);
        if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", from.c_str());
        if (n == 0) break;
        e = ZYWriteFile(out, buffer.data(), n);
        if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", to.c_str());
    }
    e = out.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", to.c_str());
    return CKoError::Success();
}

CKoError FXFile::ZYMoveFileEx(const std::string& from, const std::string& to, bool replace) {
    if (!replace && DoesFileExist(to))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS, "Target exists, FileName=[%s]", to.c_str());
    if (::rename(from.c_str(), to.c_str()) == 0) return CKoError::Success();
    if (errno != EXDEV)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "rename failed, From=[%s], To=[%s]", from.c_str(), to.c_str());
    CKoError e = ZYCopyFile(from, to, !replace);
    if (e.IsError()) return e.Push(ZY_HERE);
    return RemoveFile(from);
}

CKoError FXFile::RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return CKoError::Success();
    if (errno == ENOENT)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "File not found, FileName=[%s]", path.c_str());
    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, FileName=[%s]", path.c_str());
}

bool FXFile::DoesFileExist(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

namespace {
// readdir's NULL means the end only when errno is still 0.
CKoError NextEntry(DIR* dir, const std::string& folder, struct dirent*& entry) {
    errno = 0;
    entry = ::readdir(dir);
    if (!entry && errno != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "readdir failed, Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

bool IsDot(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }
}  // namespace

CKoError FXFile::GetMatchingFiles(const std::string& folder, const std::string& pattern, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "opendir failed, Folder=[%s]", folder.c_str());
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    for (;;) {
        struct dirent* entry = nullptr;
        CKoError e = NextEntry(dir, folder, entry);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!entry) break;
        if (IsDot(entry->d_name)) continue;
        if (::fnmatch(pattern.c_str(), entry->d_name, 0) == 0) names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return CKoError::Success();
}

CKoError FXFile::DeleteMatchingFiles(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    CKoError e = GetMatchingFiles(folder, pattern, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const std::string& name : names) {
        e = RemoveFile(FXPath::Join(folder, name));
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError FXFile::ZYFindFirstFile(const std::string& pattern, FXFindHandle& handle, FXFindData& data) {
    std::string folder, name;
    if (FXPath::SplitParentPath(pattern, folder, name).IsError()) {
        folder = ".";
        name = pattern;
    }
    if (handle.m_dir) ::closedir(static_cast<DIR*>(handle.m_dir));
    handle.m_dir = ::opendir(folder.c_str());
    if (!handle.m_dir) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "opendir failed, Folder=[%s]", folder.c_str());
    handle.m_folder = folder;
    handle.m_pattern = name;
    return ZYFindNextFile(handle, data);
}

CKoError FXFile::ZYFindNextFile(FXFindHandle& handle, FXFindData& data) {
    if (!handle.m_dir) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Enumeration not open");
    DIR* dir = static_cast<DIR*>(handle.m_dir);
    for (;;) {
        struct dirent* entry = nullptr;
        CKoError e = NextEntry(dir, handle.m_folder, entry);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!entry) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_FILES);
        if (IsDot(entry->d_name) || ::fnmatch(handle.m_pattern.c_str(), entry->d_name, 0) != 0) continue;
        data.name = entry->d_name;
        data.fullPath = FXPath::Join(handle.m_folder, data.name);
        struct stat st;
        data.isDirectory = entry->d_type == DT_DIR ||
                           (entry->d_type == DT_UNKNOWN && ::stat(data.fullPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        return CKoError::Success();
    }
}

CKoError FXFile::CreateFoldersIteratively(const std::string& path, mode_t mode) {
    if (path.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Empty folder path");
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial.assign(path, 0, next);
        pos = next + 1;
        if (partial.empty() || FXPath::HasTrailingDelimiter(partial)) continue;
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed, Folder=[%s]", partial.c_str());
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOTDIR, "Not a folder, Folder=[%s]", path.c_str());
    return CKoError::Success();
}

bool FXFile::IsVolumeUnc(std::string_view path) {
    auto delim = [](char c) { return c == '/' || c == '\\'; };
    return path.size() > 2 && delim(path[0]) && path[0] == path[1] && !delim(path[2]);
}

CKoError FXFile::ReplaceFile(const std::string& tempPath, const std::string& finalPath) {
    FXFd fd;
    CKoError e = ZYCreateFile(tempPath, O_RDONLY, 0, fd);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open file to make it durable, FileName=[%s]", tempPath.c_str());
    if (::fsync(fd.Get()) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fsync failed, FileName=[%s]", tempPath.c_str());
    if (::rename(tempPath.c_str(), finalPath.c_str()) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "rename failed, From=[%s], To=[%s]", tempPath.c_str(), finalPath.c_str());
    std::string folder, name;
    if (FXPath::SplitParentPath(finalPath, folder, name).IsError()) folder = ".";
    FXFd dir;
    if (ZYCreateFile(folder, O_RDONLY | O_DIRECTORY, 0, dir).IsSuccess()) ::fsync(dir.Get());
    return CKoError::Success();
}

CKoError FXFile::WriteFileAtomically(const std::string& path, std::string_view content) {
    std::string temp = path + ".tmp";
    FXFd fd;
    CKoError e = ZYCreateFile(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = ZYWriteFile(fd, content.data(), content.size());
    if (e.IsError()) {
        fd.Reset();
        ::unlink(temp.c_str());
        return e.Push(ZY_HERE, "FileName=[%s]", temp.c_str());
    }
    e = fd.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", temp.c_str());
    e = ReplaceFile(temp, path);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FXFile::ReadWholeFile(const std::string& path, std::string& content) {
    FXFd fd;
    CKoError e = ZYCreateFile(path, O_RDONLY, 0, fd);
    if (e.IsError()) return e.Push(ZY_HERE);
    content.clear();
    char buffer[1 << 16];
    for (;;) {
        size_t n = 0;
        e = ZYReadFile(fd, buffer, sizeof buffer, n);
        if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
        if (n == 0) return CKoError::Success();
        content.append(buffer, n);
    }
}
